#include "cardaccess/card_error.h"

#include <array>
#include <string_view>

#include "cardaccess/system_error_text.h"
#include "support/text.h"

namespace vexa {
namespace {

// Indexed by code - 992300.
constexpr std::array<std::string_view, 23> cardTexts = {
    "Initialisierung nicht durchgefuehrt",
    "Keinen Kartenleser gefunden",
    "Keine Karte gefunden",
    "Kartendaten falsch",
    "Aktivierungsdatum der Karte nicht erreicht",
    "Karte abgelaufen",
    "Keine gemeinsame Schluesselversion gefunden",
    "Groesse eines internen Puffers ueberschritten",
    "Unbekanntes Interface",
    "Keine Karte des gewuenschten Typs gefunden",
    "Kartentransaktion nicht gefunden",
    "Kein passendes SAM gefunden",
    "Ungueltiger Wert angegeben",
    "Karte bzw. Kartenleser ist deaktiviert",
    "Karte nicht verbunden",
    "Karte entfernt",
    "Kartenleser ist kein Secoder",
    "Ausgetauschte Karte nicht kompatibel zur vorhergehenden Karte",
    "Wegen Timeout abgelaufene Transaktion gefunden",
    "Karte nicht lesbar",
    "Chipfehler",
    "Kein Jugendschutzmerkmal vorhanden",
    "Kein Jugendschutzmerkmal vorhanden (kontoungebundene GeldKarte)",
};

// Indexed by code - 992401; 992400 has no entry.
constexpr std::array<std::string_view, 3> remoteTexts = {
    "Serveradresse ungueltig formatiert oder nicht angegeben",
    "Server ist nicht verbunden",
    "Empfangene Antwortdaten haben ein ungueltiges Format",
};

template <std::size_t N>
std::string tableText(const std::array<std::string_view, N>& table, std::int32_t first, std::int32_t code) {
    if (code < first || code >= first + static_cast<std::int32_t>(N)) return {};
    return std::string(table[code - first]);
}

} // namespace

std::string cardTableText(std::int32_t code) {
    if (code == ERR_INTERNAL) return "Interner Fehler";
    return tableText(cardTexts, ERR_CARD_FIRST, code);
}

std::string remoteErrorText(std::int32_t code) {
    return tableText(remoteTexts, ERR_REMOTE_BAD_ADDRESS, code);
}

std::string cardErrorText(std::int32_t code) {
    std::string text = cardTableText(code);
    return text.empty() && code != ERR_INTERNAL && (code < ERR_CARD_FIRST || code > ERR_CARD_LAST)
               ? systemErrorText(code)
               : text;
}

std::string errorCodeText(std::int32_t code) {
    if (code == 0) return "0";
    if (code >= ERR_CARD_FIRST && code <= ERR_CARD_LAST) return signedDecimal(code);
    return "0x" + hexNumber(static_cast<std::uint32_t>(code), code >= 0 && code <= 65535 ? 4 : 8);
}

bool isSuccessCode(std::int32_t code) {
    return code == 0 || code == 0x9000 || (code >= 0x63C0 && code <= 0x63CF);
}

std::string cardErrorSuffix(std::int32_t code) {
    if (isSuccessCode(code)) return {};
    return " (return code " + errorCodeText(code) + ": " + cardErrorText(code) + ")";
}

std::string connectionErrorSuffix(std::int32_t code) {
    if (code == 0) return {};
    std::string text = remoteErrorText(code);
    if (text.empty()) text = systemErrorText(code);
    return " (return code " + signedDecimal(code) + ": " + text + ")";
}

} // namespace vexa
