#include "core/error_model.h"

#include <array>
#include <string_view>

#include "cardaccess/system_error_text.h"

namespace vexa {
namespace {

// Indexed by code - 992200.
constexpr std::array<std::string_view, 12> pluginTexts = {
    "Angegebener String ist kein valider Hex-String (Zwei Byte Hexwert und ein Leerzeichen)",
    "Ungueltiger Parameter",
    "Ungueltiger Wert",
    "Logfile kann nicht gelesen werden",
    "",
    "",
    "",
    "",
    "",
    "Verarbeitungsproblem bei der &Uuml;bermittlung",
    "Verarbeitungsproblem bei der &Uuml;bermittlung",
    "Nicht initialisiert",
};

std::string pluginText(std::int32_t code) {
    if (code < ERR_INVALID_HEX || code >= ERR_INVALID_HEX + static_cast<std::int32_t>(pluginTexts.size())) return {};
    return std::string(pluginTexts[code - ERR_INVALID_HEX]);
}

} // namespace

std::string lookupErrorText(std::int32_t code) {
    for (auto source : {pluginText, remoteErrorText, systemErrorText, cardTableText}) {
        std::string text = source(code);
        if (!text.empty()) return text;
    }
    return {};
}

} // namespace vexa
