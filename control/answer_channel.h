#pragma once

#include <ostream>
#include <streambuf>

namespace vexa {

// Unbuffered output to a file descriptor it does not own.
class FdStreamBuf : public std::streambuf {
public:
    explicit FdStreamBuf(int fd) : fd_(fd) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* bytes, std::streamsize n) override;

private:
    int fd_;
};

// Keeps standard output for answers alone. Answers go to a duplicate of the
// original standard output while descriptor 1 points at standard error, so
// nothing else the process prints (a log set to go to stdout) can break the
// answer stream. The destructor puts standard output back.
class AnswerChannel {
public:
    // Throws std::system_error when standard output cannot be duplicated.
    AnswerChannel();
    AnswerChannel(const AnswerChannel&) = delete;
    AnswerChannel& operator=(const AnswerChannel&) = delete;
    ~AnswerChannel();

    std::ostream& stream() { return stream_; }

private:
    int fd_;
    FdStreamBuf buffer_;
    std::ostream stream_;
};

} // namespace vexa
