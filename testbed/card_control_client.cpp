#include "testbed/card_control_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/blocking_io.h"

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
    if (!platform::sendAll(fd_.get(), out)) {
        fd_.reset();
        return "error emulator closed the control connection";
    }
    std::string reply;
    if (!platform::readLine(fd_.get(), input_, reply)) {
        fd_.reset();
        input_.clear();
        return "error emulator closed the control connection";
    }
    return reply;
}

std::string CardControlClient::require(std::string_view line) {
    std::string reply = request(line);
    if (!reply.starts_with("ok")) throw std::runtime_error(std::string(line) + ": " + reply);
    return reply;
}

} // namespace vexa::testbed
