// One APDU round trip on the test bed's first virtual card, direct and over
// the remote interface:
//   (a) SCardTransmit directly on pcscd
//   (b) RemotePcscClient::transmit -> vexa-rpcscd -> pcscd
//   (c) TovChipDefaultAccess::executeDirect over REMOTE_PCSC (log OFF)
// Prints microseconds per APDU (median of the rounds' means) and the ratio
// to (a).
//
// With --tls it measures instead the same APDU through rpcsc's client over
// plain TCP and over TLS side by side, against two servers of its own (one
// plain, one TLS with certificates from its certificate tool), one
// connection each for every APDU; then the time to connect and complete the
// handshake, and to the first answer. 5 rounds unless --rounds says.
//
//   VEXA_TESTBED_DIR=... vexa_remote_bench [--iterations N] [--rounds R] [--tls]
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "cardaccess/remote_pcsc_client.h"
#include "cardaccess/tov_chip_default_access.h"
#include "pcsc/card.h"
#include "pcsc/context.h"
#include "rpcsc/client_connection.h"
#include "rpcsc/tcp_stream.h"
#include "support/tov_exception.h"
#include "support/version.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"
#include "testbed/rpcscd_process.h"
#include "testbed/tls_certificates.h"

namespace vexa::bench {
namespace {

constexpr const char* kReader = "Virtual PCD 00 00";
constexpr std::array<std::uint8_t, 9> kCommand = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};

// The test bed's folder, its first card inserted and reset.
std::string cardOnTestbed() {
    const std::string bed = testbed::joinTestbed();
    if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
    testbed::CardControlClient card(std::string(bed) + "/card0.sock");
    card.require("reset");
    card.require("insert");
    if (!testbed::waitForCard(kReader, true, std::chrono::seconds(5))) throw std::runtime_error("no card");
    return bed;
}

int run(int iterations, int rounds) {
    const std::string bed = testbed::joinTestbed();
    if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
    std::string server;
    std::getline(std::ifstream(std::string(bed) + "/rpcscd.address"), server);
    if (server.empty()) throw std::runtime_error("the test bed runs no vexa-rpcscd");
    cardOnTestbed();
    const std::string remoteName = server + ":" + kReader;

    const pcsc::Context context = pcsc::Context::open();
    DWORD protocol = 0;
    const pcsc::Card direct =
        pcsc::Card::open(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol);
    RemotePcscClient client;
    client.setServer(server);
    std::uint32_t remoteProtocol = 0;
    std::string unreachable;
    if (client.connect(0, remoteName, SCARD_SHARE_SHARED, 3, remoteProtocol, unreachable) != 0)
        throw std::runtime_error("remote client cannot connect");
    TovLog quiet(LOG_OFF);
    TovChipDefaultAccess access;
    access.setRemoteServers(server);
    if (access.connect(quiet, INTERFACE_REMOTE_PCSC, remoteName, SCARD_SHARE_SHARED, 3) != 0)
        throw std::runtime_error("card connection cannot connect");

    std::vector<Variant> variants = {
        directTransmit(direct.get(), protocol, kCommand, 6),
        {"(b) RemotePcscClient::transmit via vexa-rpcscd",
         [&] {
             ByteBuffer answer;
             std::uint32_t receiveProtocol = 0;
             return client.transmit(remoteProtocol, kCommand, answer, 512, receiveProtocol) == 0 &&
                    answer.length() == 6;
         },
         {}},
        {"(c) executeDirect over REMOTE_PCSC",
         [&] {
             std::array<std::uint8_t, 512> answer;
             std::uint32_t length = answer.size();
             return access.executeDirect(quiet, kCommand, answer, length) == 0 && length == 6;
         },
         {}},
    };
    std::printf("%d APDUs per variant, %d rounds; echo of 4 bytes on '%s', server %s\n", iterations, rounds, kReader,
                server.c_str());
    runTable(variants, "log OFF", iterations, rounds);
    return 0;
}

// A connection to the server with the card in kReader connected.
struct RemoteCard {
    rpcsc::ClientConnection connection;
    std::uint32_t protocol = 0;

