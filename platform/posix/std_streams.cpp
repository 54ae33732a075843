#include "platform/std_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace vexa::platform {
namespace {

int duplicateStdout() {
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot duplicate standard output");
    }
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "cannot point standard output at standard error");
    }
    return fd;
}

} // namespace

WaitHandle standardInput() {
    return STDIN_FILENO;
}

std::ptrdiff_t readSome(WaitHandle input, std::span<char> into) {
    return ::read(static_cast<int>(input), into.data(), into.size());
}

// systemd names the journal stream it connects to standard error.
bool standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &status) != 0) return false;
    return std::string(stream) == std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

DivertedStdout::DivertedStdout() : original_(duplicateStdout()) {}

DivertedStdout::~DivertedStdout() {
    ::dup2(static_cast<int>(original_), STDOUT_FILENO);
    ::close(static_cast<int>(original_));
}

std::size_t DivertedStdout::write(std::span<const char> bytes) noexcept {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(static_cast<int>(original_), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

} // namespace vexa::platform
