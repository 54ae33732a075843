#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "control/script_host.h"
#include "core/chip_card_plugin.h"

namespace vexa {

// A call text read once, bounded and parsed, for the dispatcher and for
// whoever must first tell what kind of message it is.
struct ParsedCall {
    // The parsed text; discarded when the text is too long to parse or not
    // JSON. Kept when it nests too deep, so its kind can still be told.
    nlohmann::ordered_json value;
    // Why the text cannot be dispatched; "" when it can.
    std::string refusal;
    // The id to answer with: the call's own, or for a refused text the plain
    // value under a top-level "id" that comes before its fault in its first
    // kIdScanBytes (callers put it first); null when there is none.
    nlohmann::ordered_json id;
};

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
    // How far into a refused call text its id is looked for.
    static constexpr std::size_t kIdScanBytes = 4096;

    ScriptDispatcher(ChipCardPlugin& plugin, ScriptHost& host);

    // Parses a call text within the bounds above; a text longer than
    // kMaxCallBytes is refused unread.
    static ParsedCall parse(std::string_view text);

    // One call to its answer.
    nlohmann::ordered_json dispatch(const nlohmann::ordered_json& call);
    // One parsed call to its answer as one line of JSON text (without the
    // line end); never throws.
    std::string answer(const ParsedCall& call) noexcept;
    // One call as JSON text to its answer line: parse, then answer.
    std::string handleLine(std::string_view line) noexcept;

private:
    ChipCardPlugin& plugin_;
    ScriptHost& host_;
};

} // namespace vexa
