#include "platform/std_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace vexa::platform {
namespace {

// Windows cannot wait on a pipe or console handle together with events, so a
// thread reads standard input ahead into a bounded buffer; its manual-reset
// event is set while bytes or the end are there.
class InputPump {
public:
    InputPump() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    InputPump(const InputPump&) = delete;
    InputPump& operator=(const InputPump&) = delete;
    ~InputPump() {
        if (event_ != nullptr) ::CloseHandle(event_);
    }

    // The pump, reading already. The thread shares it: it may sit in
    // ReadFile until the process ends, after every other owner has gone.
    static std::shared_ptr<InputPump> start() {
        auto pump = std::make_shared<InputPump>();
        // The bytes pass untouched: a text-mode stream would break the
        // length prefix of a framed message and turn \n into \r\n.
        ::_setmode(::_fileno(stdin), _O_BINARY);
        try {
            std::thread([pump] { pump->run(); }).detach();
        } catch (const std::system_error&) {
            pump->finish(ERROR_NOT_ENOUGH_MEMORY);
        }
        return pump;
    }

    HANDLE event() const { return event_; }

    // Waits until bytes or the end are there: the count, 0 at the end, -1
    // with errno set when reading failed.
    std::ptrdiff_t take(std::span<char> into) {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [this] { return !bytes_.empty() || ended_; });
        if (bytes_.empty()) {
            if (error_ == 0) return 0;
            errno = error_ == ERROR_INVALID_HANDLE ? EBADF : EIO;
            return -1;
        }
        const std::size_t n = std::min(into.size(), bytes_.size());
        std::copy_n(bytes_.begin(), n, into.begin());
        bytes_.erase(0, n);
        if (bytes_.empty() && !ended_) ::ResetEvent(event_);
        changed_.notify_all();
        return static_cast<std::ptrdiff_t>(n);
    }

private:
    static constexpr std::size_t kCapacity = 64 * 1024;

    void run() {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        // A process started without standard input reads an empty one.
        if (input == nullptr || input == INVALID_HANDLE_VALUE) return finish(0);
        std::array<char, 4096> chunk;
        for (;;) {
            std::size_t room = 0;
            {
                std::unique_lock lock(lock_);
                changed_.wait(lock, [this] { return bytes_.size() < kCapacity; });
                room = std::min(chunk.size(), kCapacity - bytes_.size());
            }
            DWORD got = 0;
            ::SetLastError(0);
            const bool read = ::ReadFile(input, chunk.data(), static_cast<DWORD>(room), &got, nullptr);
            const DWORD error = ::GetLastError();
            // Ctrl-C during a console read returns nothing; the stop signal
            // tells of it, and the input goes on.
            if (got == 0 && error == ERROR_OPERATION_ABORTED) continue;
            if (got == 0) return finish(read || error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : error);
            std::lock_guard lock(lock_);
            bytes_.append(chunk.data(), got);
            ::SetEvent(event_);
        }
    }

    void finish(DWORD error) {
        std::lock_guard lock(lock_);
        ended_ = true;
        error_ = error;
        ::SetEvent(event_);
        changed_.notify_all();
    }

    HANDLE event_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string bytes_;
    bool ended_ = false;
    DWORD error_ = 0;
};

// One per process: standard input is one stream, and a second reader would
// take bytes the first one's callers are waiting for.
InputPump& inputPump() {
    static const std::shared_ptr<InputPump> pump = InputPump::start();
    return *pump;
}

void pointStdHandleAtFd1() {
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(1)));
}

// Standard output to standard error, or to NUL for a process started without
// standard error (a browser may start the host so).
bool pointStdoutAtStderr() {
    if (::_dup2(2, 1) == 0) return true;
    const int nul = ::_open("NUL", _O_WRONLY | _O_BINARY);
    if (nul < 0) return false;
    const bool moved = ::_dup2(nul, 1) == 0;
    ::_close(nul);
    return moved;
}

int duplicateStdout() {
    std::fflush(stdout);
    const int fd = ::_dup(1);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot duplicate standard output");
    // Answers are framed bytes; a program this one starts must not hold them.
    ::_setmode(fd, _O_BINARY);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0);
    if (!pointStdoutAtStderr()) {
        const int error = errno;
        ::_close(fd);
        throw std::system_error(error, std::generic_category(), "cannot point standard output at standard error");
    }
    pointStdHandleAtFd1();
    return fd;
}

} // namespace

WaitHandle standardInput() {
    const HANDLE event = inputPump().event();
    return event == nullptr ? kNoWaitHandle : reinterpret_cast<WaitHandle>(event);
}

std::ptrdiff_t readSome(WaitHandle input, std::span<char> into) {
    if (input == kNoWaitHandle || input != standardInput()) {
        errno = EBADF;
        return -1;
    }
    return inputPump().take(into);
}

// Windows has no journal stream; the log stamps its lines itself.
bool standardErrorIsJournal() {
    return false;
}

DivertedStdout::DivertedStdout() : original_(duplicateStdout()) {}

DivertedStdout::~DivertedStdout() {
    std::fflush(stdout);
    ::_dup2(static_cast<int>(original_), 1);
    pointStdHandleAtFd1();
    ::_close(static_cast<int>(original_));
}

std::size_t DivertedStdout::write(std::span<const char> bytes) noexcept {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto size = static_cast<unsigned>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        const int written = ::_write(static_cast<int>(original_), bytes.data() + done, size);
        if (written <= 0) break;
        done += static_cast<std::size_t>(written);
    }
    return done;
}

} // namespace vexa::platform
