#include "testbed/rpcscd_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/ip_address.h"
#include "platform/socket.h"
#include "rpcsc/client_connection.h"
#include "rpcsc/line_channel.h"
#include "rpcsc/tcp_stream.h"
#include "rpcsc/wire_message.h"
#include "testbed/rpcscd_process.h"
#include "testbed/tls_certificates.h"

namespace vexa::testbed {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kReaders[] = {"Virtual PCD 00 00", "Virtual PCD 00 01"};
constexpr std::uint8_t kEcho[] = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
constexpr std::int32_t kAnswerWaitMs = 10000;

// Waits for a condition, checking every 10 ms; false when it did not hold
// within the limit.
template <typename Condition>
bool waitFor(Condition holds, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!holds()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A client speaking the line protocol from a source address of its own,
// over TLS when the plan says so.
class WireClient {
public:
    bool open(const std::string& source, std::uint16_t port, const TlsContext* tls) {
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        platform::Socket fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int raw = static_cast<int>(fd.handle());
        const bool connected = ::bind(raw, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                               ::connect(raw, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        fd_ = raw;
        auto tcp = std::make_unique<TcpStream>(std::move(fd));
        // The handshake runs in the first request's write and read.
        if (tls)
            socket_ = LineChannel(std::make_unique<TlsStream>(*tls, std::move(tcp), "127.0.0.1"));
        else
            socket_ = LineChannel(std::move(tcp));
        return connected;
    }
    // The answer's result code; nullopt when no answer came.
    std::optional<std::uint32_t> call(const wire::Writer& request, wire::Reader& answer) {
        SecureString line;
        if (socket_.sendLine(request.line(), false, kAnswerWaitMs) != 0 ||
            socket_.receiveLine(line, kAnswerWaitMs, wire::kMaxLine) != 0 ||
            answer.parseLine(line) != wire::ParseError::none)
            return std::nullopt;
        return answer.intOr(wire::TAG_RESULT, 0xFFFFFFFF);
    }
    // Establishes a context; false (counted) when that fails.
    bool establish(std::uint64_t& context, std::atomic<long>& refused, std::atomic<long>& failed) {
        wire::Reader answer;
        const auto result =
            call(wire::Writer(wire::OP_ESTABLISH_CONTEXT).putInt(wire::TAG_SCOPE, SCARD_SCOPE_SYSTEM), answer);
        if (!result) ++refused;
        if (result && *result != 0) ++failed;
        context = answer.handleOr(wire::TAG_CONTEXT, 0);
        return result == 0u;
    }
    // Leaves without releasing anything, and waits until the server has
    // let the connection go, so that one client holds one connection.
    void vanish() {
        ::shutdown(fd_, SHUT_WR);
        SecureString line;
        while (socket_.receiveLine(line, kAnswerWaitMs, wire::kMaxLine) == 0) continue; // to the server's end
        socket_.close();
    }

private:
    LineChannel socket_;
    int fd_ = -1; // socket_'s descriptor, for the half close
};

std::string sourceAddress(int client) {
    return "127.0.0." + std::to_string(10 + client);
}

// Counts a request's outcome; true when it succeeded.
bool counted(const std::optional<std::uint32_t>& result, std::atomic<long>& requests, std::atomic<long>& failed) {
    ++requests;
    if (result == 0u) return true;
    ++failed;
    return false;
}

void pollingClient(int index, std::uint16_t port, const TlsContext* tls, std::chrono::milliseconds interval,
                   const std::atomic<bool>& stop, std::atomic<int>& ready, std::atomic<long>& requests,
                   std::atomic<long>& failed, std::atomic<long>& refused) {
    WireClient c;
    std::uint64_t context = 0;
    const bool up = c.open(sourceAddress(index), port, tls) && c.establish(context, refused, failed);
    ++ready;
    if (!up) return;
    ++requests;
    wire::Reader answer;
    counted(
        c.call(wire::Writer(wire::OP_LIST_READERS).putHandle(wire::TAG_CONTEXT, context).putText(wire::TAG_GROUPS, ""),
               answer),
        requests, failed);
    while (!stop) {
        // The readers' state now: UNAWARE answers at once.
        wire::Writer status(wire::OP_GET_STATUS_CHANGE);
        status.putInt(wire::TAG_TIMEOUT, 0);
        for (const char* reader : kReaders) {
            wire::Writer state;
            state.putText(wire::TAG_STATE_READER, reader).putInt(wire::TAG_CURRENT_STATE, SCARD_STATE_UNAWARE);
            status.putNested(wire::TAG_READER_STATE, state);
        }
        status.putInt(wire::TAG_STATE_COUNT, 2).putHandle(wire::TAG_CONTEXT, context);
        if (!counted(c.call(status, answer), requests, failed)) return;
        // Paces the client at the plan's polling rate, as a monitor would.
        std::this_thread::sleep_for(interval);
    }
    counted(c.call(wire::Writer(wire::OP_RELEASE_CONTEXT).putHandle(wire::TAG_CONTEXT, context), answer), requests,
            failed);
}

// Microseconds of each of `count` echo APDUs on the reader through rpcsc's
// client, over one connection.
std::vector<double> cardClient(std::uint16_t port, const std::shared_ptr<const TlsContext>& tls, const char* reader,
                               int count, std::atomic<long>& failed) {
    rpcsc::ClientConnection client =
        tls ? rpcsc::ClientConnection(TlsCertificates::connector(tls)) : rpcsc::ClientConnection();
    std::uint32_t protocol = 0;
    std::vector<double> micros;
    if (client.open("127.0.0.1", port, "127.0.0.1:" + std::to_string(port)) != 0 ||
        client.establishContext(SCARD_SCOPE_SYSTEM) != 0 ||
        client.connect(reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol) != 0) {
        ++failed;
        return micros;
    }
    ByteBuffer answer;
    std::uint32_t received = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (client.transmit(protocol, kEcho, answer, 258, received) != 0 || answer.length() != 6) ++failed;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    client.disconnect(SCARD_LEAVE_CARD);
    return micros;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Both card clients at once; the latencies of both.
std::vector<double> cardClients(std::uint16_t port, const std::shared_ptr<const TlsContext>& tls, int count,
                                std::atomic<long>& failed) {
    std::vector<double> a, b;
    std::thread first([&] { a = cardClient(port, tls, kReaders[0], count, failed); });
    b = cardClient(port, tls, kReaders[1], count, failed);
    first.join();
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `rounds` connections from each client, each establishing a context and
// closing without releasing it.
void churn(std::uint16_t port, const TlsContext* tls, int clients, int rounds, std::atomic<long>& requests,
           std::atomic<long>& failed, std::atomic<long>& refused) {
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < rounds; ++r) {
                WireClient c;
                std::uint64_t context = 0;
                ++requests;
                if (!c.open(sourceAddress(i), port, tls))
                    ++refused;
                else if (c.establish(context, refused, failed))
                    c.vanish();
            }
        });
    for (auto& t : threads) t.join();
}

// Connections from 127.0.0.1 that never start a handshake: `held` at once,
// then `perSecond` more each second until stop, the oldest closed beyond
// `held`.
void crowd(std::uint16_t port, int held, int perSecond, const std::atomic<bool>& stop, std::atomic<int>& ready,
           std::atomic<long>& opened) {
    std::deque<platform::Socket> sockets;
    const platform::IpEndpoint to{*platform::parseIpv4("127.0.0.1"), port};
    const auto open = [&] {
        platform::Socket socket;
        if (platform::Socket::connect(to, 2000, socket) == 0) sockets.push_back(std::move(socket));
        ++opened;
        while (static_cast<int>(sockets.size()) > held) sockets.pop_front();
    };
    for (int i = 0; i < held; ++i) open();
    ready = 1;
    // Paced by the clock, not by waiting on the server: this is the load.
    const auto every = std::chrono::microseconds(1'000'000 / std::max(perSecond, 1));
    for (auto next = Clock::now(); !stop; next += every) {
        std::this_thread::sleep_until(next);
        open();
    }
}

// Connects over TLS and asks for a context; the time that took, or nullopt
// when no answer came.
std::optional<double> listedClientTry(std::uint16_t port, const TlsContext& tls) {
    const auto start = Clock::now();
    std::unique_ptr<ByteStream> stream;
    std::string failure;
    if (TlsStream::connect(tls, "127.0.0.1", port, kAnswerWaitMs, stream, failure) != 0) return std::nullopt;
    LineChannel channel(std::move(stream));
    SecureString line;
    wire::Reader answer;
    const wire::Writer request = wire::Writer(wire::OP_ESTABLISH_CONTEXT).putInt(wire::TAG_SCOPE, SCARD_SCOPE_SYSTEM);
    if (channel.sendLine(request.line(), false, kAnswerWaitMs) != 0 ||
        channel.receiveLine(line, kAnswerWaitMs, wire::kMaxLine) != 0 ||
        answer.parseLine(line) != wire::ParseError::none || answer.intOr(wire::TAG_RESULT, 0xFFFFFFFF) != 0)
        return std::nullopt;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

CrowdFigures runCrowding(const CrowdPlan& plan, const LoadOverTls& overTls) {
    if (!overTls.client) throw std::runtime_error("the crowding run needs a TLS client");
    RpcscdProcess server(plan.serverBinary, overTls.serverOptions);
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<long> opened{0};
    std::thread crowding(crowd, server.port(), plan.held, plan.perSecond, std::cref(stop), std::ref(ready),
                         std::ref(opened));
    if (!waitFor([&] { return ready == 1; }, std::chrono::seconds(30))) {
        stop = true;
        crowding.join();
        throw std::runtime_error("the crowd could not open its connections");
    }
    CrowdFigures f;
    std::vector<double> millis;
    auto next = Clock::now();
    for (int i = 0; i < plan.tries; ++i, next += plan.between) {
        std::this_thread::sleep_until(next); // spread over the crowd's churn
        const auto took = listedClientTry(server.port(), *overTls.client);
        if (!took) continue;
        millis.push_back(*took);
        if (*took <= static_cast<double>(plan.goal.count())) ++f.withinGoal;
    }
    stop = true;
    crowding.join();
    f.succeeded = static_cast<int>(millis.size());
    f.p50Ms = percentile(millis, 0.5);
    f.maxMs = millis.empty() ? 0 : *std::max_element(millis.begin(), millis.end());
    f.crowdOpened = opened;
    return f;
}

LoadFigures runLoad(const LoadPlan& plan) {
    return runLoad(plan, {});
}

LoadFigures runLoad(const LoadPlan& plan, const LoadOverTls& overTls) {
    if (plan.clients < 1 || plan.clients > 240 || plan.churn < plan.clients)
        throw std::runtime_error("between 1 and 240 clients, and at least as many churned connections");
    RpcscdProcess server(plan.serverBinary, overTls.serverOptions);
    const TlsContext* tls = overTls.client.get();
    LoadFigures f;
    std::atomic<long> requests{0}, failed{0}, refused{0}, apduFailed{0};
    f.fdsBefore = server.entries("fd");
    f.threadsBefore = server.entries("task");

    const std::vector<double> alone = cardClients(server.port(), overTls.client, plan.apdus, apduFailed);
    f.aloneP50Us = percentile(alone, 0.5);
    f.aloneP99Us = percentile(alone, 0.99);

    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < plan.clients; ++i)
        pollers.emplace_back(pollingClient, i, server.port(), tls, plan.pollInterval, std::cref(stop), std::ref(ready),
                             std::ref(requests), std::ref(failed), std::ref(refused));
    waitFor([&] { return ready == plan.clients; }, std::chrono::seconds(30));
    const std::vector<double> loaded = cardClients(server.port(), overTls.client, plan.apdus, apduFailed);
    stop = true;
    for (auto& t : pollers) t.join();
    f.loadedP50Us = percentile(loaded, 0.5);
    f.loadedP99Us = percentile(loaded, 0.99);

    // Threads end just after their client; the server joins them, closes
    // their sockets and hands freed memory back when it next wakes.
    // Resident memory counts once it has held still for 200 ms (it falls
    // just after the sockets close), or after 3 s.
    const auto settled = [&] {
        waitFor([&] { return server.entries("task") <= f.threadsBefore && server.entries("fd") <= f.fdsBefore; },
                std::chrono::seconds(20));
        long last = server.residentKiB();
        int still = 0;
        waitFor(
            [&] {
                const long now = server.residentKiB();
                still = now == last ? still + 1 : 0;
                last = now;
                return still >= 20;
            },
            std::chrono::seconds(3));
    };
    churn(server.port(), tls, plan.clients, 1, requests, failed, refused);
    settled();
    f.peakKiBAfterFirst = server.peakKiB();
    f.residentKiBAfterFirst = server.residentKiB();
    churn(server.port(), tls, plan.clients, plan.churn / plan.clients - 1, requests, failed, refused);
    settled();
    f.peakKiBAfterAll = server.peakKiB();
    f.residentKiBAfterAll = server.residentKiB();
    f.fdsAfter = server.entries("fd");
    f.threadsAfter = server.entries("task");
    f.requests = requests;
    f.failed = failed;
    f.refused = refused;
    f.apduFailed = apduFailed;
    return f;
}

} // namespace vexa::testbed
