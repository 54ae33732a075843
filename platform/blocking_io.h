#pragma once

#include <string>
#include <string_view>

namespace vexa::platform {

// Blocking transfers for tools that wait as long as the peer takes (no
// deadline), on descriptors of POSIX programs (pipes, sockets). All retry
// after signals. Only the Linux test-bed programs use them: no Windows build.

// Writes all of data with write(2); false when the descriptor takes no more.
bool writeAll(int fd, std::string_view data);
// The same with send(2) on a socket: a peer that closed is an error, not a
// SIGPIPE.
bool sendAll(int fd, std::string_view data);
// Takes the next LF-terminated line (without its LF) out of pending, reading
// more into pending as needed; false when the descriptor ends or fails first.
bool readLine(int fd, std::string& pending, std::string& line);

} // namespace vexa::platform
