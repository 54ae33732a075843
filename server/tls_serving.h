#pragma once

#include <string>

#include "rpcsc/tls_stream.h"
#include "server/rpcsc_server.h"

namespace vexa::rpcsc {

// Makes the server speak TLS on every connection it accepts, showing
// files.certificate and requiring a client certificate from files.ca: sets
// options.streamFor. False with `failure` when a file cannot be used, or
// where this build has no TLS.
bool serveTls(const TlsFiles& files, ServerOptions& options, std::string& failure);

} // namespace vexa::rpcsc
