#pragma once

#include <ostream>
#include <streambuf>

#include "platform/std_streams.h"

namespace vexa {

// Unbuffered output to the original standard output.
class AnswerStreamBuf : public std::streambuf {
public:
    explicit AnswerStreamBuf(platform::DivertedStdout& output) : output_(output) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* bytes, std::streamsize n) override;

private:
    platform::DivertedStdout& output_;
};

// Keeps standard output for answers alone (platform::DivertedStdout), as a
// stream.
class AnswerChannel {
public:
    // Throws std::system_error when standard output cannot be duplicated.
    AnswerChannel() : buffer_(output_), stream_(&buffer_) {}
    AnswerChannel(const AnswerChannel&) = delete;
    AnswerChannel& operator=(const AnswerChannel&) = delete;

    std::ostream& stream() { return stream_; }

private:
    platform::DivertedStdout output_;
    AnswerStreamBuf buffer_;
    std::ostream stream_;
};

} // namespace vexa
