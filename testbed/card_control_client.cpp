#include "testbed/card_control_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vexa::testbed {

bool CardControlClient::ensureConnected() {
    if (fd_.valid()) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd_.valid() && connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    fd_.reset();
    return false;
}

std::string CardControlClient::request(std::string_view line) {
    if (!ensureConnected()) return "error no emulator at " + path_;
    std::string out(line);
    out += '\n';
    for (std::size_t sent = 0; sent < out.size();) {
        const ssize_t n = send(fd_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fd_.reset();
            return "error emulator closed the control connection";
        }
        sent += static_cast<std::size_t>(n);
    }
    for (;;) {
        const auto end = input_.find('\n');
        if (end != std::string::npos) {
            std::string reply = input_.substr(0, end);
            input_.erase(0, end + 1);
            return reply;
        }
        char buffer[4096];
        const ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fd_.reset();
            input_.clear();
            return "error emulator closed the control connection";
        }
        input_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string CardControlClient::require(std::string_view line) {
    std::string reply = request(line);
    if (!reply.starts_with("ok")) throw std::runtime_error(std::string(line) + ": " + reply);
    return reply;
}

} // namespace vexa::testbed
