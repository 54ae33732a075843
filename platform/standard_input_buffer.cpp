#include <cerrno>

#include "platform/std_streams.h"

namespace vexa::platform {

StandardInputBuffer::int_type StandardInputBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    std::ptrdiff_t n;
    do {
        n = readSome(standardInput(), buffer_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(*gptr());
}

} // namespace vexa::platform
