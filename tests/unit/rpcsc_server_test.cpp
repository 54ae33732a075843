// vexa-rpcscd's server loop in this process, on an ephemeral loopback port,
// stopped through an eventfd as the daemon is through its signalfd. Only
// requests that never reach pcscd are sent, so no PC/SC service is needed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "server/rpcsc_server.h"
#include "support/tcp_client.h"
#include "support/wire_message.h"

namespace vexa::rpcsc {
namespace {

class RpcscServerTest : public ::testing::Test {
protected:
    void start(ServerOptions options) {
        options.port = 0;
        server_ = std::make_unique<RpcscServer>(options, log_);
        ASSERT_TRUE(server_->listen());
        thread_ = std::thread([this] { server_->run(stop_); });
    }
    void TearDown() override {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(stop_, &one, sizeof one), 8);
        if (thread_.joinable()) thread_.join();
        ::close(stop_);
    }
    TcpClient connected() {
        TcpClient c;
        c.setTimeout(2000);
        EXPECT_EQ(c.connect("127.0.0.1", server_->boundPort()), 0);
        return c;
    }
    // The answer line to one request line, or the receive's error number.
    static std::string ask(TcpClient& c, const std::string& line) {
        std::string answer;
        if (const std::int32_t r = c.sendLine(line, false); r != 0) return std::to_string(r);
        if (const std::int32_t r = c.receiveLine(answer); r != 0) return std::to_string(r);
        return answer;
    }

    ServerLog log_{false};
    int stop_ = ::eventfd(0, EFD_CLOEXEC);
    std::unique_ptr<RpcscServer> server_;
    std::thread thread_;
};

TEST_F(RpcscServerTest, AnswersWhatItCanAndClosesOnWhatIsNoRequest) {
    start({});
    TcpClient c = connected();
    // Unknown operation 0x63: SCARD_E_UNSUPPORTED_FEATURE under that operation.
    EXPECT_EQ(ask(c, "0100080200010103000163"), "01000802000101030001630400048010001F");
    // A card handle this connection never received: SCARD_E_INVALID_HANDLE.
    EXPECT_EQ(ask(c,
                  "0100080200010103000108"
                  "0600080000000000000001"
                  "210002"
                  "0000"),
              "01000802000101030001080400048010000"
              "3");
    // A status change request without states: SCARD_E_INVALID_PARAMETER.
    EXPECT_EQ(ask(c,
                  "010008020001010300010B"
                  "24000400000000"),
              "010008020001010300010B04000480100004");
    // Lower-case hex and a CR are fine.
    EXPECT_EQ(ask(c, "010008020001010300010a\r"), "010008020001010300010A04000480100003");
    EXPECT_EQ(ask(c, "not hex"), "10054"); // closed
    TcpClient d = connected();
    EXPECT_EQ(ask(d, std::string(wire::kMaxLine + 2, '0')), "10054");
    TcpClient e = connected(); // the server still serves
    EXPECT_EQ(ask(e, "0100080200010103000163"), "01000802000101030001630400048010001F");
}

TEST_F(RpcscServerTest, DropsIdleClientsAndBoundsTheConnections) {
    ServerOptions options;
    options.maxConnections = 2;
    options.idleTimeoutMs = 300;
    start(options);
    TcpClient a = connected(), b = connected();
    // Let the server take both before the third arrives.
    EXPECT_EQ(ask(a, "0100080200010103000163").size(), 36u);
    EXPECT_EQ(ask(b, "0100080200010103000163").size(), 36u);
    TcpClient c = connected();
    EXPECT_EQ(ask(c, "0100080200010103000163"), "10054"); // refused: closed at once
    // Silent for longer than the idle time-out: the server closes both.
    for (TcpClient* idle : {&a, &b}) {
        std::string line;
        idle->setTimeout(10000);
        EXPECT_EQ(idle->receiveLine(line), 10054);
    }
    // Room again once the server has reaped their threads, which ends just
    // after the close; a client it still refuses is closed at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string answer;
    while (answer.size() != 36u && std::chrono::steady_clock::now() < deadline) {
        TcpClient d = connected();
        answer = ask(d, "0100080200010103000163");
    }
    EXPECT_EQ(answer.size(), 36u) << answer;
}

TEST_F(RpcscServerTest, AClientTricklingBytesIsDroppedAtTheLineDeadline) {
    ServerOptions options;
    options.idleTimeoutMs = 300;
    start(options);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server_->boundPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // One byte every 100 ms, never a line end: without one deadline per line
    // this would hold the connection for ever.
    const auto start = std::chrono::steady_clock::now();
    bool dropped = false;
    for (int i = 0; i < 100 && !dropped; ++i) {
        dropped = ::send(fd, "0", 1, MSG_NOSIGNAL) != 1;
        pollfd p{fd, POLLIN, 0};
        char c = 0;
        if (!dropped && ::poll(&p, 1, 100) > 0) dropped = ::recv(fd, &c, 1, 0) <= 0;
    }
    ::close(fd);
    EXPECT_TRUE(dropped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
} // namespace vexa::rpcsc
