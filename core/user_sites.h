#pragma once

#include <functional>
#include <string_view>

#include "core/site_address.h"
#include "support/tov_conf.h"

namespace vexa {

// The user's list of admitted sites in its file
// (<config home>/<company directory>/vexa_sites.conf), enciphered under the
// key ALLOWED_URLS. A value that does not decipher reads as an empty list,
// and so does a file that is refused (a symbolic link, or one that fails the
// trust rule of file_trust.h): conf.refusal() then says why, and saving is
// refused too.
// The plug-in and the `vexa sites` tool both go through these.

// Loads the file of the company directory into conf; the list it holds (a
// missing file is an empty list).
SiteList loadUserSites(TovConf& conf, std::string_view companyDirectory);
// Loads conf's file again.
SiteList reloadUserSites(TovConf& conf);
// Reads the list again under the file's exclusive lock, lets change edit it
// and saves it enciphered, so that a site another process admitted meanwhile
// is kept; entries that are no longer honoured stay as they are. list
// receives the list as saved. 0, -1 when enciphering failed, or the result of
// TovConf::update.
int updateUserSites(TovConf& conf, const std::function<void(SiteList&)>& change, SiteList& list);

} // namespace vexa
