#pragma once

#include <iosfwd>
#include <span>

namespace vexa {

// `vexa readers [--watch]`: the readers and their cards as the plug-in sees
// them through the user's configured interface type; with --watch, then one
// line per card or reader event until SIGINT, SIGTERM or the end of stdin.
// Returns the exit status.
int runReadersTool(std::span<char* const> args, std::ostream& out, std::ostream& err);

} // namespace vexa
