#pragma once

#include <string>
#include <string_view>

#include "platform/file.h"

namespace vexa {

// The one rule for files whose content steers what VEXA does for the user
// (settings, admitted sites, CT-API terminals and drivers): such a file, and
// the folders that hold it, count only when nobody but the user and root can
// change them, that is when they are owned by the user (effective id) or by
// root and writable by neither their group nor others. A sticky folder (/tmp)
// is the exception: others may add entries there but cannot replace ours.
// Folders further up are not looked at.
//
// Each function returns "" when the rule holds, else why not, worded to
// follow the name it is about ("is writable by others"). The facts come from
// the system: owner and mode bits on POSIX, owner and DACL on Windows.

// An open file: what was opened is what is judged.
std::string distrustOfOpenFile(const platform::File& file);
// A private key: it counts only when it is the user's own and nobody else
// may read or change it (no group or other permission bits).
std::string distrustOfPrivateKey(const platform::File& file);
// A folder by its path (a link to a folder is judged by its target); a
// missing folder is not trusted either, since anybody might make it.
std::string distrustOfFolder(const std::string& path);
// The folder that holds file, and when top holds file, every folder from
// there up to and including top. The text names the folder that fails; a
// folder that does not exist yet is passed over (nothing below it can be
// opened, and its parent is judged).
std::string distrustOfFolders(std::string_view file, std::string_view top = {});

} // namespace vexa
