#pragma once

#include <memory>
#include <string>

#include "rpcsc/tls_stream.h"
#include "server/rpcsc_server.h"

namespace vexa::rpcsc {

// Makes the server speak TLS on every connection it accepts: it shows
// files.certificate, requires a client certificate from files.ca, and admits
// only the certificates of the clients file. Sets options.streamFor,
// options.clients and options.reload, which re-reads the clients and the
// three TLS files and keeps what it had for any that cannot be used (logging
// why). False with `failure` when a TLS file cannot be used, or where this
// build has no TLS.
bool serveTls(const TlsFiles& files, std::shared_ptr<TlsClientsFile> clients, ServerOptions& options,
              std::string& failure);

} // namespace vexa::rpcsc
