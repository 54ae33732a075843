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

// One parameter as the page API declares it.
struct ScriptParam {
    std::string_view name;
    ScriptKind kind;

    bool operator==(const ScriptParam&) const = default;
};

// The parameters of one method or event, in order; none takes more than five.
struct ScriptParams {
    std::array<ScriptParam, 5> list{};
    std::size_t count = 0;

    std::span<const ScriptParam> view() const { return {list.data(), count}; }
};

template <typename... Params>
constexpr ScriptParams params(Params... each) {
    static_assert(sizeof...(each) <= 5);
    return ScriptParams{{each...}, sizeof...(each)};
}

// One script method: its name, parameters, result kind and handler.
struct ScriptMethod {
    std::string_view name;
    ScriptParams args;
    ScriptKind result;
    ScriptHandler handler;
};

// The 29 script methods in their dispatch order (position + 1 is the
// method's dispatch identifier): the page API's methods, which the build
// writes into the extension and into the reference's tables.
std::span<const ScriptMethod> scriptMethods();
// Exact, case-sensitive lookup; nullptr for an unknown name.
const ScriptMethod* findScriptMethod(std::string_view name);

} // namespace vexa
