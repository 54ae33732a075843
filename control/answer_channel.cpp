#include "control/answer_channel.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <system_error>

namespace vexa {
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

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize FdStreamBuf::xsputn(const char* bytes, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n) {
        const ssize_t written = ::write(fd_, bytes + done, static_cast<std::size_t>(n - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += written;
    }
    return done;
}

AnswerChannel::AnswerChannel() : fd_(duplicateStdout()), buffer_(fd_), stream_(&buffer_) {}

AnswerChannel::~AnswerChannel() {
    ::dup2(fd_, STDOUT_FILENO);
    ::close(fd_);
}

} // namespace vexa
