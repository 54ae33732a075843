#include "cardaccess/remote_servers.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "rpcsc/client_error.h"
#include "rpcsc/tcp_stream.h"

namespace vexa {

struct RemoteServers::Tls {
    ServerAddressList servers;
    std::optional<TlsConnector> connector; // none: TLS cannot be used
    TovLog log;                            // copied and opened to write
};

namespace {

// The blank-separated entries of a list.
std::vector<std::string_view> entriesOf(std::string_view list) {
    std::vector<std::string_view> entries;
    while (!list.empty()) {
        const std::size_t blank = list.find(' ');
        if (blank != 0) entries.push_back(list.substr(0, blank));
        list.remove_prefix(blank == std::string_view::npos ? list.size() : blank + 1);
    }
    return entries;
}

// The TLS entries that name servers of the list; the others are logged.
ServerAddressList tlsServersOf(const RemoteServerSettings& settings, TovLog& log) {
    ServerAddressList all;
    for (const std::string_view entry : entriesOf(settings.servers))
        if (const auto server = ServerAddress::parse(entry)) all.push_back(*server);
    ServerAddressList tls;
    for (const std::string_view entry : entriesOf(settings.tlsServers)) {
        const auto server = ServerAddress::parse(entry);
        if (!server)
            log.write(LOG_ERROR,
                      "Invalid address for remote PC/SC server over TLS ('" + std::string(entry) + "'). Ignoring it.");
        else if (std::find(all.begin(), all.end(), *server) == all.end())
            log.write(LOG_WARNING, "Remote PC/SC server over TLS " + server->text() +
                                       " is not among the remote PC/SC servers. Ignoring it.");
        else
            tls.push_back(*server);
    }
    return tls;
}

std::string textsOf(const ServerAddressList& servers) {
    std::string text;
    for (const ServerAddress& server : servers) text += (text.empty() ? "" : ", ") + server.text();
    return text;
}

void writeLine(const TovLog& log, std::string_view text) {
    TovLog copy(log);
    copy.open();
    copy.write(LOG_ERROR, text);
}

} // namespace

RemoteServers RemoteServers::fromSettings(const RemoteServerSettings& settings, TovLog& log) {
    RemoteServers servers(settings.servers);
    ServerAddressList tlsServers = tlsServersOf(settings, log);
    if (tlsServers.empty()) return servers;
    std::string failure;
    auto connector = makeTlsConnector(settings.files, failure);
    if (!connector)
        log.write(LOG_ERROR, "TLS to remote PC/SC servers unusable: " + failure + ". Not connecting to " +
                                 textsOf(tlsServers) + ".");
    servers.tls_ = std::make_shared<const Tls>(Tls{std::move(tlsServers), std::move(connector), log});
    return servers;
}

bool RemoteServers::usesTls(const ServerAddress& server) const {
    return tls_ && std::find(tls_->servers.begin(), tls_->servers.end(), server) != tls_->servers.end();
}

StreamConnector RemoteServers::connectorFor(const ServerAddress& server) const {
    if (!usesTls(server)) return TcpStream::connect;
    // Refused handshakes count as no server: the caller cannot tell a
    // refused certificate from a server that is not there, and must not try
    // the port in plain either way.
    return [tls = tls_, name = server.text()](std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                              std::unique_ptr<ByteStream>& stream) -> std::int32_t {
        if (!tls->connector) return rpcsc::kNotConnected;
        std::string failure;
        const std::int32_t result = (*tls->connector)(host, port, timeoutMs, stream, failure);
        if (result == 0) return 0;
        if (failure.empty()) return result; // nobody there, as in plain
        writeLine(tls->log, "TLS handshake with remote PC/SC server " + name + " failed: " + failure);
        return rpcsc::kNotConnected;
    };
}

} // namespace vexa
