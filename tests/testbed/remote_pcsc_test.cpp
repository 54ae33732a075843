// The remote client against the test bed's vexa-rpcscd and pcscd: the same
// two virtual readers, reached over the line protocol.
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "cardaccess/card_error.h"
#include "cardaccess/remote_pcsc_client.h"
#include "cardaccess/tov_chip_default_access.h"
#include "pcsc/card.h"
#include "pcsc/context.h"
#include "readers/scapi_management.h"
#include "rpcsc/client_connection.h"
#include "testbed/rpcscd_load.h"
#include "testbed/rpcscd_process.h"
#include "testbed/tls_certificates.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kEcho = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
const Bytes kEchoAnswer = {0x01, 0x02, 0x03, 0x04, 0x90, 0x00};

class RemotePcscTest : public TestBedTest {
protected:
    void SetUp() override {
        TestBedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::ifstream in(testbedDir() + "/rpcscd.address");
        std::getline(in, server);
        ASSERT_FALSE(server.empty()) << "no rpcscd.address in the test bed";
        ASSERT_TRUE(client.setServer(server));
    }
    std::string remote(const char* reader) const { return server + ":" + reader; }

    std::string server;
    RemotePcscClient client;
};

TEST_F(RemotePcscTest, ListsTheServersReaders) {
    std::string names, unreachable;
    std::int32_t count = 0;
    EXPECT_EQ(client.listReaders(0, "", names, count, unreachable, false), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(names, remote(kReader0) + "\r\n" + remote(kReader1) + "\r\n");
    EXPECT_EQ(unreachable, "");
}

TEST_F(RemotePcscTest, ConnectTransmitStatusTransactionsDisconnect) {
    std::uint32_t protocol = 0;
    std::string serverText;
    ASSERT_EQ(client.connect(0, remote(kReader0), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol,
                             serverText),
              0);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(protocol, static_cast<std::uint32_t>(SCARD_PROTOCOL_T1));

    ByteBuffer answer;
    std::uint32_t receiveProtocol = 0;
    EXPECT_EQ(client.transmit(protocol, kEcho, answer, 258, receiveProtocol), 0);
    EXPECT_EQ(Bytes(answer.bytes().begin(), answer.bytes().end()), kEchoAnswer);
    // The server bounds the answer by the length asked for.
    EXPECT_EQ(client.transmit(protocol, kEcho, answer, 2, receiveProtocol),
              static_cast<std::int32_t>(0x80100008)); // SCARD_E_INSUFFICIENT_BUFFER

    std::string reader;
    std::uint32_t state = 0, statusProtocol = 0;
    ByteBuffer atr;
    EXPECT_EQ(client.status(reader, state, statusProtocol, atr), 0);
    EXPECT_EQ(reader, kReader0);
    EXPECT_EQ(statusProtocol, protocol);
    EXPECT_TRUE(atr.isNonEmpty());

    EXPECT_EQ(client.beginTransaction(), 0);
    EXPECT_EQ(client.endTransaction(SCARD_LEAVE_CARD), 0);
    EXPECT_EQ(client.disconnect(SCARD_RESET_CARD), 0);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(client.beginTransaction(), 992402); // the connection ended with the card
}

TEST_F(RemotePcscTest, ConnectFailuresCarryTheServersCode) {
    std::uint32_t protocol = 0;
    std::string serverText;
    EXPECT_EQ(client.connect(0, remote("No such reader"), SCARD_SHARE_SHARED, 3, protocol, serverText),
              static_cast<std::int32_t>(0x80100009)); // SCARD_E_UNKNOWN_READER
    EXPECT_EQ(serverText, "");
    EXPECT_FALSE(client.isConnected());
}

TEST_F(RemotePcscTest, GetStatusChangeSeesTheCardGo) {
    std::string r0 = remote(kReader0), r1 = remote(kReader1);
    SCARD_READERSTATE states[2] = {};
    states[0].szReader = r0.c_str();
    states[1].szReader = r1.c_str();
    ASSERT_EQ(client.getStatusChange(0, 0, states), 0);
    for (auto& s : states) {
        EXPECT_TRUE(s.dwEventState & SCARD_STATE_PRESENT);
        EXPECT_GT(s.cbAtr, 0u);
        s.dwCurrentState = s.dwEventState & ~SCARD_STATE_CHANGED;
    }
    // Nothing changed: the no-change outcome.
    EXPECT_EQ(client.getStatusChange(0, 0, states), static_cast<std::int32_t>(0x8010000A));

    removeCard0();
    EXPECT_EQ(client.getStatusChange(0, 0, states), 0);
    EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_EMPTY);
    EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_CHANGED);
    EXPECT_EQ(states[0].cbAtr, 0u);
    EXPECT_TRUE(states[1].dwEventState & SCARD_STATE_PRESENT);
}

