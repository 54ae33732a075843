#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "control/script_host.h"
#include "core/chip_card_plugin.h"

namespace vexa {

enum class ScriptKind { String, Long };

// An argument or result as the plug-in sees it: narrow Windows-1252 text or
// a signed 32-bit number.
using ScriptValue = std::variant<std::string, std::int32_t>;

// One call with arguments already checked against the method's kinds, so a
// handler reads them without further checks.
struct ScriptCall {
    ChipCardPlugin& plugin;
    ScriptHost& host;
    std::span<const ScriptValue> args;

    const std::string& text(std::size_t i) const { return std::get<std::string>(args[i]); }
    std::int32_t number(std::size_t i) const { return std::get<std::int32_t>(args[i]); }
};

using ScriptHandler = ScriptValue (*)(const ScriptCall& call);

// The argument kinds of one method, in order; no method takes more than five.
struct ScriptArgKinds {
    std::array<ScriptKind, 5> kinds{};
    std::size_t count = 0;

    std::span<const ScriptKind> view() const { return {kinds.data(), count}; }
};

template <typename... Kinds>
constexpr ScriptArgKinds argKinds(Kinds... kinds) {
    static_assert(sizeof...(kinds) <= 5);
    return ScriptArgKinds{{kinds...}, sizeof...(kinds)};
}

// One script method: its name, argument kinds, result kind and handler.
struct ScriptMethod {
    std::string_view name;
    ScriptArgKinds args;
    ScriptKind result;
    ScriptHandler handler;
};

// The 29 script methods in their dispatch order (position + 1 is the
// method's dispatch identifier).
std::span<const ScriptMethod> scriptMethods();
// Exact, case-sensitive lookup; nullptr for an unknown name.
const ScriptMethod* findScriptMethod(std::string_view name);

} // namespace vexa
