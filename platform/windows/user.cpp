#include "platform/user.h"

#include "platform/config_home.h"
#include "platform/windows/known_folder.h"

namespace vexa::platform {

std::string accountHomeFolder() {
    std::string profile = environmentValue("USERPROFILE");
    return profile.empty() ? knownFolder(KnownFolder::Profile) : profile;
}

} // namespace vexa::platform
