#pragma once

#include <iosfwd>
#include <span>
#include <string>

namespace vexa {

// `vexa request`: the server's side of ExecuteRequest, for scripts and
// tests. `build` writes a request for the plug-in, `read` shows a response
// (or request) as JSON. Returns the exit status; messages go to err.
int runRequestTool(std::span<char*> args, std::istream& in, std::ostream& out, std::ostream& err);

} // namespace vexa
