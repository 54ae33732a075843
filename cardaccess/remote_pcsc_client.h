#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/remote_servers.h"
#include "cardaccess/server_address.h"
#include "rpcsc/client_connection.h"
#include "support/byte_buffer.h"

namespace vexa {

// The PC/SC operations of resource managers on other machines, spoken to
// over the remote PC/SC protocol (rpcsc/), one connection at a time. A
// remote reader is named "a.b.c.d:port:name"; a name whose server is not in
// the list set with setServer gives 992401 and opens no connection.
//
// Results are 0, 992401..992403, -1 (a request that cannot be built, or an
// answer with a wrong header or operation), a Windows Sockets error number
// or the server's PC/SC code. Nothing throws. One thread per object.
class RemotePcscClient {
public:
    RemotePcscClient() = default;
    // Copies the server list and the time-out; no connection, no handles.
    RemotePcscClient(const RemotePcscClient& other);
    RemotePcscClient& operator=(const RemotePcscClient&) = delete;
    ~RemotePcscClient();

    // Reads a blank-separated list of servers, all plain; false at the
    // first entry that does not parse (the entries before it stay).
    bool setServer(std::string_view list);
    // The same for configured servers, some of which may use TLS.
    bool setServers(const RemoteServers& servers);
    // The list's text forms joined by one blank.
    std::string serverText() const;
    const ServerAddressList& servers() const { return servers_; }

    // Every server's readers, each line "server:reader" + CR LF appended to
    // names; unreachable names the last server that could not be reached.
    // With pnp each reached server adds its notification pseudo-reader.
    std::int32_t listReaders(std::uint32_t scope, std::string_view groups, std::string& names, std::int32_t& count,
                             std::string& unreachable, bool pnp);
    // Connects the card in the named remote reader. serverText names the
    // server part when the server could not be reached.
    std::int32_t connect(std::uint32_t scope, std::string_view name, std::uint32_t shareMode, std::uint32_t protocols,
                         std::uint32_t& activeProtocol, std::string& serverText);
    // Releases card and context and closes the connection; 0 at once
    // without a card.
    std::int32_t disconnect(std::uint32_t disposition);
    bool isConnected() const { return connection_.hasCard(); }

    std::int32_t status(std::string& reader, std::uint32_t& state, std::uint32_t& protocol, ByteBuffer& atr) {
        return connection_.status(reader, state, protocol, atr);
    }
    std::int32_t transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, ByteBuffer& answer,
                          std::uint32_t maxAnswer, std::uint32_t& receiveProtocol) {
        return connection_.transmit(protocol, command, answer, maxAnswer, receiveProtocol);
    }
    std::int32_t control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input, ByteBuffer& answer,
                         std::uint32_t maxAnswer) {
        return connection_.control(code, raw, input, answer, maxAnswer);
    }
    std::int32_t beginTransaction() { return connection_.beginTransaction(); }
    std::int32_t endTransaction(std::uint32_t disposition) { return connection_.endTransaction(disposition); }

    // Waits on the servers for a change of the readers' states (each
    // szReader a remote reader name); updates dwCurrentState, dwEventState
    // and the ATR of every state. 0 when some server saw a change,
    // SCARD_E_TIMEOUT (as a signed code) when none did, -1 for no states or
    // an answer that does not match them.
    std::int32_t getStatusChange(std::uint32_t scope, std::uint32_t timeoutMs, std::span<SCARD_READERSTATE> states);

    // disconnect with a reset, release the context, close the connection;
    // the last step's result.
    std::int32_t closeAll();

    // 992401..992403: their texts; else the platform's text ("" if none).
    static std::string errorText(std::int32_t code);
    // "" for 0, else " (return code <decimal>: <errorText>)".
    static std::string errorSuffix(std::int32_t code);

private:
    std::int32_t openConnection(const ServerAddress& server);
    // Connection (reused when it is to this server) and a fresh context,
    // with one retry on a new connection; 992401 for a server not in the
    // list.
    std::int32_t useServer(const ServerAddress& server, std::uint32_t scope);
    std::int32_t listServer(const ServerAddress& server, std::uint32_t scope, std::string_view groups,
                            std::string& names, std::int32_t& count, bool pnp);
    // One getStatusChange request for the run of states from next that lie
    // on one server; next moves behind them.
    std::int32_t statusChangeBatch(std::uint32_t scope, std::uint32_t timeoutMs, std::span<SCARD_READERSTATE> states,
                                   std::size_t& next, bool& changed);

    rpcsc::ClientConnection connection_;
    ServerAddressList servers_;
    RemoteServers remote_; // how to reach each server
};

} // namespace vexa