TEST_F(RemotePcscTest, CardConnectionOverTheRemoteInterface) {
    CapturedLog log;
    TovChipDefaultAccess card;
    card.setRemoteServers("127.0.0.1:1 " + server);
    const std::string name = remote(kReader1);
    ASSERT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, name, SCARD_SHARE_SHARED, 3), 0);
    EXPECT_TRUE(log.contains("Card connected in remote PC/SC reader " + name));
    std::uint8_t answer[16];
    std::uint32_t length = sizeof answer;
    EXPECT_EQ(card.executeDirect(log, kEcho, answer, length), 0);
    EXPECT_EQ(Bytes(answer, answer + length), kEchoAnswer);
    EXPECT_EQ(card.isCardRemoved(log), 0);
    // PINs stay out of the log over this interface too.
    card1.require("answer 002D000004* 9000");
    length = sizeof answer;
    EXPECT_EQ(card.executeDirect(log, Bytes{0x00, 0x2D, 0x00, 0x00, 0x04, 0x35, 0x36, 0x37, 0x38}, answer, length), 0);
    length = sizeof answer;
    card.executeControl(log, Bytes{0x38, 0x39, 0x3A, 0x3B}, answer, length, 3400, false);
    EXPECT_TRUE(log.contains("APDU command (9 bytes): 00 2d 00 00 04 ** ** ** **"));
    EXPECT_TRUE(log.contains("Control data: 4 bytes"));
    EXPECT_FALSE(log.contains("35 36 37 38") || log.contains("38 39 3a 3b"));
    std::uint32_t state = 0;
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_REMOTE_PCSC, name, state), 0);
    EXPECT_TRUE(state & SCARD_STATE_PRESENT);
    EXPECT_TRUE(card.getAtr(log, INTERFACE_REMOTE_PCSC, remote(kReader0)).isNonEmpty());
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), 0);
    EXPECT_TRUE(log.contains("Disconnect remote PC/SC reader " + name));

    const std::string closed = "127.0.0.1:1:" + std::string(kReader0);
    EXPECT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, closed, SCARD_SHARE_SHARED, 3), 10061);
    EXPECT_TRUE(log.contains("Cannot connect remote PC/SC server 127.0.0.1:1 (return code 10061: "));

    // A connection told of other servers reaches none of the running server's
    // readers.
    card.setRemoteServers("127.0.0.1:1");
    EXPECT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, name, SCARD_SHARE_SHARED, 3), 992401);
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_REMOTE_PCSC, name, state), 992401);
    EXPECT_FALSE(card.getAtr(log, INTERFACE_REMOTE_PCSC, name).isNonEmpty());
    EXPECT_EQ(card.lastResult(), 992401);
}

