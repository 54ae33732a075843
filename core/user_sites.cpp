#include "core/user_sites.h"

#include <span>
#include <string>

#include "core/setting_tables.h"
#include "support/cipher.h"

namespace vexa {
namespace {

constexpr std::string_view kSitesFile = "vexa_sites.conf";
constexpr std::string_view kSitesKeyName = "ALLOWED_URLS";
constexpr std::string_view kDamagedSuffix = ".damaged";

ConfParameter sitesRow() {
    return {std::string(kSitesKeyName), ConfParameter::Text, "", 0, nullptr};
}

// Why the list text is not one that saving made; "" when it is.
std::string listDamage(const TovConf& conf, std::string& list) {
    std::string cipherText;
    conf.getText(kSitesKeyName, cipherText);
    if (cipherText.empty()) return {};
    std::string flaw = decipherWholeText(cipherText, kSitesKey, list);
    // Saving always ends the list with a separator.
    if (flaw.empty() && !list.empty() && list.back() != '|') flaw = "does not end with a whole entry";
    return flaw.empty() ? std::string() : std::string(kSitesKeyName) + " " + flaw;
}

// What conf read: the entries (only whole ones: text after the last
// separator is no entry) and the damage.
UserSites sitesOf(const TovConf& conf) {
    std::string list;
    std::string damage = listDamage(conf, list);
    if (conf.readResult() != TovConf::Ok) damage = "it cannot be read past line " + std::to_string(conf.readLine());
    return {SiteList(list, SiteList::Source::User), std::move(damage)};
}

UserSites loadList(TovConf& conf, std::string_view directory, std::string_view location, std::string_view fileName) {
    int line = 0;
    const ConfParameter row = sitesRow();
    // Saving replaces the file: through a link it would write wherever the
    // link points.
    conf.setFollowLinks(false);
    conf.load(directory, location, fileName, std::span(&row, 1), line);
    return sitesOf(conf);
}

} // namespace

UserSites loadUserSites(TovConf& conf, std::string_view companyDirectory) {
    return loadList(conf, companyDirectory, "HOMEDIR", kSitesFile);
}

UserSites reloadUserSites(TovConf& conf) {
    const std::string path = conf.resolvedPath();
    return loadList(conf, "", "", path);
}

int updateUserSites(TovConf& conf, const std::function<void(SiteList&)>& change, UserSites& saved) {
    bool enciphered = true;
    const ConfParameter row = sitesRow();
    conf.setFollowLinks(false);
    const int result = conf.update(std::span(&row, 1), [&](TovConf& file) {
        saved = sitesOf(file);
        if (!saved.damage.empty()) file.keepOriginal(kDamagedSuffix);
        change(saved.list);
        std::string cipherText;
        enciphered = encipherText(saved.list.text(), kSitesKey, cipherText);
        if (enciphered) file.setText(kSitesKeyName, cipherText);
    });
    return enciphered ? result : -1;
}

std::string damagedSitesPath(const TovConf& conf) {
    return conf.resolvedPath() + std::string(kDamagedSuffix);
}

std::string sitesDamageText(const TovConf& conf, const UserSites& sites) {
    const std::size_t count = sites.list.entries().size();
    return "The sites file '" + conf.resolvedPath() + "' is damaged: " + sites.damage + "; " + std::to_string(count) +
           (count == 1 ? " entry" : " entries") + " could be read";
}

} // namespace vexa
