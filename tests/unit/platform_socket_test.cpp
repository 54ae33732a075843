#include "platform/socket.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/input_wait.h"
#include "platform/socket_api.h"
#include "platform/wake_signal.h"

#ifndef _WIN32
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace vexa::platform {
namespace {

using Clock = Socket::Clock;
using namespace std::chrono_literals;

struct LoopbackPair {
    ListeningSocket listener;
    Socket client;
    Socket server;
};

// A listener on a free loopback port; connect() adds both ends.
void listen(LoopbackPair& pair) {
    std::string failure;
    ASSERT_TRUE(pair.listener.listen("127.0.0.1", 0, failure)) << failure;
}

void connect(LoopbackPair& pair) {
    const auto local = pair.listener.localEndpoint();
    ASSERT_TRUE(local);
    ASSERT_EQ(Socket::connect(*local, 5000, pair.client), 0);
    std::optional<IpEndpoint> peer;
    pair.server = pair.listener.accept(peer);
    ASSERT_TRUE(pair.server.valid());
    ASSERT_TRUE(peer);
    EXPECT_EQ(ipAddressText(peer->address), "127.0.0.1");
}

// The wait tells which handle is ready, and a listener it watched still
// accepts afterwards (on Windows the wait changes the socket's mode).
TEST(PlatformSocket, WaitReadableReportsEachHandleAsPollWould) {
    LoopbackPair pair;
    listen(pair);
    WakeSignal wake;
    const std::array<WaitHandle, 3> handles{pair.listener.handle(), kNoWaitHandle, wake.handle()};
    std::array<bool, 3> ready{true, true, true};
    EXPECT_EQ(waitReadable(handles, ready, 0), 0);
    EXPECT_EQ(ready, (std::array<bool, 3>{false, false, false}));

    wake.signal();
    wake.signal();
    EXPECT_EQ(waitReadable(handles, ready, 5000), 1);
    EXPECT_EQ(ready, (std::array<bool, 3>{false, false, true}));
    wake.clear();

    const auto local = pair.listener.localEndpoint();
    ASSERT_TRUE(local);
    ASSERT_EQ(Socket::connect(*local, 5000, pair.client), 0);
    EXPECT_EQ(waitReadable(handles, ready, 5000), 1);
    EXPECT_EQ(ready, (std::array<bool, 3>{true, false, false}));
    std::optional<IpEndpoint> peer;
    EXPECT_TRUE(pair.listener.accept(peer).valid());
    EXPECT_EQ(waitReadable(handles, ready, 0), 0);
}

// A thread waiting for bytes wakes when another shuts the socket down, as a
// server stopping its connections relies on, whether the shutdown comes
// before or during the wait.
TEST(PlatformSocket, ShutdownFromAnotherThreadEndsAWaitingRead) {
    LoopbackPair pair;
    listen(pair);
    connect(pair);
    const auto start = Clock::now();
    int result = -1;
    std::size_t got = 1;
    std::thread reader([&] {
        std::array<char, 16> bytes;
        result = pair.server.readSome(bytes, got, Clock::now() + 60s);
    });
    pair.server.shutdownBoth();
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(Clock::now() - start, 30s);
}

TEST(PlatformSocket, ReadsByDeadlineAndSeesTheHangUp) {
    LoopbackPair pair;
    listen(pair);
    connect(pair);
    std::array<char, 16> bytes;
    std::size_t got = 1;
    // Past the deadline nothing is waited for.
    EXPECT_EQ(pair.server.readSome(bytes, got, Clock::now() - 1s), EWOULDBLOCK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(pair.server.readSome(bytes, got, Clock::now() + 20ms), EWOULDBLOCK);

    ASSERT_EQ(pair.client.writeAll("line\n", Clock::now() + 5s), 0);
    std::string received;
    while (received.size() < 5) {
        ASSERT_EQ(pair.server.readSome(bytes, got, Clock::now() + 5s), 0);
        ASSERT_GT(got, 0u);
        received.append(bytes.data(), got);
    }
    EXPECT_EQ(received, "line\n");

    pair.client.close();
    EXPECT_EQ(pair.server.readSome(bytes, got, Clock::now() + 5s), 0);
    EXPECT_EQ(got, 0u);
}

TEST(PlatformSocket, ConnectToAClosedPortIsRefused) {
    std::optional<IpEndpoint> local;
    {
        LoopbackPair pair;
        listen(pair);
        local = pair.listener.localEndpoint();
    }
    ASSERT_TRUE(local);
    Socket socket;
    EXPECT_EQ(Socket::connect(*local, 5000, socket), ECONNREFUSED);
    EXPECT_FALSE(socket.valid());
}

// An option of a socket as the system reports it; -1 when it cannot.
int socketOption(const Socket& socket, int level, int name) {
    int value = 0;
#ifdef _WIN32
    int size = sizeof value;
    const auto s = static_cast<SOCKET>(socket.handle());
    if (::getsockopt(s, level, name, reinterpret_cast<char*>(&value), &size) != 0) return -1;
#else
    socklen_t size = sizeof value;
    if (::getsockopt(static_cast<int>(socket.handle()), level, name, &value, &size) != 0) return -1;
#endif
    return value;
}

// Both ends probe an idle link, so that a peer that vanished is found dead
// in seconds rather than hours.
TEST(PlatformSocket, BothEndsWatchForAVanishedPeer) {
    LoopbackPair pair;
    listen(pair);
    connect(pair);
    for (const Socket* end : {&pair.client, &pair.server}) {
        EXPECT_EQ(socketOption(*end, SOL_SOCKET, SO_KEEPALIVE), 1);
#ifndef _WIN32
        EXPECT_EQ(socketOption(*end, IPPROTO_TCP, TCP_KEEPIDLE), kKeepAliveIdle.count());
        EXPECT_EQ(socketOption(*end, IPPROTO_TCP, TCP_KEEPINTVL), kKeepAliveInterval.count());
        EXPECT_EQ(socketOption(*end, IPPROTO_TCP, TCP_KEEPCNT), kKeepAliveProbes);
        EXPECT_EQ(socketOption(*end, IPPROTO_TCP, TCP_USER_TIMEOUT),
                  std::chrono::milliseconds(kUnacknowledgedLimit).count());
#endif
    }
}

} // namespace
} // namespace vexa::platform
