#pragma once

#include <iosfwd>
#include <span>

namespace vexa {

// `vexa remote-pcsc fingerprint`: prints the fingerprint line of this user's
// certificate for remote PC/SC servers over TLS, as a server's clients file
// takes it. Returns the exit status.
int runRemotePcscTool(std::span<char* const> args, std::ostream& out, std::ostream& err);

} // namespace vexa
