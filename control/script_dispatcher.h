#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "control/script_host.h"
#include "core/chip_card_plugin.h"

namespace vexa {

// Turns script calls into plug-in operations, whatever carries them (shell
// lines, browser frames):
//   {"id": <any>, "method": "<name>", "args": [...]}
//   -> {"id": <same>, "result": <string|integer>}
//   or {"id": <same or null>, "error": "<English text>"} when the call cannot
//   be made. Refusing a call never touches the plug-in, so its last error
//   stays as the page left it.
class ScriptDispatcher {
public:
    // Longest call text accepted; browsers send at most this much per message.
    static constexpr std::size_t kMaxCallBytes = 1024 * 1024;
    // Deepest nesting of arrays and objects accepted in a call text; it bounds
    // the recursion when an id is echoed.
    static constexpr int kMaxNesting = 64;

    ScriptDispatcher(ChipCardPlugin& plugin, ScriptHost& host);

    // One call to its answer.
    nlohmann::ordered_json dispatch(const nlohmann::ordered_json& call);
    // One call as JSON text to its answer as one line of JSON text (without
    // the line end); never throws.
    std::string handleLine(std::string_view line) noexcept;

private:
    ChipCardPlugin& plugin_;
    ScriptHost& host_;
};

} // namespace vexa
