#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace vexa::testing {

// A real TCP listener on 127.0.0.1 with an ephemeral port. With a handler,
// a thread accepts connections one after another and hands each accepted
// descriptor to it (closed afterwards); join() waits for that thread.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog = 8) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, backlog);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    ~LoopbackListener() {
        ::shutdown(fd_, SHUT_RDWR);
        join();
        ::close(fd_);
    }

    // Serves `connections` connections with the handler on a thread.
    void serve(int connections, std::function<void(int)> handler) {
        thread_ = std::thread([this, connections, handler = std::move(handler)] {
            for (int i = 0; i < connections; ++i) {
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                handler(c);
                ::close(c);
            }
        });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // True when a connection waits to be accepted (for a listener that
    // serves nobody: did anyone try to connect?).
    bool connectionWaiting() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    std::uint16_t port() const { return port_; }
    std::string text() const { return "127.0.0.1:" + std::to_string(port_); }

    // Helpers for handlers.
    static void sendAll(int fd, const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<std::size_t>(n);
        }
    }
    // One line without its LF; "" when the peer closed first.
    static std::string readLine(int fd) {
        std::string line;
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
        return line;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace vexa::testing
