#include "shell/shell_session.h"

#include <functional>
#include <string>
#include <utility>

#include "control/poll_for_input.h"
#include "shell/json_lines_reader.h"

namespace vexa {
namespace {

StartupInputs shellInputs() {
    StartupInputs inputs;
    inputs.clientText = "VEXA shell";
    return inputs;
}

} // namespace

ShellSession::ShellSession(ShellOptions options)
    : inputs_(shellInputs()),
      question_(options.answer),
      plugin_(PageIdentity{std::move(options.url), {}, std::move(options.origin), PageIdentity::Source::Typed},
              question_),
      dispatcher_(plugin_, *this) {
    plugin_.loadConfiguration(inputs_);
}

void ShellSession::restartPlugin() {
    plugin_.loadConfiguration(inputs_);
}

bool ShellSession::run(std::istream& in, std::ostream& out, platform::WaitHandle input) {
    std::function<void()> awaitInput;
    if (input != platform::kNoWaitHandle) {
        awaitInput = [this, input] {
            bool ready = false;
            pollForInput(std::span(&input, 1), std::span(&ready, 1), &plugin_);
        };
    }
    JsonLinesReader reader(in, ScriptDispatcher::kMaxCallBytes, std::move(awaitInput));
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
