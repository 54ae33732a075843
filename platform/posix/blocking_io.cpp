#include "platform/blocking_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vexa::platform {
namespace {

template <typename Put>
bool putAll(std::string_view data, Put put) {
    while (!data.empty()) {
        const ssize_t n = put(data);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool writeAll(int fd, std::string_view data) {
    return putAll(data, [fd](std::string_view rest) { return ::write(fd, rest.data(), rest.size()); });
}

bool sendAll(int fd, std::string_view data) {
    return putAll(data, [fd](std::string_view rest) { return ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL); });
}

bool readLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
        const auto end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
}

} // namespace vexa::platform
