#include "control/shell_session.h"

#include <string>

#include "control/json_lines_reader.h"

namespace vexa {
namespace {

StartupInputs shellInputs() {
    StartupInputs inputs;
    inputs.clientText = "VEXA shell";
    return inputs;
}

} // namespace

ShellSession::ShellSession(ShellOptions options)
    : inputs_(shellInputs()), plugin_(std::move(options)), dispatcher_(plugin_, *this) {
    plugin_.loadConfiguration(inputs_);
}

void ShellSession::restartPlugin() {
    plugin_.loadConfiguration(inputs_);
}

bool ShellSession::run(std::istream& in, std::ostream& out) {
    JsonLinesReader reader(in, ScriptDispatcher::kMaxCallBytes);
    std::string line;
    while (reader.next(line)) {
        if (isBlankLine(line)) {
            continue;
        }
        out << dispatcher_.handleLine(line) << '\n';
        out.flush();
        if (!out) {
            return false;
        }
    }
    return true;
}

} // namespace vexa
