#include "control/script_method.h"

#include <algorithm>

namespace vexa {
namespace {

constexpr ScriptKind S = ScriptKind::String;
constexpr ScriptKind L = ScriptKind::Long;

constexpr ScriptParam text(std::string_view name) {
    return {name, S};
}
constexpr ScriptParam number(std::string_view name) {
    return {name, L};
}

ScriptValue reset(const ScriptCall& call) {
    const std::int32_t result = call.plugin.resetPlugin();
    call.host.restartPlugin();
    return result;
}

// clang-format off
constexpr std::array<ScriptMethod, 29> kMethods = {{
    {"EncodeRequest", params(text("clientId"), text("transactionId"), number("functionId"), number("processId"), text("tlvString")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.EncodeRequest(c.text(0), c.text(1), c.number(2), c.number(3), c.text(4)); }},
    {"DecodeRequest", params(text("input")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.DecodeRequest(c.text(0)); }},
    {"ExecuteRequest", params(text("input"), number("encoded"), number("processId")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.ExecuteRequest(c.text(0), c.number(1), c.number(2)); }},
    {"SearchCard", params(text("aid"), text("aid2")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.SearchCard(c.text(0), c.text(1)); }},
    {"ReadLogFile", params(number("maxNumberOfBytes")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.ReadLogFile(c.number(0)); }},
    {"SetMode", params(text("parameter"), text("value")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.SetMode(c.text(0), c.text(1)); }},
    {"GetMode", params(text("parameter")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetMode(c.text(0)); }},
    {"GetReaderList", params(), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetReaderList(); }},
    {"GetCardATR", params(text("readerName")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetCardATR(c.text(0)); }},
    {"ConnectCard", params(text("readerName"), number("shareMode")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.ConnectCardEx(c.text(0), c.number(1), 3, 0); }},
    {"ConnectCardEx", params(text("readerName"), number("shareMode"), number("protocol"), number("timeOut")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.ConnectCardEx(c.text(0), c.number(1), c.number(2), c.number(3)); }},
    {"DisConnectCard", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisConnectCardEx(1); }},
    {"DisConnectCardEx", params(number("disposition")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisConnectCardEx(c.number(0)); }},
    {"GetLastErrorCode", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetLastErrorCode(); }},
    {"GetErrorText", params(number("errorCode")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetErrorText(c.number(0)); }},
    {"SendToCard", params(text("apdu")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.SendToCard(c.text(0)); }},
    {"SendIOCTL", params(number("ioctl"), number("isRaw"), text("apdu")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.SendIOCTL(c.number(0), c.number(1), c.text(2)); }},
    {"BeginTransaction", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.BeginTransaction(); }},
    {"EndTransaction", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.EndTransactionEx(1); }},
    {"EndTransactionEx", params(number("disposition")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.EndTransactionEx(c.number(0)); }},
    {"GetCardStatus", params(text("readerName")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetCardStatus(c.text(0)); }},
    {"IsCardRemoved", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.IsCardRemoved(); }},
    {"GetVersion", params(number("versionSelector")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.GetVersion(c.number(0)); }},
    {"Reset", params(), L,
     reset},
    {"Hex2Str", params(text("input")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.Hex2Str(c.text(0)); }},
    {"Str2Hex", params(text("input")), S,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.Str2Hex(c.text(0)); }},
    {"EnableEvents", params(text("eventIdentifier")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.EnableEvents(c.text(0)); }},
    {"DisableEvents", params(), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.DisableEvents(); }},
    {"Open", params(text("identifier")), L,
     [](const ScriptCall& c) -> ScriptValue { return c.plugin.Open(c.text(0)); }},
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
