#include "cardaccess/remote_pcsc_client.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <vector>

#include "cardaccess/card_error.h"
#include "cardaccess/system_error_text.h"
#include "pcsc/notification_reader.h"
#include "pcsc/pcsc_call.h"

namespace vexa {
namespace {

const std::int32_t kTimeoutCode = pcsc::code(SCARD_E_TIMEOUT);

} // namespace

RemotePcscClient::RemotePcscClient(const RemotePcscClient& other)
    : connection_(other.connection_), servers_(other.servers_), remote_(other.remote_) {}

RemotePcscClient::~RemotePcscClient() {
    closeAll();
}

bool RemotePcscClient::setServer(std::string_view list) {
    return setServers(RemoteServers(list));
}

bool RemotePcscClient::setServers(const RemoteServers& servers) {
    remote_ = servers;
    std::string_view list = remote_.list();
    servers_.clear();
    while (!list.empty()) {
        const std::size_t blank = list.find(' ');
        const std::string_view entry = list.substr(0, blank);
        list.remove_prefix(blank == std::string_view::npos ? list.size() : blank + 1);
        if (entry.empty()) continue;
        const auto server = ServerAddress::parse(entry);
        if (!server) return false;
        servers_.push_back(*server);
    }
    return true;
}

std::string RemotePcscClient::serverText() const {
    std::string text;
    for (const ServerAddress& s : servers_) text += (text.empty() ? "" : " ") + s.text();
    return text;
}

std::string RemotePcscClient::errorText(std::int32_t code) {
    std::string text = remoteErrorText(code);
    return text.empty() ? systemErrorText(code) : text;
}

std::string RemotePcscClient::errorSuffix(std::int32_t code) {
    return connectionErrorSuffix(code);
}

std::int32_t RemotePcscClient::openConnection(const ServerAddress& server) {
    connection_.useConnector(remote_.connectorFor(server));
    return connection_.open(server.host(), static_cast<std::uint16_t>(server.port), server.text());
}

std::int32_t RemotePcscClient::useServer(const ServerAddress& server, std::uint32_t scope) {
    // Reader names come from pages: only the configured servers may be
    // reached through them, never any other address or port.
    if (std::find(servers_.begin(), servers_.end(), server) == servers_.end()) return ERR_REMOTE_BAD_ADDRESS;
    std::int32_t result = 0;
    const bool kept = server.text() == connection_.server();
    if (!kept) result = openConnection(server);
    if (result == 0) result = connection_.establishContext(scope);
    // A refused TLS handshake would only be refused again. A connection kept
    // from an earlier call is another matter: its server may have restarted
    // since, and the connection is closed by now.
    if (result == 0 || (result == ERR_REMOTE_NOT_CONNECTED && !kept)) return result;
    // The connection may have gone stale since its last use: once more.
    result = openConnection(server);
    return result != 0 ? result : connection_.establishContext(scope);
}

std::int32_t RemotePcscClient::connect(std::uint32_t scope, std::string_view name, std::uint32_t shareMode,
                                       std::uint32_t protocols, std::uint32_t& activeProtocol,
                                       std::string& serverText) {
    activeProtocol = 0;
    serverText.clear();
    std::int32_t result = disconnect(SCARD_RESET_CARD);
    if (result != 0) return result;
    RemoteReaderName parts;
    result = RemoteReaderName::split(name, parts);
    if (result == 0) result = useServer(parts.server, scope);
    if (result != 0) {
        serverText = parts.serverPart;
        return result;
    }
    result = connection_.connect(parts.reader, shareMode, protocols, activeProtocol);
    if (result != 0) disconnect(SCARD_RESET_CARD);
    return result;
}

std::int32_t RemotePcscClient::disconnect(std::uint32_t disposition) {
    return connection_.disconnect(disposition);
}

std::int32_t RemotePcscClient::listReaders(std::uint32_t scope, std::string_view groups, std::string& names,
                                           std::int32_t& count, std::string& unreachable, bool pnp) {
    RemotePcscClient copy(*this);
    count = 0;
    std::int32_t result = 0;
    for (const ServerAddress& server : servers_) {
        std::int32_t r = copy.openConnection(server);
        if (r != 0) {
            result = r;
            unreachable = server.text();
            continue;
        }
        r = copy.listServer(server, scope, groups, names, count, pnp);
        const std::int32_t closed = copy.connection_.close();
        result = r != 0 ? r : closed;
    }
    return count > 0 ? 0 : result;
}

std::int32_t RemotePcscClient::listServer(const ServerAddress& server, std::uint32_t scope, std::string_view groups,
                                          std::string& names, std::int32_t& count, bool pnp) {
    std::int32_t result = connection_.establishContext(scope);
    if (result == 0) {
        std::vector<std::string> readers;
        result = connection_.listReaders(groups, readers);
        for (const std::string& reader : readers) {
            names += server.text() + ":" + reader + "\r\n";
            ++count;
        }
    }
    const std::int32_t released = connection_.releaseContext();
    if (result == 0) result = released;
    // A server without readers still reports readers arriving.
    if (pnp && (result == 0 || result == pcsc::code(SCARD_E_NO_READERS_AVAILABLE))) {
        names += server.text() + ":" + std::string(pcsc::kNotificationReader) + "\r\n";
        ++count;
    }
    return result;
}

std::int32_t RemotePcscClient::getStatusChange(std::uint32_t scope, std::uint32_t timeoutMs,
                                               std::span<SCARD_READERSTATE> states) {
    if (states.empty()) return ERR_INTERNAL;
    RemotePcscClient copy(*this);
    bool changed = false;
    std::size_t next = 0;
    while (next < states.size()) {
        const std::int32_t result = copy.statusChangeBatch(scope, timeoutMs, states, next, changed);
        if (result != 0) return result;
    }
    return changed ? 0 : kTimeoutCode;
}

std::int32_t RemotePcscClient::statusChangeBatch(std::uint32_t scope, std::uint32_t timeoutMs,
                                                 std::span<SCARD_READERSTATE> states, std::size_t& next,
                                                 bool& changed) {
    const std::size_t first = next;
    RemoteReaderName batchName;
    std::int32_t result = RemoteReaderName::split(states[first].szReader ? states[first].szReader : "", batchName);
    if (result == 0) result = useServer(batchName.server, scope);
    if (result != 0) return result;

    std::vector<std::string> readers;
    for (; next < states.size(); ++next) {
        RemoteReaderName parts;
        if (RemoteReaderName::split(states[next].szReader ? states[next].szReader : "", parts) != 0)
            return ERR_REMOTE_BAD_ADDRESS;
        if (parts.server != batchName.server) break;
        readers.push_back(std::move(parts.reader));
    }
    result = connection_.getStatusChange(timeoutMs, readers, states.subspan(first, next - first));
    if (result != 0 && result != kTimeoutCode) return result;
    if (result == 0) changed = true;
    if ((result = connection_.releaseContext()) != 0) return result;
    return connection_.close();
}

std::int32_t RemotePcscClient::closeAll() {
    connection_.disconnect(SCARD_RESET_CARD);
    connection_.releaseContext();
    return connection_.close();
}

} // namespace vexa