// pcscd restarts behind the server: the page's card is gone as a pulled card
// is, a new connect works at once, and a context kept on one connection is
// made anew on the server.
TEST_F(RemotePcscTest, ThePcscServiceRestartingBehindTheServer) {
    CapturedLog log;
    TovChipDefaultAccess card;
    card.setRemoteServers(server);
    ASSERT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, remote(kReader0), SCARD_SHARE_SHARED, 3), 0);
    rpcsc::ClientConnection kept;
    const auto address = ServerAddress::parse(server);
    ASSERT_TRUE(address);
    ASSERT_EQ(kept.open(address->host(), static_cast<std::uint16_t>(address->port), server), 0);
    ASSERT_EQ(kept.establishContext(SCARD_SCOPE_USER), 0);
    ASSERT_NO_FATAL_FAILURE(restartTestbedService("pcscd"));

    std::uint8_t answer[16];
    std::uint32_t length = sizeof answer;
    EXPECT_EQ(card.executeDirect(log, kEcho, answer, length), pcsc::code(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(card.isCardRemoved(log), ERR_CARD_REMOVED);
    EXPECT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, remote(kReader0), SCARD_SHARE_SHARED, 3), 0);
    length = sizeof answer;
    EXPECT_EQ(card.executeDirect(log, kEcho, answer, length), 0);
    std::vector<std::string> readers;
    EXPECT_EQ(kept.listReaders("", readers), 0);
    EXPECT_EQ(readers, (std::vector<std::string>{kReader0, kReader1}));
}

// The server itself restarts while the client keeps its connection from a
// failed connect: the next connect goes to the new server at the first try.
TEST_F(RemotePcscTest, TheServerRestarting) {
    TovLog quiet(LOG_OFF);
    TovChipDefaultAccess card;
    card.setRemoteServers(server);
    EXPECT_NE(card.connect(quiet, INTERFACE_REMOTE_PCSC, remote("no such reader"), SCARD_SHARE_SHARED, 3), 0);
    ASSERT_NO_FATAL_FAILURE(restartTestbedService("rpcscd"));
    EXPECT_EQ(card.connect(quiet, INTERFACE_REMOTE_PCSC, remote(kReader1), SCARD_SHARE_SHARED, 3), 0);
    std::uint8_t answer[16];
    std::uint32_t length = sizeof answer;
    EXPECT_EQ(card.executeDirect(quiet, kEcho, answer, length), 0);
}

TEST_F(RemotePcscTest, InventoryListsAndSearchesRemoteReaders) {
    CapturedLog log;
    TovChipDefaultAccess card;
    card.setRemoteServers("127.0.0.1:1 " + server);
    ScapiManagement inventory;
    ASSERT_EQ(inventory.init(log, INTERFACE_REMOTE_PCSC, "127.0.0.1:1 " + server, true, false), 0);
    EXPECT_EQ(inventory.getReaderCount(), 2);
    EXPECT_EQ(inventory.getReaderName(1), remote(kReader1));
    EXPECT_TRUE(log.contains("WARNING Cannot connect remote PS/SC server 127.0.0.1:1 but other server(s) reached."));
    EXPECT_TRUE(log.contains("INFO    2 remote PC/SC reader(s) found"));
    EXPECT_TRUE(log.contains("Reader 0: remote PC/SC reader found: " + remote(kReader0)));

    card1.require("aid D2760000850101");
    std::string found;
    EXPECT_EQ(inventory.searchCard(log, card, "D2 76 00 00 85 01 01", "", found, ""), 0);
    EXPECT_EQ(found, remote(kReader1));
    EXPECT_EQ(card.interfaceType(), INTERFACE_REMOTE_PCSC);
    card.close(log);

    ScapiManagement none;
    EXPECT_EQ(none.init(log, INTERFACE_REMOTE_PCSC, "", true, false), 992301);
    EXPECT_TRUE(
        log.contains("WARNING Missing or invalid address for remote PC/SC server (''). Ignoring remote PC/SC "
                     "readers."));
    ScapiManagement unreachable;
    EXPECT_EQ(unreachable.init(log, INTERFACE_REMOTE_PCSC, "127.0.0.1:1", true, false), 10061);
    EXPECT_TRUE(log.contains("ERROR   Cannot connect remote PS/SC server 127.0.0.1:1"));
}

