#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "cardaccess/server_address.h"
#include "cardaccess/tls_connector.h"
#include "rpcsc/tcp_client.h"
#include "support/tov_log.h"

namespace vexa {

// What the configuration file says about remote PC/SC servers.
struct RemoteServerSettings {
    std::string servers;    // every server, blank-separated "a.b.c.d:port"
    std::string tlsServers; // those of them reached through TLS, same form
    TlsClientFiles files;   // paths of this user's CA, certificate and key
};

// The configured remote PC/SC servers and how to reach each: plain TCP, or
// TLS through one connector made when the settings were loaded. A TLS server
// is never reached in plain: when TLS cannot be used its connections fail
// with 992402, as do refused handshakes, each with one log line saying why.
// Copies share the connector and may be used on other threads.
class RemoteServers {
public:
    RemoteServers() = default;
    // Plain servers only.
    RemoteServers(std::string_view list) : list_(list) {}
    RemoteServers(const std::string& list) : list_(list) {}
    RemoteServers(const char* list) : list_(list) {}

    // The servers of the settings. Writes to log once: a TLS entry that is
    // no server of the list or does not parse (ignored), and why TLS cannot
    // be used when it cannot. Later refusals go to a copy of log.
    static RemoteServers fromSettings(const RemoteServerSettings& settings, TovLog& log);

    // The list as written.
    const std::string& list() const { return list_; }
    bool empty() const { return list_.empty(); }
    bool usesTls(const ServerAddress& server) const;
    // How to open a stream to server.
    StreamConnector connectorFor(const ServerAddress& server) const;

private:
    struct Tls;
    std::string list_;
    std::shared_ptr<const Tls> tls_; // none: every server plain
};

} // namespace vexa
