#pragma once

#include <string>

namespace vexa::platform {

// The home folder the system's account of the current user names (on
// Windows %USERPROFILE%, else the shell's profile folder); empty when it
// names none.
std::string accountHomeFolder();

} // namespace vexa::platform
