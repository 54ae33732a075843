#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "rpcsc/tls_stream.h"
#include "server/rpcsc_server.h"

namespace vexa::rpcsc {

// The files a TLS server is configured with.
struct TlsServing {
    TlsFiles files;
    std::string clients; // the clients file
};

// Makes the server speak TLS on every connection it accepts: it shows
// files.certificate, requires a client certificate from files.ca, and admits
// only the certificates of the clients file. Sets options.streamFor,
// options.clients, options.untrusted and options.reload, which re-reads the
// clients and the three TLS files and keeps what it had for any that cannot
// be used (logging why). False with `failure` when a TLS file cannot be
// used, or where this build has no TLS.
bool serveTls(const TlsFiles& files, std::shared_ptr<TlsClientsFile> clients, ServerOptions& options,
              std::string& failure);

// Reads every file as a start or a reload would, keeping nothing: what is
// wrong, each naming its file (and the line of the clients file); empty when
// all can be used, with the number of client certificates in `clients`.
std::vector<std::string> checkTlsFiles(const TlsServing& tls, std::size_t& clients);

} // namespace vexa::rpcsc
