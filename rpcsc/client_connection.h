#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rpcsc/tcp_client.h"
#include "rpcsc/wire_message.h"
#include "support/byte_buffer.h"

namespace vexa::rpcsc {

// The PC/SC calls on one remote PC/SC server over one connection: each call
// one request line out and one answer line in. Holds the connection's
// context and card handle. Results are 0, the codes of client_error.h, a
// Windows Sockets error number or the server's PC/SC code. After a call
// without an answer the connection is closed: a late answer must not be
// taken for the next request's. One thread per object.
class ClientConnection {
public:
    // Time-out of every connection attempt and every wait for an answer,
    // except to the calls on a card.
    static constexpr std::int32_t kTimeoutMs = 1500;
    // The answer to a call on a card may wait on the server for another
    // program's transaction, which a VEXA holder ends within
    // pcsc::kIdleTransactionLimit. After this long the call gives up with
    // SCARD_E_TIMEOUT and the connection is closed.
    static constexpr std::int32_t kCardWaitMs = 10000;

    // Over plain TCP.
    ClientConnection() = default;
    explicit ClientConnection(StreamConnector connector) : tcp_(std::move(connector)) {}
    // Copies the way of connecting only: no connection, no handles.
    ClientConnection(const ClientConnection& other) : tcp_(other.tcp_) {}
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Opens later connections through connector; closes the connection.
    void useConnector(StreamConnector connector) {
        close();
        tcp_ = TcpClient(std::move(connector));
    }

    // Connects to host and port, closing any connection first; `server`
    // names the server (its text form). The context is forgotten.
    std::int32_t open(std::string_view host, std::uint16_t port, std::string server);
    // 0 at once without a connection.
    std::int32_t close();
    // The server connected to; empty without a connection.
    const std::string& server() const { return server_; }

    // Releases the context held, then establishes a new one. The calls that
    // need the context alone (listReaders, connect, getStatusChange) make it
    // anew with the same scope, and are made once more, when the server no
    // longer knows it: the server or its PC/SC service restarted.
    std::int32_t establishContext(std::uint32_t scope);
    // From now on a context the server no longer knows is reported, not made
    // anew, as winscard reports it: for a stand-in of winscard.
    void reportDeadContexts() { renewContexts_ = false; }
    // 0 at once without a context.
    std::int32_t releaseContext();
    // The server's readers appended to readers when it answered.
    std::int32_t listReaders(std::string_view groups, std::vector<std::string>& readers);

    // Connects the card in the server's reader; activeProtocol is set when
    // the server answered.
    std::int32_t connect(std::string_view reader, std::uint32_t shareMode, std::uint32_t protocols,
                         std::uint32_t& activeProtocol);
    // Releases card and context and closes the connection; 0 at once
    // without a card.
    std::int32_t disconnect(std::uint32_t disposition);
    bool hasCard() const { return card_ != 0; }

    std::int32_t status(std::string& reader, std::uint32_t& state, std::uint32_t& protocol, ByteBuffer& atr);
    std::int32_t transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, ByteBuffer& answer,
                          std::uint32_t maxAnswer, std::uint32_t& receiveProtocol);
    std::int32_t control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input, ByteBuffer& answer,
                         std::uint32_t maxAnswer);
    std::int32_t beginTransaction();
    std::int32_t endTransaction(std::uint32_t disposition);

    // One getStatusChange for the states, whose readers are named on this
    // server readers[i]; updates dwCurrentState, dwEventState and the ATR of
    // every state. 0 when the server saw a change, SCARD_E_TIMEOUT (as a
    // signed code) when it did not, kInternalError for an answer that does
    // not match the states.
    std::int32_t getStatusChange(std::uint32_t timeoutMs, std::span<const std::string> readers,
                                 std::span<SCARD_READERSTATE> states);

private:
    // One request line out, one answer line in, within waitMs.
    std::int32_t exchange(const wire::Writer& request, wire::Reader& answer, std::int32_t waitMs);
    // exchange, then kInternalError unless the answer is for op. A call on a
    // card waits kCardWaitMs and reports a missing answer as SCARD_E_TIMEOUT.
    std::int32_t call(const wire::Writer& request, std::uint8_t op, wire::Reader& answer, bool onCard = false);
    // call, then the answer's result element (0 when absent).
    std::int32_t callForResult(const wire::Writer& request, std::uint8_t op, wire::Reader& answer, bool onCard = false);
    // Runs call, which builds its request with the context held; see
    // establishContext.
    template <typename Call>
    std::int32_t onContext(Call&& call);
    std::int32_t statusChangeOnce(std::uint32_t timeoutMs, std::span<const std::string> readers,
                                  std::span<SCARD_READERSTATE> states);

    TcpClient tcp_;
    std::string server_; // text form; empty: no connection
    std::uint64_t context_ = 0;
    std::uint32_t scope_ = 0; // the context's
    bool renewContexts_ = true;
    std::uint64_t card_ = 0;
};

} // namespace vexa::rpcsc
