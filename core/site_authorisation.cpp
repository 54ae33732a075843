// Open and the lists of admitted sites.
#include "core/chip_card_plugin.h"
#include "core/setting_tables.h"
#include "core/site_address.h"
#include "core/trusted_sites.h"
#include "support/cipher.h"

namespace vexa {
namespace {

constexpr std::string_view kSitesFile = "vexa_sites.conf";
constexpr std::string_view kSitesKeyName = "ALLOWED_URLS";

ConfParameter sitesRow() {
    return {std::string(kSitesKeyName), ConfParameter::Text, "", 0, nullptr};
}

// The user's list as the file holds it; a value that does not decipher is an
// empty list.
SiteList userListOf(const TovConf& conf) {
    std::string cipherText, list;
    conf.getText(kSitesKeyName, cipherText);
    if (cipherText.empty() || !decipherText(cipherText, kSitesKey, list)) list.clear();
    return SiteList(list, SiteList::Source::User);
}

// Loads the sites file into conf; the user's list it holds.
std::string loadUserList(TovConf& conf, std::string_view directory, std::string_view location,
                         std::string_view fileName) {
    int line = 0;
    const ConfParameter row = sitesRow();
    conf.load(directory, location, fileName, std::span(&row, 1), line);
    return userListOf(conf).text();
}

} // namespace

void ChipCardPlugin::loadAllowedSites(std::string_view companyDirectory) {
    allowedSites = loadUserList(sitesConf, companyDirectory, "HOMEDIR", kSitesFile);
}

void ChipCardPlugin::refreshAllowedSites() {
    // Another object or process may have admitted a site since.
    if (!sitesConf.isLoaded() || !sitesConf.changedOnDisk()) return;
    const std::string path = sitesConf.resolvedPath();
    allowedSites = loadUserList(sitesConf, "", "", path);
}

bool ChipCardPlugin::isSiteAllowed(const SiteAddress& page) const {
    return SiteList(kTrustedSites, SiteList::Source::BuiltIn).admits(page) ||
           SiteList(allowedSites, SiteList::Source::User).admits(page);
}

int ChipCardPlugin::addAllowedSite(std::string_view site) {
    // The list is read again under the lock, so a site another process
    // admitted meanwhile is kept; entries that would no longer be stored
    // drop out on the way.
    bool enciphered = true;
    const ConfParameter row = sitesRow();
    const int result = sitesConf.update(std::span(&row, 1), [&](TovConf& conf) {
        SiteList list = userListOf(conf);
        list.add(site);
        allowedSites = list.text();
        std::string cipherText;
        enciphered = encipherText(allowedSites, kSitesKey, cipherText);
        if (enciphered) conf.setText(kSitesKeyName, cipherText);
    });
    return enciphered ? result : -1;
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

    const SiteAddress page = judgePage(pageAddress(), pageOrigin());
    bool admitted = page.kind != SiteAddress::Kind::Opaque;
    if (admitted) {
        refreshAllowedSites();
        if (!isSiteAllowed(page)) {
            admitted = askUser("Frage", siteQuestion(page));
            // What may not be stored is admitted for this life only.
            if (admitted && page.storable) addAllowedSite(page.site);
        }
    }
    initialised = admitted ? 1 : 0;
    lastError = admitted ? 0 : ERR_NOT_INITIALISED;
    return lastError;
}

} // namespace vexa
