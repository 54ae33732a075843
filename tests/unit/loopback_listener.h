#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/input_wait.h"
#include "platform/socket.h"
#include "platform/wake_signal.h"

namespace vexa::testing {

// A real TCP listener on 127.0.0.1 with an ephemeral port. With a handler,
// a thread accepts connections one after another and hands each accepted
// socket to it (closed afterwards); join() waits for that thread.
class LoopbackListener {
public:
    LoopbackListener() {
        std::string failure;
        if (!listener_.listen("127.0.0.1", 0, failure)) throw std::runtime_error("cannot listen: " + failure);
        const auto local = listener_.localEndpoint();
        if (!local) throw std::runtime_error("no local address");
        port_ = local->port;
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    ~LoopbackListener() {
        stop_.signal();
        join();
    }

    // Serves `connections` connections with the handler on a thread.
    void serve(int connections, std::function<void(platform::Socket&)> handler) {
        thread_ = std::thread([this, connections, handler = std::move(handler)] {
            for (int i = 0; i < connections; ++i) {
                platform::Socket c = next();
                if (!c.valid()) return;
                handler(c);
            }
        });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // True when a connection waits to be accepted (for a listener that
    // serves nobody: did anyone try to connect?).
    bool connectionWaiting() const {
        const std::array handles{listener_.handle()};
        std::array<bool, 1> ready{};
        return platform::waitReadable(handles, ready, 0) > 0;
    }
    std::uint16_t port() const { return port_; }
    std::string text() const { return "127.0.0.1:" + std::to_string(port_); }

    // Helpers for handlers. A handler waits this long at most for a client,
    // so that a failing test ends instead of hanging.
    static constexpr std::chrono::seconds kPatience{30};
    // False when the peer has not taken every byte.
    static bool sendAll(platform::Socket& socket, const std::string& bytes) {
        return socket.writeAll(bytes, platform::Socket::Clock::now() + kPatience) == 0;
    }
    // One line without its LF; "" when the peer closed (or stayed silent)
    // first. Byte by byte, so that nothing after the line is taken.
    static std::string readLine(platform::Socket& socket) {
        const auto deadline = platform::Socket::Clock::now() + kPatience;
        std::string line;
        char c = 0;
        std::size_t got = 0;
        while (socket.readSome({&c, 1}, got, deadline) == 0 && got == 1 && c != '\n') line += c;
        return line;
    }

private:
    // The next connection; not valid() once the listener is being destroyed.
    platform::Socket next() {
        const std::array handles{listener_.handle(), stop_.handle()};
        std::array<bool, 2> ready{};
        int n = 0;
        do n = platform::waitReadable(handles, ready, -1);
        while (n < 0 && errno == EINTR);
        if (n <= 0 || ready[1]) return {};
        std::optional<platform::IpEndpoint> peer;
        return listener_.accept(peer);
    }

    platform::ListeningSocket listener_;
    platform::WakeSignal stop_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace vexa::testing
