#pragma once

#include <string>
#include <vector>

namespace vexa::platform {

// The program's arguments after its name, in UTF-8. Windows gives main's
// argv in the ANSI code page, which loses every character it cannot hold,
// so there they come from the wide command line.
std::vector<std::string> programArguments(int argc, char** argv);

} // namespace vexa::platform
