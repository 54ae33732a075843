#pragma once

#include <istream>
#include <ostream>

#include <string>

#include "control/script_dispatcher.h"
#include "control/script_host.h"
#include "core/chip_card_plugin.h"
#include "platform/wait_handle.h"
#include "shell/shell_question.h"

namespace vexa {

// The page the shell stands in for, and how its site question is answered.
struct ShellOptions {
    std::string url;    // the page address Open sees
    std::string origin; // the origin of the page's frame, as a browser gives it
    ShellAnswer answer = ShellAnswer::No;
};

// `vexa shell`: one plug-in started as "VEXA shell" for the page the options
// name, one call per input line (blank lines are skipped), one answer line
// per call in the same order. The plug-in is shut down when the session ends.
class ShellSession : private ScriptHost {
public:
    explicit ShellSession(ShellOptions options = {});

    // Answers every call until end of input, flushing after each answer;
    // false when an answer could not be written. input, when given, is the
    // handle behind in: the shell waits on it between reads, so that an
    // idle transaction ends on time.
    bool run(std::istream& in, std::ostream& out, platform::WaitHandle input = platform::kNoWaitHandle);

private:
    void restartPlugin() override;

    StartupInputs inputs_;
    ShellQuestion question_;
    ChipCardPlugin plugin_;
    ScriptDispatcher dispatcher_;
};

} // namespace vexa
