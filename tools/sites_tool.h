#pragma once

#include <iosfwd>
#include <span>

namespace vexa {

// `vexa sites list|remove URL|clear`: shows the sites the user admitted and
// revokes them, in the user's enciphered list. Returns the exit status.
int runSitesTool(std::span<char* const> args, std::ostream& out, std::ostream& err);

} // namespace vexa
