#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/wait_handle.h"
#include "platform/wake_signal.h"
#include "rpcsc/line_channel.h"
#include "rpcsc/peer_certificate.h"
#include "rpcsc/tcp_listener.h"
#include "rpcsc/wire_message.h"
#include "server/allow_list.h"
#include "server/tls_clients.h"

namespace vexa::rpcsc {

class ServerLog;

struct ServerOptions {
    std::string address = "127.0.0.1"; // an IPv4 or IPv6 address or a host name
    std::uint16_t port = wire::kDefaultPort;
    // pcscd serves 200 client contexts by default; local programs keep room.
    std::size_t maxConnections = 128;
    // One address cannot take every place, yet holds several users' pages:
    // a VEXA page opens up to 3 connections at once (its card, a reader
    // list or status query, the event monitor's poll), and on a terminal
    // server every user comes from the same address.
    std::size_t maxPerPeer = 32;
    // A client silent this long between requests is dropped, so half-open
    // peers do not keep a thread forever.
    std::int32_t idleTimeoutMs = 60000;
    // A request line must be complete this long after its first byte,
    // however its bytes are paced.
    std::int32_t lineTimeoutMs = 10000;
    // A TLS handshake takes a few milliseconds: one still unfinished after
    // this long holds a place that a certificate holder may need.
    std::int32_t handshakeTimeoutMs = 2000;
    AllowList allow = AllowList::loopback();
    bool verbose = false;
    // The stream a connection is served over, made from the TCP stream just
    // accepted; plain TCP when empty. Runs on the accepting thread, so it
    // must not wait for the peer: the connection's thread then runs the
    // stream's handshake, under the handshake time-out.
    std::function<std::unique_ptr<ByteStream>(std::unique_ptr<TcpStream>)> streamFor;
    // The client certificates a TLS server admits and their readers; none
    // for a plain server.
    std::shared_ptr<TlsClientsFile> clients;
    // Why a certificate a connection showed would no longer be accepted by
    // the CA trusted now; empty while it would. Asked after each reload, on
    // the accepting thread.
    std::function<std::string(const PeerCertificate&)> untrusted;
    // When this becomes readable (the reload signal), run() calls reload on
    // the accepting thread, which must take the signal, then closes the
    // connections whose certificate lost its place or readers.
    platform::WaitHandle reloadSignal = platform::kNoWaitHandle;
    std::function<void(ServerLog&)> reload;
};

// Writes the server's log lines to standard error (or out), one line at a
// time.
// Without time stamps (for the journal, which adds its own), each line
// starts with its syslog priority ("<3>") for the journal to file it by.
class ServerLog {
public:
    explicit ServerLog(bool verbose, bool stamped = true, std::ostream& out = std::cerr)
        : verbose_(verbose), stamped_(stamped), out_(out) {}
    void info(const std::string& text);
    void detail(const std::string& text); // only with verbose
    void error(const std::string& text);

private:
    void write(int priority, const char* level, const std::string& text);
    bool verbose_;
    bool stamped_;
    std::ostream& out_;
    std::mutex lock_;
};

// The remote PC/SC server: the calling thread accepts connections from
// allowed peers and each connection is served by a thread of its own, at
// most maxConnections at once and maxPerPeer from one address. Over TLS
// maxPerPeer counts per client certificate once the handshake is done, and
// bounds the handshakes in progress per address: when those places are
// full, per address or in all, the oldest unfinished handshake makes room
// for the newcomer, so that peers without a certificate cannot crowd out
// those with one. run() returns when stop becomes readable (the stop signals
// or a wake signal), after every connection thread has been joined.
class RpcscServer {
public:
    RpcscServer(ServerOptions options, ServerLog& log);
    RpcscServer(const RpcscServer&) = delete;
    RpcscServer& operator=(const RpcscServer&) = delete;
    ~RpcscServer();

    // Binds and listens; false (with a log line) when that fails.
    bool listen();
    // The port actually bound (differs from the option when that was 0).
    std::uint16_t boundPort() const { return boundPort_; }
    void run(platform::WaitHandle stop);

private:
    struct Connection {
        LineChannel channel;
        PeerAddress address{};
        std::string peer; // address and port, for the log
        // For a certificate's connection: its fingerprint (hex digits), the
        // certificate as shown, the readers it was granted, its session while
        // it runs, and whether it is being closed; guarded by grantsLock_.
        std::string certificate;
        PeerCertificate shown;
        ReaderGrant grant;
        class PcscSession* session = nullptr;
        bool closing = false;
        // Handshakes in progress are bounded per address, since their
        // certificate is not yet known; a dropped one makes room for a newer
        // one. Set once by whichever thread leaves `handshaking` first.
        enum class Stage { handshaking, dropped, established };
        std::atomic<Stage> stage{Stage::handshaking};
        std::atomic<bool> done{false};
        std::thread thread;
    };

    void accept();
    // Why a new connection from address must be refused; empty when it may
    // be served, once unfinished handshakes in its way have been dropped.
    std::string makeRoom(const PeerAddress& address, const std::string& name);
    // Drops the oldest unfinished handshake (from address, when given),
    // logging why; false when there is none.
    bool dropOldestHandshake(const PeerAddress* address, const std::string& why);
    // Starts the connection's thread; false (logged, and the connection
    // gone) when the system cannot start one.
    bool startThread(std::list<std::unique_ptr<Connection>>::iterator connection);
    void serve(Connection& connection);
    // Runs the stream's handshake and asks whether its certificate is
    // admitted, logging who it is or why not; false when the connection must
    // end. True at once for a plain stream.
    bool admitted(Connection& connection);
    // Waits for the client's next request as LineChannel::awaitBytes does,
    // for the idle time; ends the connection's transactions when it stays
    // quiet past pcsc::kIdleTransactionLimit while holding one.
    std::int32_t awaitRequest(Connection& connection, class PcscSession& session);
    // Answers one line; false when the connection must end.
    bool answer(Connection& connection, std::string_view line, class PcscSession& session);
    // Closes the connections whose certificate the clients file no longer
    // admits with the readers it was granted, or the CA no longer accepts.
    void closeRevoked();
    // Why the certificate of an open connection lost its place; empty when
    // it keeps it.
    std::string revocation(const Connection& connection) const;
    // Joins the connections that ended; how many.
    std::size_t reapFinished();
    // Returns freed memory to the system once connections have ended: at
    // once when none is left, else at most once a second.
    void returnFreedMemory(std::size_t ended);
    void stopAll();

    ServerOptions options_;
    ServerLog& log_;
    TcpListener listener_;
    std::uint16_t boundPort_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
    // Connections' certificates and grants, and how many connections each
    // certificate has open: the per-peer limit of a TLS server, since the
    // users of one terminal server share its address.
    std::mutex grantsLock_;
    std::map<std::string, std::size_t, std::less<>> perCertificate_;
    // Signalled by a connection's thread as it ends, so that its place and
    // socket are freed at once rather than at the next wake-up.
    platform::WakeSignal ended_{std::nothrow};
    std::size_t endedSinceReturn_ = 0;
    std::chrono::steady_clock::time_point lastReturn_{};
};

} // namespace vexa::rpcsc
