// The remote client against scripted servers: real TCP listeners that answer
// with lines written by hand. A scripted peer stands in for vexa-rpcscd here
// because the faults under test (foreign versions, wrong operations, missing
// reader states, garbage) are ones our own server never produces; the client
// against the real server runs on the test bed.
#include <gtest/gtest.h>

#include "pcsc/pcsc_api.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cardaccess/interface_type.h"
#include "cardaccess/remote_pcsc_client.h"
#include "loopback_listener.h"
#include "readers/reader_status_source.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

using testing::LoopbackListener;

const std::string kEstablished =
    "0100080200010103000101"
    "04000400000000"
    "0500080000000000000007";
const std::string kReleased =
    "0100080200010103000102"
    "04000400000000";

// Answers each request line with the next scripted line; records requests.
auto scripted(std::vector<std::string> answers, std::vector<std::string>& seen) {
    return [answers = std::move(answers), &seen](platform::Socket& peer) {
        for (const std::string& answer : answers) {
            const std::string request = LoopbackListener::readLine(peer);
            if (request.empty()) return;
            seen.push_back(request);
            LoopbackListener::sendAll(peer, answer + "\n");
        }
        LoopbackListener::readLine(peer); // until the client closes
    };
}

std::uint16_t closedPort() {
    LoopbackListener l;
    return l.port();
}

TEST(RemotePcscClientTest, ReaderNamesThatNameNoServerGive992401) {
    RemotePcscClient client;
    std::uint32_t protocol = 9;
    std::string server = "x";
    EXPECT_EQ(client.connect(0, "Virtual PCD 00 00", 2, 3, protocol, server), 992401);
    EXPECT_EQ(server, "");
    EXPECT_EQ(protocol, 0u);
    EXPECT_EQ(client.connect(0, "300.1.1.1:80:R", 2, 3, protocol, server), 992401);
    EXPECT_EQ(server, "300.1.1.1:80");
    // Unreachable: the socket error, and the server named.
    const std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    ASSERT_TRUE(client.setServer(closed));
    EXPECT_EQ(client.connect(0, closed + ":R", 2, 3, protocol, server), 10061);
    EXPECT_EQ(server, closed);
    // Nothing held: disconnect is a no-op, card requests find no connection.
    EXPECT_EQ(client.disconnect(SCARD_RESET_CARD), 0);
    EXPECT_EQ(client.beginTransaction(), 992402);
}

// Reader names come from pages: one on a server outside the list must not
// even open a connection, for the card connection and the event monitor
// alike.
TEST(RemotePcscClientTest, NamesOnUnconfiguredServersGive992401WithoutAConnection) {
    LoopbackListener configured, stranger;
    const std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(configured.text() + " " + closed));
    std::uint32_t protocol = 0;
    std::string server;
    EXPECT_EQ(client.connect(0, stranger.text() + ":R", 2, 3, protocol, server), 992401);
    EXPECT_EQ(server, stranger.text());
    // The same server written otherwise is still that server.
    EXPECT_EQ(client.connect(0, "127.000.0.1:0" + std::to_string(stranger.port()) + ":R", 2, 3, protocol, server),
              992401);
    EXPECT_EQ(client.connect(0, "127.0.0.001:0" + closed.substr(10) + ":R", 2, 3, protocol, server), 10061);

    const std::string name = stranger.text() + ":R";
    SCARD_READERSTATE state{};
    state.szReader = name.c_str();
    EXPECT_EQ(client.getStatusChange(0, 0, std::span(&state, 1)), 992401);
    const auto monitor = makeReaderStatusSource(INTERFACE_REMOTE_PCSC, configured.text());
    monitor->open();
    try {
        monitor->query(std::span(&state, 1));
        ADD_FAILURE() << "the monitor queried an unconfigured server";
    } catch (const TovException& e) {
        EXPECT_EQ(e.code(), 992401);
    }
    EXPECT_FALSE(stranger.connectionWaiting());
    EXPECT_FALSE(configured.connectionWaiting());
}