    RemoteCard(const StreamConnector& connector, const testbed::RpcscdProcess& server) : connection(connector) {
        if (connection.open("127.0.0.1", server.port(), server.address()) != 0 ||
            connection.establishContext(SCARD_SCOPE_SYSTEM) != 0 ||
            connection.connect(kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol) != 0)
            throw std::runtime_error("cannot connect the card through " + server.address());
    }
    Variant variant(std::string name) {
        return {std::move(name),
                [this] {
                    ByteBuffer answer;
                    std::uint32_t receiveProtocol = 0;
                    return connection.transmit(protocol, kCommand, answer, 512, receiveProtocol) == 0 &&
                           answer.length() == 6;
                },
                {}};
    }
};

// Milliseconds of each of `count` connections opened with connector (and,
// with firstAnswer, a context established over it), then closed.
void connectTimes(const StreamConnector& connector, const testbed::RpcscdProcess& server, bool firstAnswer, int count,
                  std::vector<double>& ms) {
    for (int i = 0; i < count; ++i) {
        rpcsc::ClientConnection connection(connector);
        const auto start = std::chrono::steady_clock::now();
        if (connection.open("127.0.0.1", server.port(), server.address()) != 0 ||
            (firstAnswer && connection.establishContext(SCARD_SCOPE_SYSTEM) != 0))
            throw std::runtime_error("cannot connect to " + server.address());
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        connection.close();
    }
}

// Median connection times, plain and over TLS, in rounds that alternate.
void printConnectTimes(const StreamConnector& tls, const testbed::RpcscdProcess& plainServer,
                       const testbed::RpcscdProcess& tlsServer, int rounds) {
    constexpr int kPerRound = 40;
    const std::string label = "median of " + std::to_string(rounds * kPerRound) + " connections each";
    std::printf("\n%-10s %-48s %10s %10s\n", "connect", label.c_str(), "plain ms", "TLS ms");
    for (const bool firstAnswer : {false, true}) {
        std::vector<double> plain, secured;
        for (int r = 0; r < rounds; ++r) {
            connectTimes(TcpStream::connect, plainServer, firstAnswer, kPerRound, plain);
            connectTimes(tls, tlsServer, firstAnswer, kPerRound, secured);
        }
        std::printf("%-10s %-48s %10.3f %10.3f\n", "",
                    firstAnswer ? "connect (+ handshake) + first answer" : "connect (+ handshake)", median(plain),
                    median(secured));
    }
}

int runTls(int iterations, int rounds) {
    cardOnTestbed();
    testbed::RpcscdProcess plainServer(VEXA_RPCSCD);
    const testbed::TlsCertificates certificates(VEXA_RPCSCD, 1);
    testbed::RpcscdProcess tlsServer(VEXA_RPCSCD, certificates.serverOptions());
    const StreamConnector tls = testbed::TlsCertificates::connector(certificates.clientContext(0));

    const pcsc::Context context = pcsc::Context::open();
    DWORD protocol = 0;
    const pcsc::Card direct =
        pcsc::Card::open(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol);
    RemoteCard plain(TcpStream::connect, plainServer);
    RemoteCard secured(tls, tlsServer);
    std::vector<Variant> variants = {
        directTransmit(direct.get(), protocol, kCommand, 6),
        plain.variant("(b) rpcsc client -> vexa-rpcscd, plain TCP"),
        secured.variant("(c) rpcsc client -> vexa-rpcscd, TLS 1.3"),
    };
    std::printf("%d APDUs per variant, %d rounds; echo of 4 bytes on '%s', servers %s (plain), %s (TLS)\n", iterations,
                rounds, kReader, plainServer.address().c_str(), tlsServer.address().c_str());
    runTable(variants, "remote", iterations, rounds);
    std::printf("\nTLS / plain: %.3f (median of %d rounds' means; goal at most 1.3)\n",
                median(variants[2].roundMeans) / median(variants[1].roundMeans), rounds);
    printConnectTimes(tls, plainServer, tlsServer, rounds);
    return 0;
}

} // namespace
} // namespace vexa::bench

int main(int argc, char** argv) {
    using namespace vexa;
    static constexpr ProgramText kProgram{
        "vexa_remote_bench", kVersion, "vexa_remote_bench [--iterations N] [--rounds R] [--tls]",
        "One APDU direct and through vexa-rpcscd (10 rounds); with --tls plain against TLS on two servers\n"
        "of its own (5 rounds). Needs VEXA_TESTBED_DIR."};
    static constexpr std::array<OptionSpec, 3> kOptions{
        bench::kIterationsOption, bench::kRoundsOption, {"--tls", "", "plain against TLS, and the handshake"}};
    int status = 0;
    const auto parsed = bench::benchOptions(argc, argv, kProgram, kOptions, status);
    if (!parsed) return status;
    const bool tls = parsed->has("--tls");
    const int rounds = static_cast<int>(parsed->number(bench::kRoundsOption.name, tls ? 5 : 10));
    const int iterations = std::max(static_cast<int>(parsed->number(bench::kIterationsOption.name, 5000)), rounds);
    return bench::runBench(kProgram.name,
                           [&] { return tls ? bench::runTls(iterations, rounds) : bench::run(iterations, rounds); });
}
