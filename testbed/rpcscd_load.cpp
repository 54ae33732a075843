#include "testbed/rpcscd_load.h"

#include "pcsc/pcsc_api.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "cardaccess/remote_pcsc_client.h"
#include "rpcsc/line_channel.h"
#include "rpcsc/tcp_stream.h"
#include "rpcsc/wire_message.h"

extern char** environ;

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

// The server under load, a process of its own so that its memory,
// descriptors and threads are its alone; logging to a file, since it writes
// a line per connection.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& binary) {
        log_ = std::filesystem::temp_directory_path() / ("vexa-load-" + std::to_string(::getpid()) + ".log");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> args = {binary, "--listen", "127.0.0.1", "--port", "0"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error("cannot start " + binary);
        const std::string marker = "Listening on 127.0.0.1:";
        std::string text;
        waitFor(
            [&] {
                std::ifstream in(log_);
                text.assign(std::istreambuf_iterator<char>(in), {});
                return text.find(marker) != std::string::npos;
            },
            std::chrono::seconds(10));
        const std::size_t at = text.find(marker);
        if (at == std::string::npos) throw std::runtime_error("vexa-rpcscd does not listen: " + text);
        port_ = static_cast<std::uint16_t>(std::stoi(text.substr(at + marker.size())));
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (!std::getenv("VEXA_LOAD_KEEP_LOG")) std::filesystem::remove(log_);
    }

    std::uint16_t port() const { return port_; }
    int entries(const char* dir) const {
        const std::filesystem::path p = "/proc/" + std::to_string(pid_) + "/" + dir;
        return static_cast<int>(std::distance(std::filesystem::directory_iterator(p), {}));
    }
    long peakKiB() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        long value = 0;
        while (in >> key) {
            if (key == "VmHWM:" && in >> value) return value;
            in.ignore(1 << 16, '\n');
        }
        return 0;
    }

private:
    std::filesystem::path log_;
    pid_t pid_ = 0;
    std::uint16_t port_ = 0;
};

// A client speaking the line protocol from a source address of its own.
class WireClient {
public:
    bool open(const std::string& source, std::uint16_t port) {
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
        socket_ = LineChannel(std::make_unique<TcpStream>(std::move(fd)));
        return connected;
    }
    // The answer's result code; nullopt when no answer came.
    std::optional<std::uint32_t> call(const wire::Writer& request, wire::Reader& answer) {
        std::string line;
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
        std::string line;
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

void pollingClient(int index, std::uint16_t port, std::chrono::milliseconds interval, const std::atomic<bool>& stop,
                   std::atomic<int>& ready, std::atomic<long>& requests, std::atomic<long>& failed,
                   std::atomic<long>& refused) {
    WireClient c;
    std::uint64_t context = 0;
    const bool up = c.open(sourceAddress(index), port) && c.establish(context, refused, failed);
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

// Microseconds of each of `count` echo APDUs on the reader through the
// remote client.
std::vector<double> cardClient(std::uint16_t port, const char* reader, int count, std::atomic<long>& failed) {
    const std::string server = "127.0.0.1:" + std::to_string(port);
    RemotePcscClient client;
    client.setServer(server);
    std::uint32_t protocol = 0;
    std::string unreachable;
    std::vector<double> micros;
    if (client.connect(0, server + ":" + reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol,
                       unreachable) != 0) {
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
std::vector<double> cardClients(std::uint16_t port, int count, std::atomic<long>& failed) {
    std::vector<double> a, b;
    std::thread first([&] { a = cardClient(port, kReaders[0], count, failed); });
    b = cardClient(port, kReaders[1], count, failed);
    first.join();
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `rounds` connections from each client, each establishing a context and
// closing without releasing it.
void churn(std::uint16_t port, int clients, int rounds, std::atomic<long>& requests, std::atomic<long>& failed,
           std::atomic<long>& refused) {
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < rounds; ++r) {
                WireClient c;
                std::uint64_t context = 0;
                ++requests;
                if (!c.open(sourceAddress(i), port))
                    ++refused;
                else if (c.establish(context, refused, failed))
                    c.vanish();
            }
        });
    for (auto& t : threads) t.join();
}

} // namespace

LoadFigures runLoad(const LoadPlan& plan) {
    if (plan.clients < 1 || plan.clients > 240 || plan.churn < plan.clients)
        throw std::runtime_error("between 1 and 240 clients, and at least as many churned connections");
    ServerProcess server(plan.serverBinary);
    LoadFigures f;
    std::atomic<long> requests{0}, failed{0}, refused{0}, apduFailed{0};
    f.fdsBefore = server.entries("fd");
    f.threadsBefore = server.entries("task");

    const std::vector<double> alone = cardClients(server.port(), plan.apdus, apduFailed);
    f.aloneP50Us = percentile(alone, 0.5);
    f.aloneP99Us = percentile(alone, 0.99);

    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < plan.clients; ++i)
        pollers.emplace_back(pollingClient, i, server.port(), plan.pollInterval, std::cref(stop), std::ref(ready),
                             std::ref(requests), std::ref(failed), std::ref(refused));
    waitFor([&] { return ready == plan.clients; }, std::chrono::seconds(30));
    const std::vector<double> loaded = cardClients(server.port(), plan.apdus, apduFailed);
    stop = true;
    for (auto& t : pollers) t.join();
    f.loadedP50Us = percentile(loaded, 0.5);
    f.loadedP99Us = percentile(loaded, 0.99);

    // Threads end just after their client; the server joins them when it
    // next wakes.
    const auto settled = [&] {
        waitFor([&] { return server.entries("task") <= f.threadsBefore; }, std::chrono::seconds(20));
    };
    churn(server.port(), plan.clients, 1, requests, failed, refused);
    settled();
    f.peakKiBAfterFirst = server.peakKiB();
    churn(server.port(), plan.clients, plan.churn / plan.clients - 1, requests, failed, refused);
    settled();
    f.peakKiBAfterAll = server.peakKiB();
    waitFor([&] { return server.entries("fd") <= f.fdsBefore; }, std::chrono::seconds(5));
    f.fdsAfter = server.entries("fd");
    f.threadsAfter = server.entries("task");
    f.requests = requests;
    f.failed = failed;
    f.refused = refused;
    f.apduFailed = apduFailed;
    return f;
}

} // namespace vexa::testbed
