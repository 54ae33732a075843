#include "cardaccess/ctapi_terminals.h"

#include <cstdlib>
#include <optional>

#include "cardaccess/card_error.h"
#include "platform/config_home.h"
#include "platform/path.h"
#include "platform/system.h"
#include "support/file_trust.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

constexpr std::int32_t kMaxPort = 65535; // CT_init's pn is 16 bits wide

// Leading blanks, an optional sign, the digits up to the first other
// character; 0 without digits. Empty when the number is no port at all.
std::optional<std::int32_t> portNumber(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMaxPort) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The keys of the reader's section; the last occurrence of a key wins.
CtapiTerminal readTerminal(const std::string& name, const IniSection& section) {
    CtapiTerminal terminal{{name, "", 0}, ""};
    bool libraryGiven = false;
    std::string port = "0";
    for (const auto& entry : section.entries) {
        if (entry.key == "CtDllName") {
            terminal.settings.library = entry.value;
            libraryGiven = true;
        } else if (entry.key == "Port") {
            port = entry.value;
        }
    }
    if (const auto number = portNumber(port))
        terminal.settings.port = *number;
    else
        terminal.failure = "Port " + port + " is out of range";
    if (!libraryGiven)
        terminal.failure = "CtDllName is undefined";
    else if (terminal.settings.library.empty())
        terminal.failure = "CtDllName is defined but empty";
    return terminal;
}

// Loads the driver and opens and closes the terminal once; throws with the
// reason when it cannot be used.
void probe(CtapiReader& reader) {
    if (!reader.loadLibrary()) {
        const std::string why = reader.loadRefusal();
        throw TovException(ERR_NO_INIT,
                           "Could not load CTAPI library '" + reader.library() + "'" + (why.empty() ? "" : ": " + why));
    }
    std::int32_t result = reader.readerInit();
    if (result != 0)
        throw TovException(ERR_NO_INIT, "Negative return code " + signedDecimal(result) + " from ctapi.initFunc ()");
    result = reader.readerClose();
    if (result != 0)
        throw TovException(ERR_NO_INIT, "Negative return code " + signedDecimal(result) + " from ctapi.closeFunc ()");
}

} // namespace

std::string ctapiIniPath() {
    const std::string windir = platform::environmentValue("windir");
    // A windir that others can write would let them choose the driver we load.
    const bool usable = !windir.empty() && distrustOfFolder(windir).empty();
    std::string directory = usable ? windir : platform::kWindows ? "\\WINDOWS" : "/etc";
    if (directory.back() != '/' && directory.back() != '\\') directory += platform::kPathSeparator;
    return directory + "HBCIKRNL.INI";
}

std::int32_t declaredTerminals(const IniFile& ini, std::vector<CtapiTerminal>& terminals) {
    terminals.clear();
    const auto& sections = ini.sections();
    if (sections.size() < 2) return ERR_NO_READER;
    // Per section: the name its [CardReader] entry gives it, as written there.
    std::vector<std::optional<std::string>> declared(sections.size());
    for (const auto& list : sections) {
        if (list.name != "CARDREADER") continue;
        for (const auto& entry : list.entries) {
            if (!textEqualsNoCase(entry.value, "Active")) continue;
            for (std::size_t i = 0; i < sections.size(); ++i) {
                if (textEqualsNoCase(sections[i].name, entry.key)) {
                    declared[i] = entry.key;
                    break;
                }
            }
        }
    }
    for (std::size_t i = 0; i < sections.size(); ++i)
        if (declared[i]) terminals.push_back(readTerminal(*declared[i], sections[i]));
    return terminals.empty() ? ERR_NO_READER : 0;
}

std::int32_t listCtapiReaders(std::vector<CtapiReader>& readers, std::vector<std::string>& failures) {
    readers.clear();
    IniFile ini;
    if (ini.init(ctapiIniPath()) != 0) return ERR_NO_READER;
    if (ini.read() < 0) {
        if (!ini.refusal().empty()) failures.push_back("Not using file '" + ini.path() + "': " + ini.refusal());
        return ERR_NO_READER;
    }
    std::vector<CtapiTerminal> terminals;
    if (declaredTerminals(ini, terminals) != 0) return ERR_NO_READER;
    for (auto& terminal : terminals) {
        try {
            if (!terminal.failure.empty()) throw TovException(ERR_NO_INIT, terminal.failure);
            CtapiReader reader(terminal.settings);
            probe(reader); // a failing reader unloads its library as it goes
            readers.push_back(std::move(reader));
        } catch (const TovException& e) {
            failures.push_back(terminal.settings.name + ": " + e.text());
        }
    }
    return readers.empty() ? ERR_NO_READER : 0;
}

} // namespace vexa
