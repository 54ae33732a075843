#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/site_address.h"
#include "support/tov_conf.h"

namespace vexa {

// The user's list of admitted sites in its file
// (<config home>/<company directory>/vexa_sites.conf), enciphered under the
// key ALLOWED_URLS. A file that is refused (a symbolic link, or one that
// fails the trust rule of file_trust.h) reads as an empty list:
// conf.refusal() then says why, and saving is refused too.
// The plug-in and the `vexa sites` tool both go through these.

// The list a file holds. A file that cannot be read in full (garbage, cut
// short, a value that does not decipher whole) gives the whole entries that
// could be read, and damage says why it is not whole ("" when it is).
struct UserSites {
    SiteList list;
    std::string damage;
};

// Loads the file of the company directory into conf (a missing file is an
// empty list).
UserSites loadUserSites(TovConf& conf, std::string_view companyDirectory);
// Loads conf's file again.
UserSites reloadUserSites(TovConf& conf);
// Reads the list again under the file's exclusive lock, lets change edit it
// and saves it enciphered, so that a site another process admitted meanwhile
// is kept; entries that are no longer honoured stay as they are. A damaged
// file is not replaced silently: it is first kept as damagedSitesPath(conf).
// saved receives the list as saved and the damage of the file it replaced.
// 0, -1 when enciphering failed, or the result of TovConf::update.
int updateUserSites(TovConf& conf, const std::function<void(SiteList&)>& change, UserSites& saved);

// Where a damaged file is kept.
std::string damagedSitesPath(const TovConf& conf);
// The line that reports a damaged file: its path, why it is damaged, and
// how many entries could be read.
std::string sitesDamageText(const TovConf& conf, const UserSites& sites);

} // namespace vexa