TEST(RemotePcscClientTest, AForeignVersionOrOperationIsMinusOneAndGarbage992403) {
    std::vector<std::string> seen;
    LoopbackListener listener;
    // Version 2 on the first connection, the answer of another operation on
    // the retry's connection.
    const std::string version2 =
        "0100080200010203000101"
        "04000400000000";
    listener.serve(
        2, [&, n = 0](platform::Socket& peer) mutable { scripted({n++ == 0 ? version2 : kReleased}, seen)(peer); });
    LoopbackListener garbage;
    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(listener.text() + " " + garbage.text()));
    std::uint32_t protocol = 0;
    std::string server;
    EXPECT_EQ(client.connect(0, listener.text() + ":R", 2, 3, protocol, server), -1);
    client.closeAll(); // a failed connect keeps its connection for the next attempt
    listener.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "010008020001010300010110000400000000"); // establishContext, scope 0

    garbage.serve(2, scripted({"01000802000101030001XX"}, seen));
    EXPECT_EQ(client.connect(0, garbage.text() + ":R", 2, 3, protocol, server), 992403);
}

TEST(RemotePcscClientTest, ListReadersSkipsAnUnreachableServerAndAddsNotificationReaders) {
    std::vector<std::string> seen;
    LoopbackListener withReader, withoutReaders;
    withReader.serve(1, scripted({kEstablished,
                                  "0100080200010103000103"
                                  "04000400000000"
                                  "12000A"
                                  "5669727475616C3A3030",
                                  kReleased},
                                 seen));
    // No readers: SCARD_E_NO_READERS_AVAILABLE.
    withoutReaders.serve(1, scripted({kEstablished,
                                      "0100080200010103000103"
                                      "0400048010002E",
                                      kReleased},
                                     seen));
    const std::string closed = "127.0.0.1:" + std::to_string(closedPort());

    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(closed + " " + withReader.text() + " " + withoutReaders.text()));
    std::string names, unreachable;
    std::int32_t count = 0;
    EXPECT_EQ(client.listReaders(0, "", names, count, unreachable, true), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(unreachable, closed);
    EXPECT_EQ(names, withReader.text() + ":Virtual:00\r\n" + withReader.text() + ":\\\\?PnP?\\Notification\r\n" +
                         withoutReaders.text() + ":\\\\?PnP?\\Notification\r\n");
    withReader.join();
    withoutReaders.join();
    // listReaders: context 7 and no groups; release of context 7.
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[1],
              "0100080200010103000103"
              "0500080000000000000007"
              "110000");
    EXPECT_EQ(seen[2],
              "0100080200010103000102"
              "0500080000000000000007");
}

