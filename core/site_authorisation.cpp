// Open and the lists of admitted sites.
#include "core/chip_card_plugin.h"
#include "core/setting_tables.h"
#include "core/trusted_sites.h"
#include "support/cipher.h"

namespace vexa {
namespace {

// An entry admits the address itself and what lies below it, never a longer
// host name: "https://bank.example" must not admit
// "https://bank.example.attacker.test".
bool entryMatches(std::string_view entry, std::string_view address) {
    if (entry.empty() || !address.starts_with(entry)) return false;
    return address.size() == entry.size() || entry.back() == '/' || address[entry.size()] == '/';
}

bool listAdmits(std::string_view list, std::string_view address) {
    // Only text followed by "|" is an entry.
    for (auto bar = list.find('|'); bar != std::string_view::npos; bar = list.find('|')) {
        if (entryMatches(list.substr(0, bar), address)) return true;
        list.remove_prefix(bar + 1);
    }
    return false;
}

} // namespace

std::string ChipCardPlugin::cutAddress(std::string_view address) {
    // The path starts after "scheme://host"; a slash of "://" is no path
    // separator, or "https://bank.example" would be cut to "https:".
    std::size_t pathStart = 0;
    if (auto scheme = address.find("://"); scheme != std::string_view::npos) pathStart = scheme + 3;
    auto slash = address.rfind('/');
    if (slash == std::string_view::npos || slash < pathStart) return std::string(address);
    return std::string(address.substr(0, slash));
}

bool ChipCardPlugin::isSiteAllowed(std::string_view address, std::string& question) const {
    const std::string cut = cutAddress(address);
    question = "Darf von " + cut + " auf Chipkartenleser zugegriffen werden?";
    return listAdmits(kTrustedSites, cut) || listAdmits(allowedSites, cut);
}

int ChipCardPlugin::addAllowedSite(std::string_view site) {
    allowedSites += std::string(site) + "|";
    std::string cipherText;
    if (!encipherText(allowedSites, kSitesKey, cipherText)) return -1;
    sitesConf.setText("ALLOWED_URLS", cipherText);
    return sitesConf.save();
}

bool ChipCardPlugin::askUser(std::string_view, std::string_view) {
    return false;
}

std::int32_t ChipCardPlugin::Open(std::string_view identifier) {
    pageIdentifier = identifier;
    if (siteChecked) {
        lastError = initialised ? 0 : ERR_NOT_INITIALISED;
        return lastError;
    }
    siteChecked = 1;

    const std::string address = pageAddress();
    std::string question;
    if (!isSiteAllowed(address, question)) {
        if (!askUser("Frage", question)) {
            initialised = 0;
            lastError = ERR_NOT_INITIALISED;
            return ERR_NOT_INITIALISED;
        }
        // An unknown address is admitted for this life only: stored, an empty
        // entry would admit every later page whose address is unknown.
        const std::string site = cutAddress(address);
        if (!site.empty()) addAllowedSite(site);
    }
    initialised = 1;
    lastError = 0;
    return 0;
}

} // namespace vexa
