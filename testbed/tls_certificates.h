#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rpcsc/tcp_client.h"
#include "rpcsc/tls_stream.h"

namespace vexa::testbed {

// A TLS setup for a vexa-rpcscd on 127.0.0.1, made with its own
// `certs init` and `certs client` in a temporary folder (removed with the
// object): a CA, the server's certificate, and client certificates all
// admitted in the clients file with every reader.
class TlsCertificates {
public:
    // Throws std::runtime_error when the certificate tool fails.
    TlsCertificates(const std::string& rpcscdBinary, int clients);
    TlsCertificates(const TlsCertificates&) = delete;
    TlsCertificates& operator=(const TlsCertificates&) = delete;
    ~TlsCertificates();

    // vexa-rpcscd's four --tls-* options.
    std::vector<std::string> serverOptions() const;
    // The clients file they name, to change for a reload.
    std::string clientsFile() const { return dir_ + "/clients"; }
    // The client context of certificate `client` (0 .. clients-1).
    std::shared_ptr<const TlsContext> clientContext(int client) const;
    // A connector for rpcsc's clients over TLS with that context.
    static StreamConnector connector(std::shared_ptr<const TlsContext> context);

private:
    std::string dir_;
    int clients_;
};

} // namespace vexa::testbed
