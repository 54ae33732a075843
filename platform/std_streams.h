#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <streambuf>

#include "platform/wait_handle.h"

namespace vexa::platform {

// Standard input, to wait on and to read from.
WaitHandle standardInput();
// Reads what has come on input, waiting when nothing has: the count, 0 at
// the end of input, -1 with errno set (EINTR when a signal interrupted it).
std::ptrdiff_t readSome(WaitHandle input, std::span<char> into);

// Standard input as a stream buffer that reads through readSome(), so that a
// stream and a wait on standardInput() see the same bytes (on Windows a
// thread takes them first to make the wait possible). in_avail() is 0 while
// nothing is buffered, so that a reader knows to wait before it reads.
class StandardInputBuffer : public std::streambuf {
protected:
    int_type underflow() override;

private:
    std::array<char, 4096> buffer_{};
};

// True when standard error is the system journal's stream, which stamps each
// line itself.
bool standardErrorIsJournal();

// Keeps standard output for answers alone: while it lives, standard output
// points at standard error, and write() goes to where standard output went
// before, so that nothing else the process prints (a log set to go to
// stdout) can break the answers. The destructor puts standard output back.
class DivertedStdout {
public:
    // Throws std::system_error when standard output cannot be duplicated
    // or moved.
    DivertedStdout();
    DivertedStdout(const DivertedStdout&) = delete;
    DivertedStdout& operator=(const DivertedStdout&) = delete;
    ~DivertedStdout();

    // Writes to the original standard output; the count written, short when
    // writing failed.
    std::size_t write(std::span<const char> bytes) noexcept;

private:
    WaitHandle original_;
};

} // namespace vexa::platform
