#include "core/user_sites.h"

#include <span>
#include <string>

#include "core/setting_tables.h"
#include "support/cipher.h"

namespace vexa {
namespace {

constexpr std::string_view kSitesFile = "vexa_sites.conf";
constexpr std::string_view kSitesKeyName = "ALLOWED_URLS";

ConfParameter sitesRow() {
    return {std::string(kSitesKeyName), ConfParameter::Text, "", 0, nullptr};
}

SiteList listOf(const TovConf& conf) {
    std::string cipherText, list;
    conf.getText(kSitesKeyName, cipherText);
    if (cipherText.empty() || !decipherText(cipherText, kSitesKey, list)) list.clear();
    return SiteList(list, SiteList::Source::User);
}

SiteList loadList(TovConf& conf, std::string_view directory, std::string_view location, std::string_view fileName) {
    int line = 0;
    const ConfParameter row = sitesRow();
    // Saving replaces the file: through a link it would write wherever the
    // link points.
    conf.setFollowLinks(false);
    conf.load(directory, location, fileName, std::span(&row, 1), line);
    return listOf(conf);
}

} // namespace

SiteList loadUserSites(TovConf& conf, std::string_view companyDirectory) {
    return loadList(conf, companyDirectory, "HOMEDIR", kSitesFile);
}

SiteList reloadUserSites(TovConf& conf) {
    const std::string path = conf.resolvedPath();
    return loadList(conf, "", "", path);
}

int updateUserSites(TovConf& conf, const std::function<void(SiteList&)>& change, SiteList& list) {
    bool enciphered = true;
    const ConfParameter row = sitesRow();
    conf.setFollowLinks(false);
    const int result = conf.update(std::span(&row, 1), [&](TovConf& file) {
        list = listOf(file);
        change(list);
        std::string cipherText;
        enciphered = encipherText(list.text(), kSitesKey, cipherText);
        if (enciphered) file.setText(kSitesKeyName, cipherText);
    });
    return enciphered ? result : -1;
}

} // namespace vexa
