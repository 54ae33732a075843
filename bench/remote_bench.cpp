// One APDU round trip on the test bed's first virtual card, direct and over
// the remote interface:
//   (a) SCardTransmit directly on pcscd
//   (b) RemotePcscClient::transmit -> vexa-rpcscd -> pcscd
//   (c) TovChipDefaultAccess::executeDirect over REMOTE_PCSC (log OFF)
// Prints microseconds per APDU (median of the rounds' means) and the ratio
// to (a).
//
//   VEXA_TESTBED_DIR=... vexa_remote_bench [--iterations N] [--rounds R]
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "support/tov_exception.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"

namespace vexa::bench {
namespace {

constexpr const char* kReader = "Virtual PCD 00 00";
constexpr std::array<std::uint8_t, 9> kCommand = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};

int run(int iterations, int rounds) {
    const std::string bed = testbed::joinTestbed();
    if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
    std::string server;
    std::getline(std::ifstream(std::string(bed) + "/rpcscd.address"), server);
    if (server.empty()) throw std::runtime_error("the test bed runs no vexa-rpcscd");
    testbed::CardControlClient card(std::string(bed) + "/card0.sock");
    card.require("reset");
    card.require("insert");
    if (!testbed::waitForCard(kReader, true, std::chrono::seconds(5))) throw std::runtime_error("no card");
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

} // namespace
} // namespace vexa::bench

int main(int argc, char** argv) {
    return vexa::bench::benchMain(argc, argv, "vexa_remote_bench", vexa::bench::run);
}
