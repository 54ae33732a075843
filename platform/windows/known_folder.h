#pragma once

#include <string>

namespace vexa::platform {

enum class KnownFolder { Profile, RoamingAppData, ProgramData };

// The folder the shell knows by that name, in UTF-8; "" when it knows none.
std::string knownFolder(KnownFolder folder);

} // namespace vexa::platform
