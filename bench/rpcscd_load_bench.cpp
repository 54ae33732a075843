// vexa-rpcscd under load on the test bed: two card clients' APDU latency
// alone and while many clients poll the readers' status, then many clients
// connecting and vanishing without releasing their contexts; the server's
// peak memory, descriptors and threads. Prints one table. With --tls all of
// it runs over TLS, every client showing one certificate, against a server
// with --max-per-peer 128 --max-connections 256 (the per-peer limit counts
// per certificate there). With --crowd instead: a TLS server with its
// default limits, one process at the listed client's own address holding 200
// connections that never start a handshake and opening 100 more a second,
// and the listed client's 50 connects up to its first answer.
//
//   VEXA_TESTBED_DIR=... vexa_rpcscd_load_bench [--clients 100] [--churn 10000] [--apdus 2000]
//                                              [--poll-ms 100] [--server PATH-TO-vexa-rpcscd] [--tls]
//   VEXA_TESTBED_DIR=... vexa_rpcscd_load_bench --crowd [--server PATH-TO-vexa-rpcscd]
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "bench/bench_table.h"
#include "support/version.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"
#include "testbed/rpcscd_load.h"
#include "testbed/tls_certificates.h"

namespace {

int crowding(const std::string& server) {
    using namespace vexa::testbed;
    const TlsCertificates certificates(server, 1);
    const CrowdPlan plan{server};
    const CrowdFigures f = runCrowding(plan, {certificates.serverOptions(), certificates.clientContext(0)});
    std::printf(
        "%s over TLS, default limits: a crowd at the client's address holds %d connections without a "
        "handshake and opens %d more a second\n",
        server.c_str(), plan.held, plan.perSecond);
    std::printf("| figure | value |\n|---|---|\n");
    std::printf("| listed client's connects answered / tried | %d / %d |\n", f.succeeded, plan.tries);
    std::printf("| ... answered within %lld ms | %d |\n", static_cast<long long>(plan.goal.count()), f.withinGoal);
    std::printf("| connect to first answer p50 / max (ms) | %.1f / %.1f |\n", f.p50Ms, f.maxMs);
    std::printf("| crowd's connections opened | %ld |\n", f.crowdOpened);
    return f.withinGoal == plan.tries ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vexa::testbed;
    static constexpr vexa::ProgramText kProgram{
        "vexa_rpcscd_load_bench", vexa::kVersion,
        "vexa_rpcscd_load_bench [--clients N] [--churn N] [--apdus N] [--poll-ms MS] [--server PATH] [--tls | --crowd]",
        "vexa-rpcscd under load on the test bed's pcscd; prints one table. Needs VEXA_TESTBED_DIR."};
    static constexpr vexa::NumberRange kCount{1, 10'000'000, "a count"};
    static constexpr std::array<vexa::OptionSpec, 7> kOptions{{
        {"--clients", "N", "clients polling the readers' status (100)", kCount},
        {"--churn", "N", "connections made and dropped without releasing (10000)", kCount},
        {"--apdus", "N", "APDUs per card client (2000)", kCount},
        {"--poll-ms", "MS", "how often each client polls (100)", vexa::NumberRange{1, 60'000, "a time in ms"}},
        {"--server", "PATH", "the vexa-rpcscd to load"},
        {"--tls", "", "all of it over TLS, every client with one certificate"},
        {"--crowd", "", "a listed client's connects while peers without a certificate crowd its address"},
    }};
    int status = 0;
    const auto parsed = vexa::bench::benchOptions(argc, argv, kProgram, kOptions, status);
    if (!parsed) return status;
    LoadPlan plan{VEXA_RPCSCD, 100, 10000, 2000, std::chrono::milliseconds(100)};
    plan.clients = static_cast<int>(parsed->number("--clients", plan.clients));
    plan.churn = static_cast<int>(parsed->number("--churn", plan.churn));
    plan.apdus = static_cast<int>(parsed->number("--apdus", plan.apdus));
    plan.pollInterval = std::chrono::milliseconds(parsed->number("--poll-ms", plan.pollInterval.count()));
    plan.serverBinary = std::string(parsed->value("--server", plan.serverBinary));
    const bool tls = parsed->has("--tls");
    const bool crowd = parsed->has("--crowd");
    const std::string bed = joinTestbed();
    try {
        if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
        for (const char* card : {"/card0.sock", "/card1.sock"}) {
            CardControlClient control(std::string(bed) + card);
            control.require("reset");
            control.require("insert");
        }
        for (const char* reader : {"Virtual PCD 00 00", "Virtual PCD 00 01"})
            if (!waitForCard(reader, true, std::chrono::seconds(5))) throw std::runtime_error("no card");
        if (crowd) return crowding(plan.serverBinary);
        std::optional<TlsCertificates> certificates;
        LoadOverTls overTls;
        if (tls) {
            certificates.emplace(plan.serverBinary, 1);
            overTls.serverOptions = certificates->serverOptions();
            overTls.serverOptions.insert(overTls.serverOptions.end(),
                                         {"--max-per-peer", "128", "--max-connections", "256"});
            overTls.client = certificates->clientContext(0);
        }
        const LoadFigures f = tls ? runLoad(plan, overTls) : runLoad(plan);
        if (tls) std::printf("over TLS, every client with one certificate, --max-per-peer 128 --max-connections 256\n");
        std::printf("%s: %d clients polling every %lld ms, %d churned connections, %d APDUs per card client\n",
                    plan.serverBinary.c_str(), plan.clients, static_cast<long long>(plan.pollInterval.count()),
                    plan.churn, plan.apdus);
        std::printf("| figure | value |\n|---|---|\n");
        std::printf("| requests answered / failed / connections refused | %ld / %ld / %ld |\n", f.requests, f.failed,
                    f.refused);
        std::printf("| card clients' APDUs failed | %ld |\n", f.apduFailed);
        std::printf("| APDU p50 / p99 alone (us) | %.0f / %.0f |\n", f.aloneP50Us, f.aloneP99Us);
        std::printf("| APDU p50 / p99 under load (us) | %.0f / %.0f |\n", f.loadedP50Us, f.loadedP99Us);
        std::printf("| p99 under load / alone | %.2f |\n", f.aloneP99Us > 0 ? f.loadedP99Us / f.aloneP99Us : 0.0);
        std::printf("| peak RSS after %d churned / after all (KiB) | %ld / %ld |\n", plan.clients, f.peakKiBAfterFirst,
                    f.peakKiBAfterAll);
        std::printf("| RSS once they ended, after %d churned / after all (KiB) | %ld / %ld |\n", plan.clients,
                    f.residentKiBAfterFirst, f.residentKiBAfterAll);
        std::printf("| descriptors before / after | %d / %d |\n", f.fdsBefore, f.fdsAfter);
        std::printf("| threads before / after | %d / %d |\n", f.threadsBefore, f.threadsAfter);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexa_rpcscd_load_bench: %s\n", e.what());
        return 1;
    }
}
