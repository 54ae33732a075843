#pragma once

#include <string>

namespace vexa::platform {

// A variable of the process environment, "" when it is not set.
std::string environmentValue(const std::string& name);

// Where the user's own settings live: XDG_CONFIG_HOME, else $HOME/.config
// ("" without HOME); on Windows %APPDATA%, else the shell's roaming
// application data folder.
std::string userConfigHome();

// Where settings for every user of the machine live: /etc; on Windows
// %ProgramData%.
std::string machineConfigHome();

} // namespace vexa::platform
