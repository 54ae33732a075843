#pragma once

#include <istream>
#include <ostream>

#include "control/script_dispatcher.h"
#include "control/script_host.h"
#include "control/shell_control.h"
#include "core/chip_card_plugin.h"

namespace vexa {

// `vexa shell`: one plug-in started as "VEXA shell", one call per input line
// (blank lines are skipped), one answer line per call in the same order.
// The plug-in is shut down when the session ends.
class ShellSession : private ScriptHost {
public:
    explicit ShellSession(ShellOptions options = {});

    // Answers every call until end of input, flushing after each answer;
    // false when an answer could not be written. inputFd, when given, is the
    // descriptor behind in: the shell waits on it between reads, so that an
    // idle transaction ends on time.
    bool run(std::istream& in, std::ostream& out, int inputFd = -1);

private:
    void restartPlugin() override;

    StartupInputs inputs_;
    ShellControl plugin_;
    ScriptDispatcher dispatcher_;
};

} // namespace vexa
