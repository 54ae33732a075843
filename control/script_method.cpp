#include "control/script_method.h"

#include <algorithm>

namespace vexa {
namespace {

constexpr ScriptKind S = ScriptKind::String;
constexpr ScriptKind L = ScriptKind::Long;

ScriptValue reset(const ScriptCall& call) {
    const std::int32_t result = call.plugin.resetPlugin();
    call.host.restartPlugin();
    return result;
}

// clang-format off
constexpr std::array<ScriptMethod, 29> kMethods = {{
    {"EncodeRequest",    argKinds(S, S, L, L, S), S, nullptr},
    {"DecodeRequest",    argKinds(S),             S, nullptr},
    {"ExecuteRequest",   argKinds(S, L, L),       S, nullptr},
    {"SearchCard",       argKinds(S, S),          S, nullptr},
    {"ReadLogFile",      argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.ReadLogFile(c.number(0)); }},
    {"SetMode",          argKinds(S, S),          L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.SetMode(c.text(0), c.text(1)); }},
    {"GetMode",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetMode(c.text(0)); }},
    {"GetReaderList",    argKinds(),              S, nullptr},
    {"GetCardATR",       argKinds(S),             S, nullptr},
    {"ConnectCard",      argKinds(S, L),          L, nullptr},
    {"ConnectCardEx",    argKinds(S, L, L, L),    L, nullptr},
    {"DisConnectCard",   argKinds(),              L, nullptr},
    {"DisConnectCardEx", argKinds(L),             L, nullptr},
    {"GetLastErrorCode", argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetLastErrorCode(); }},
    {"GetErrorText",     argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetErrorText(c.number(0)); }},
    {"SendToCard",       argKinds(S),             S, nullptr},
    {"SendIOCTL",        argKinds(L, L, S),       S, nullptr},
    {"BeginTransaction", argKinds(),              L, nullptr},
    {"EndTransaction",   argKinds(),              L, nullptr},
    {"EndTransactionEx", argKinds(L),             L, nullptr},
    {"GetCardStatus",    argKinds(S),             L, nullptr},
    {"IsCardRemoved",    argKinds(),              L, nullptr},
    {"GetVersion",       argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetVersion(c.number(0)); }},
    {"Reset",            argKinds(),              L, reset},
    {"Hex2Str",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.Hex2Str(c.text(0)); }},
    {"Str2Hex",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.Str2Hex(c.text(0)); }},
    {"EnableEvents",     argKinds(S),             L, nullptr},
    {"DisableEvents",    argKinds(),              L, nullptr},
    {"Open",             argKinds(S),             L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.Open(c.text(0)); }},
}};
// clang-format on

} // namespace

std::span<const ScriptMethod> scriptMethods() {
    return kMethods;
}

const ScriptMethod* findScriptMethod(std::string_view name) {
    const auto it =
        std::find_if(kMethods.begin(), kMethods.end(), [name](const ScriptMethod& m) { return m.name == name; });
    return it == kMethods.end() ? nullptr : &*it;
}

} // namespace vexa
