#include "platform/input_wait.h"

#include <winsock2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/windows/winsock.h"

namespace vexa::platform {
namespace {

using Clock = std::chrono::steady_clock;

SOCKET socketOf(WaitHandle handle) {
    return static_cast<SOCKET>(handle);
}

// Sockets and events are both plain numbers here; only a socket has a type.
bool isSocket(WaitHandle handle) {
    int type = 0;
    int size = sizeof type;
    return ::getsockopt(socketOf(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

// Events of their own for the sockets of one wait, as WaitForMultipleObjects
// cannot wait on a socket. Afterwards the sockets are plain blocking sockets
// again (WSAEventSelect made them non-blocking), as the listening socket the
// server waits on was before.
class SocketEvents {
public:
    SocketEvents() = default;
    SocketEvents(const SocketEvents&) = delete;
    SocketEvents& operator=(const SocketEvents&) = delete;
    ~SocketEvents() {
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            if (events_[i] == WSA_INVALID_EVENT) continue;
            ::WSAEventSelect(sockets_[i], nullptr, 0);
            u_long blocking = 0;
            ::ioctlsocket(sockets_[i], FIONBIO, &blocking);
            ::WSACloseEvent(events_[i]);
        }
    }

    void add(SOCKET socket) {
        sockets_.push_back(socket);
        events_.push_back(::WSACreateEvent());
    }

    // Readable, a waiting connection or a hang-up sets the socket's event
    // from now on; 0 or the Windows Sockets error.
    int arm() {
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            if (events_[i] == WSA_INVALID_EVENT) return ::WSAGetLastError();
            ::WSAResetEvent(events_[i]);
            if (::WSAEventSelect(sockets_[i], events_[i], FD_READ | FD_ACCEPT | FD_CLOSE) != 0)
                return ::WSAGetLastError();
        }
        return 0;
    }
    const std::vector<HANDLE>& events() const { return events_; }

private:
    std::vector<SOCKET> sockets_;
    std::vector<HANDLE> events_;
};

class Wait {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    Wait(std::span<const WaitHandle> handles, std::span<bool> ready) : handles_(handles), ready_(ready) {
        std::fill(ready_.begin(), ready_.end(), false);
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (handles[i] == kNoWaitHandle) continue;
            if (isSocket(handles[i])) {
                sockets_.add(socketOf(handles[i]));
                socketPlaces_.push_back(i);
            } else {
                objects_.push_back(reinterpret_cast<HANDLE>(handles[i]));
                eventPlaces_.push_back(i);
            }
        }
        objects_.insert(objects_.end(), sockets_.events().begin(), sockets_.events().end());
    }

    int run(int timeoutMs) {
        if (objects_.size() > MAXIMUM_WAIT_OBJECTS) return failed(EINVAL);
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            // Armed before the look, so that nothing that comes after the
            // look can be missed by the wait.
            if (const int error = sockets_.arm(); error != 0) return failed(errnoFromWinsock(error));
            if (const int count = readyNow(kNone); count != 0) return count;
            const DWORD left = timeoutMs < 0 ? INFINITE : millisecondsUntil(deadline);
            if (objects_.empty()) {
                ::Sleep(left);
                return 0;
            }
            const DWORD woken =
                ::WaitForMultipleObjects(static_cast<DWORD>(objects_.size()), objects_.data(), FALSE, left);
            if (woken == WAIT_TIMEOUT) return 0;
            if (woken == WAIT_FAILED) return failed(::GetLastError() == ERROR_INVALID_HANDLE ? EBADF : EINVAL);
            // An event that woke the wait counts even if it resets itself;
            // a socket's event only when the socket is still ready.
            if (const DWORD index = woken - WAIT_OBJECT_0; index < eventPlaces_.size()) return readyNow(index);
        }
    }

private:
    static DWORD millisecondsUntil(Clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
    }

    static int failed(int error) {
        errno = error;
        return -1;
    }

    void mark(std::size_t place) {
        if (place < ready_.size()) ready_[place] = true;
    }

    // The handles ready now, as poll counts them, with the event at woken
    // (kNone: none) ready in any case; -1 when the look failed.
    int readyNow(std::size_t woken) {
        int count = 0;
        for (std::size_t i = 0; i < eventPlaces_.size(); ++i) {
            if (i != woken && ::WaitForSingleObject(objects_[i], 0) != WAIT_OBJECT_0) continue;
            mark(eventPlaces_[i]);
            ++count;
        }
        std::vector<WSAPOLLFD> polled;
        for (const std::size_t place : socketPlaces_) polled.push_back({socketOf(handles_[place]), POLLRDNORM, 0});
        if (!polled.empty() && ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), 0) < 0)
            return failed(errnoFromWinsock(::WSAGetLastError()));
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (polled[i].revents == 0) continue;
            mark(socketPlaces_[i]);
            ++count;
        }
        return count;
    }

    std::span<const WaitHandle> handles_;
    std::span<bool> ready_;
    std::vector<std::size_t> eventPlaces_;
    std::vector<std::size_t> socketPlaces_;
    std::vector<HANDLE> objects_; // the events, then the sockets' events
    SocketEvents sockets_;
};

} // namespace

int waitReadable(std::span<const WaitHandle> handles, std::span<bool> ready, int timeoutMs) {
    return Wait(handles, ready).run(timeoutMs);
}

} // namespace vexa::platform