// A server must not hold the caller by pacing its bytes: each answer line
// has one deadline, however the bytes come.
TEST(RemotePcscClientTest, AServerTricklingBytesFailsTheCallAtTheDeadline) {
    LoopbackListener trickler;
    trickler.serve(2, [](platform::Socket& peer) {
        LoopbackListener::readLine(peer);
        for (int i = 0; i < 150; ++i) { // at most 15 s, ending when the client has gone
            if (!LoopbackListener::sendAll(peer, "0")) return;
            // The pacing is the attack under test, not a wait for a state.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(trickler.text()));
    std::uint32_t protocol = 0;
    std::string server;
    const auto start = std::chrono::steady_clock::now();
    // 1.5 s on the first connection and as much on the retry's.
    EXPECT_EQ(client.connect(0, trickler.text() + ":R", 2, 3, protocol, server), 10035); // WSAEWOULDBLOCK
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(RemotePcscClientTest, ACarriageReturnFloodCountsAgainstTheLineBoundAndCloses) {
    LoopbackListener flood;
    int closedByClient = 0;
    flood.serve(2, [&](platform::Socket& peer) {
        LoopbackListener::readLine(peer);
        LoopbackListener::sendAll(peer, std::string(wire::kMaxLine + 1, '\r'));
        if (LoopbackListener::readLine(peer).empty()) ++closedByClient;
    });
    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(flood.text()));
    std::uint32_t protocol = 0;
    std::string server;
    EXPECT_EQ(client.connect(0, flood.text() + ":R", 2, 3, protocol, server), 10040); // WSAEMSGSIZE
    flood.join();
    EXPECT_EQ(closedByClient, 2);
}

// The getStatusChange answer with one reader state per entry.
std::string statusAnswer(const std::string& result, int states) {
    std::string line =
        "010008020001010300010B"
        "040004" +
        result;
    for (int i = 0; i < states; ++i)
        line +=
            "260013"
            "28000400000010"
            "29000400000022"
            "3000023B00";
    return line;
}

TEST(RemotePcscClientTest, GetStatusChangeSendsOneRequestPerServerRun) {
    std::vector<std::string> seenA, seenB;
    LoopbackListener a, b;
    a.serve(1, scripted({kEstablished, statusAnswer("8010000A", 2), kReleased}, seenA));
    b.serve(1, scripted({kEstablished, statusAnswer("8010000A", 1), kReleased}, seenB));
    const std::string r1 = a.text() + ":R1", r2 = a.text() + ":R:2", r3 = b.text() + ":R3";
    SCARD_READERSTATE states[3] = {};
    states[0].szReader = r1.c_str();
    states[1].szReader = r2.c_str();
    states[2].szReader = r3.c_str();
    states[1].dwCurrentState = 0x10;
    states[1].cbAtr = 2;
    states[1].rgbAtr[0] = 0x3B;

    RemotePcscClient client;
    ASSERT_TRUE(client.setServer(a.text() + " " + b.text()));
    EXPECT_EQ(client.getStatusChange(0, 0, states), static_cast<std::int32_t>(0x8010000A));
    a.join();
    b.join();
    ASSERT_EQ(seenA.size(), 3u);
    EXPECT_EQ(seenA[1],
              "010008020001010300010B"
              "24000400000000"
              "260016"
              "2700025231"
              "28000400000000"
              "29000400000000"
              "300000"
              "260019"
              "270003523A32"
              "28000400000010"
              "29000400000000"
              "3000023B00"
              "25000400000002"
              "0500080000000000000007");
    ASSERT_EQ(seenB.size(), 3u);
    for (const auto& s : states) {
        EXPECT_EQ(s.dwCurrentState, 0x10u);
        EXPECT_EQ(s.dwEventState, 0x22u);
        EXPECT_EQ(s.cbAtr, 2u);
        EXPECT_EQ(s.rgbAtr[0], 0x3B);
    }
}

TEST(RemotePcscClientTest, GetStatusChangeRefusesAnswersThatDoNotMatchTheStates) {
    RemotePcscClient client;
    EXPECT_EQ(client.getStatusChange(0, 0, {}), -1);

    std::vector<std::string> seen;
    LoopbackListener fewer, more, longAtr;
    fewer.serve(1, scripted({kEstablished, statusAnswer("00000000", 1), kReleased}, seen));
    more.serve(1, scripted({kEstablished, statusAnswer("00000000", 3), kReleased}, seen));
    // An ATR of 37 bytes, beyond any reader state's buffer.
    longAtr.serve(1, scripted({kEstablished,
                               "010008020001010300010B"
                               "04000400000000"
                               "260036"
                               "28000400000010" +
                                   std::string("29000400000022") + "300025" + std::string(74, 'A'),
                               kReleased},
                              seen));
    ASSERT_TRUE(client.setServer(fewer.text() + " " + more.text() + " " + longAtr.text()));
    for (const auto* server : {&fewer, &more, &longAtr}) {
        const std::string r1 = server->text() + ":R1", r2 = server->text() + ":R2";
        SCARD_READERSTATE states[2] = {};
        states[0].szReader = r1.c_str();
        states[1].szReader = r2.c_str();
        EXPECT_EQ(client.getStatusChange(0, 0, server == &longAtr ? std::span(states, 1) : std::span(states)), -1);
    }
    SCARD_READERSTATE bad{};
    bad.szReader = "no server";
    EXPECT_EQ(client.getStatusChange(0, 0, std::span(&bad, 1)), 992401);
}

} // namespace
} // namespace vexa
