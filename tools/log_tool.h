#pragma once

#include <iosfwd>
#include <span>

namespace vexa {

// `vexa log on [LEVEL]|off|show`: sets LOGLEVEL in the user's configuration
// file, keeping every other line of it, or shows the end of the log that
// vexa-host writes. Returns the exit status.
int runLogTool(std::span<char* const> args, std::ostream& out, std::ostream& err);

} // namespace vexa
