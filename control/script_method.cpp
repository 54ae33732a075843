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
    {"EncodeRequest",    argKinds(S, S, L, L, S), S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.EncodeRequest(c.text(0), c.text(1), c.number(2), c.number(3), c.text(4)); }},
    {"DecodeRequest",    argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.DecodeRequest(c.text(0)); }},
    {"ExecuteRequest",   argKinds(S, L, L),       S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.ExecuteRequest(c.text(0), c.number(1), c.number(2)); }},
    {"SearchCard",       argKinds(S, S),          S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.SearchCard(c.text(0), c.text(1)); }},
    {"ReadLogFile",      argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.ReadLogFile(c.number(0)); }},
    {"SetMode",          argKinds(S, S),          L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.SetMode(c.text(0), c.text(1)); }},
    {"GetMode",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetMode(c.text(0)); }},
    {"GetReaderList",    argKinds(),              S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetReaderList(); }},
    {"GetCardATR",       argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetCardATR(c.text(0)); }},
    {"ConnectCard",      argKinds(S, L),          L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.ConnectCardEx(c.text(0), c.number(1), 3, 0); }},
    {"ConnectCardEx",    argKinds(S, L, L, L),    L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.ConnectCardEx(c.text(0), c.number(1), c.number(2), c.number(3)); }},
    {"DisConnectCard",   argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisConnectCardEx(1); }},
    {"DisConnectCardEx", argKinds(L),             L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisConnectCardEx(c.number(0)); }},
    {"GetLastErrorCode", argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetLastErrorCode(); }},
    {"GetErrorText",     argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetErrorText(c.number(0)); }},
    {"SendToCard",       argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.SendToCard(c.text(0)); }},
    {"SendIOCTL",        argKinds(L, L, S),       S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.SendIOCTL(c.number(0), c.number(1), c.text(2)); }},
    {"BeginTransaction", argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.BeginTransaction(); }},
    {"EndTransaction",   argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.EndTransactionEx(1); }},
    {"EndTransactionEx", argKinds(L),             L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.EndTransactionEx(c.number(0)); }},
    {"GetCardStatus",    argKinds(S),             L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetCardStatus(c.text(0)); }},
    {"IsCardRemoved",    argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.IsCardRemoved(); }},
    {"GetVersion",       argKinds(L),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetVersion(c.number(0)); }},
    {"Reset",            argKinds(),              L, reset},
    {"Hex2Str",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.Hex2Str(c.text(0)); }},
    {"Str2Hex",          argKinds(S),             S, [](const ScriptCall& c) -> ScriptValue { return c.plugin.Str2Hex(c.text(0)); }},
    {"EnableEvents",     argKinds(S),             L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.EnableEvents(c.text(0)); }},
    {"DisableEvents",    argKinds(),              L, [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisableEvents(); }},
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