// A client's transaction holds up the other clients' calls on the card in
// the server; once its client has been quiet for the idle limit, the server
// ends it with a card reset and the waiting call goes on.
TEST_F(RemotePcscTest, AQuietClientsTransactionEndsSoAWaitingClientGoesOn) {
    RemotePcscClient holder(client), waiting(client);
    std::uint32_t protocol = 0;
    std::string serverText;
    for (RemotePcscClient* c : {&holder, &waiting})
        ASSERT_EQ(c->connect(0, remote(kReader0), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, protocol, serverText), 0);
    ASSERT_EQ(holder.beginTransaction(), 0);
    // Within the client's wait for a card call's answer. The reset reaches
    // every handle on the card, so a client that connected before learns of
    // it too and connects again.
    EXPECT_EQ(waiting.beginTransaction(), pcsc::code(SCARD_W_RESET_CARD));
    EXPECT_EQ(waiting.disconnect(SCARD_LEAVE_CARD), 0);
    ASSERT_EQ(waiting.connect(0, remote(kReader0), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, protocol, serverText), 0);
    EXPECT_EQ(waiting.beginTransaction(), 0);
    ByteBuffer answer;
    std::uint32_t receiveProtocol = 0;
    EXPECT_EQ(waiting.transmit(protocol, kEcho, answer, 258, receiveProtocol), 0);
    EXPECT_EQ(waiting.endTransaction(SCARD_LEAVE_CARD), 0);
    // The quiet holder's card was reset under it.
    EXPECT_EQ(holder.transmit(protocol, kEcho, answer, 258, receiveProtocol), pcsc::code(SCARD_W_RESET_CARD));
    std::ifstream in(testbedDir() + "/rpcscd.log");
    const std::string log{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(log.find("without a request for 5 s: ended with a card reset"), std::string::npos);
}

// Against a program that is not VEXA the server waits as pcsc-lite does, but
// the client gives up after its card wait.
TEST_F(RemotePcscTest, ACardCallWaitingForAnotherProgramGivesUpInTime) {
    pcsc::Context context = pcsc::Context::open();
    DWORD active = 0;
    pcsc::Card other = pcsc::Card::open(context, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, active);
    ASSERT_EQ(other.beginTransaction(), 0);
    std::uint32_t protocol = 0;
    std::string serverText;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.connect(0, remote(kReader0), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, protocol, serverText),
              pcsc::code(SCARD_E_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(rpcsc::ClientConnection::kCardWaitMs));
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(other.endTransaction(SCARD_LEAVE_CARD), 0);
    // The server's connect then comes through for nobody, and the server
    // lets go of it with a reset, as of every card its clients leave; the
    // reset reaches this handle too. Later tests must not meet it.
    pcsc::Card::Status status;
    SCARD_READERSTATE reader{};
    reader.szReader = kReader0;
    reader.dwCurrentState = SCARD_STATE_UNAWARE;
    context.statusChange(0, std::span(&reader, 1));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (other.status(status) != pcsc::code(SCARD_W_RESET_CARD) && std::chrono::steady_clock::now() < until) {
        // Wakes when pcscd reports the reader's state changed.
        reader.dwCurrentState = reader.dwEventState & ~SCARD_STATE_CHANGED;
        context.statusChange(500, std::span(&reader, 1));
    }
    EXPECT_EQ(other.status(status), pcsc::code(SCARD_W_RESET_CARD));
    EXPECT_EQ(client.connect(0, remote(kReader0), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, protocol, serverText), 0);
}

// Every request answered, nothing refused or left behind, and APDUs in time.
void expectHeld(const testbed::LoadFigures& f) {
    EXPECT_GT(f.requests, 240);
    EXPECT_EQ(f.failed, 0);
    EXPECT_EQ(f.refused, 0);
    EXPECT_EQ(f.apduFailed, 0);
    EXPECT_EQ(f.fdsAfter, f.fdsBefore);
    EXPECT_EQ(f.threadsAfter, f.threadsBefore);
#ifndef __SANITIZE_ADDRESS__
    // Not under AddressSanitizer: its quarantine keeps freed blocks, so the
    // server's peak memory grows with every connection there.
    EXPECT_LE(f.peakKiBAfterAll - f.peakKiBAfterFirst, 2048);
#endif
    // Generous on a shared machine: the benchmark measures the real ratio.
    EXPECT_LE(f.loadedP99Us, 3 * std::max(f.aloneP99Us, 2000.0)) << f.aloneP99Us;
}

// A server of its own under a small load: many polling clients (each from an
// address of its own) while two clients exchange APDUs, then clients that
// vanish without releasing their contexts. The full counts are in
// bench/rpcscd_load_bench.
TEST_F(RemotePcscTest, HoldsUnderLoadWithoutRefusalsOrLeaks) {
    expectHeld(testbed::runLoad({VEXA_RPCSCD, 12, 240, 200, std::chrono::milliseconds(100)}));
}

// The same over TLS, every client showing one certificate, so that the
// per-peer limit, counted per certificate, holds them all; certificates made
// by the server's own tool.
TEST_F(RemotePcscTest, HoldsUnderLoadOverTlsWithoutRefusalsOrLeaks) {
    const testbed::TlsCertificates certificates(VEXA_RPCSCD, 1);
    testbed::LoadOverTls tls{certificates.serverOptions(), certificates.clientContext(0)};
    tls.serverOptions.insert(tls.serverOptions.end(), {"--max-per-peer", "16", "--max-connections", "32"});
    expectHeld(testbed::runLoad({VEXA_RPCSCD, 12, 240, 200, std::chrono::milliseconds(100)}, tls));
}

// A reload that revokes a certificate ends its connection's thread at once,
// also while a status change of the connection waits in pcscd for 10 s.
TEST_F(RemotePcscTest, ARevokedConnectionEndsAtOnceWhileItWaitsInPcscd) {
    const testbed::TlsCertificates certificates(VEXA_RPCSCD, 1);
    const testbed::RpcscdProcess server(VEXA_RPCSCD, certificates.serverOptions());
    rpcsc::ClientConnection c(testbed::TlsCertificates::connector(certificates.clientContext(0)));
    ASSERT_EQ(c.open("127.0.0.1", server.port(), server.address()), 0);
    ASSERT_EQ(c.establishContext(SCARD_SCOPE_SYSTEM), 0);
    const std::string readers[] = {kReader0};
    SCARD_READERSTATE state{};
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    ASSERT_EQ(c.getStatusChange(0, readers, std::span(&state, 1)), 0);
    state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    std::thread waiting([&] { c.getStatusChange(10000, readers, std::span(&state, 1)); });
    // Nothing outside tells when the request has reached pcscd's wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ofstream(certificates.clientsFile()) << "# nobody\n";
    server.reload();
    const auto revoked = std::chrono::steady_clock::now();
    const auto closed = [&] { return server.log().find(" closed\n") != std::string::npos; };
    while (!closed() && std::chrono::steady_clock::now() - revoked < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - revoked, std::chrono::seconds(2)) << server.log();
    EXPECT_NE(server.log().find("its certificate is no longer admitted"), std::string::npos) << server.log();
    waiting.join();
}

// Peers without a certificate cannot lock a listed client out of a TLS server
// with its default limits, not even from the client's own address: a crowd
// holding 200 connections that never start a handshake and opening 100 more
// a second. The time goal is the benchmark's (--crowd).
TEST_F(RemotePcscTest, AListedClientIsServedWhileItsAddressIsCrowded) {
    const testbed::TlsCertificates certificates(VEXA_RPCSCD, 1);
    const testbed::CrowdPlan plan{VEXA_RPCSCD};
    const testbed::CrowdFigures f =
        testbed::runCrowding(plan, {certificates.serverOptions(), certificates.clientContext(0)});
    EXPECT_EQ(f.succeeded, plan.tries);
    std::printf("listed client: %d of %d answered, %d within %lld ms, p50 %.1f ms, max %.1f ms; crowd opened %ld\n",
                f.succeeded, plan.tries, f.withinGoal, static_cast<long long>(plan.goal.count()), f.p50Ms, f.maxMs,
                f.crowdOpened);
    RecordProperty("answered", f.succeeded);
    RecordProperty("max_ms", static_cast<int>(f.maxMs));
}

} // namespace
} // namespace vexa::testing
