#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rpcsc/tls_stream.h"

namespace vexa::testbed {

// A load run against a vexa-rpcscd of its own on loopback, serving the test
// bed's pcscd: card clients exchange APDUs on both readers alone, then while
// `clients` others (each from an address of its own, 127.0.0.10 upwards)
// establish a context, list readers and poll the readers' status; then
// `churn` connections from `clients` clients at once establish a context and
// leave without releasing it.
struct LoadPlan {
    std::string serverBinary;
    int clients = 8;
    int churn = 200;
    int apdus = 300; // per card client, alone and again under load
    // Pause between a polling client's requests: the plug-in's event monitor
    // asks every 100 ms.
    std::chrono::milliseconds pollInterval{100};
};

// A load run over TLS: the server's options (its --tls-* options and
// limits) and the context whose certificate every client shows.
struct LoadOverTls {
    std::vector<std::string> serverOptions;
    std::shared_ptr<const TlsContext> client;
};

struct LoadFigures {
    long requests = 0;   // answered by the polling and churning clients
    long failed = 0;     // requests without an answer or with a failure code
    long refused = 0;    // connections closed before their first answer
    long apduFailed = 0; // card clients' APDUs without the right answer
    double aloneP50Us = 0, aloneP99Us = 0, loadedP50Us = 0, loadedP99Us = 0;
    long peakKiBAfterFirst = 0; // server's peak RSS after the load and `clients` churned connections
    long peakKiBAfterAll = 0;   // ... after every churned connection
    // The server's memory in use once those connections' threads ended.
    long residentKiBAfterFirst = 0;
    long residentKiBAfterAll = 0;
    int fdsBefore = 0, fdsAfter = 0, threadsBefore = 0, threadsAfter = 0;
};

// Runs the plan, over plain TCP or TLS; throws std::runtime_error when the server or the cards
// cannot be set up.
LoadFigures runLoad(const LoadPlan& plan);
LoadFigures runLoad(const LoadPlan& plan, const LoadOverTls& tls);

// A TLS server with its default limits, crowded from the listed client's
// own address: a crowd holds `held` connections that never start a
// handshake and opens `perSecond` more each second (closing its oldest, so
// that it holds that many), while the listed client connects `tries` times,
// one every `between`, each time up to its first answer (a context).
struct CrowdPlan {
    std::string serverBinary;
    int held = 200;
    int perSecond = 100;
    int tries = 50;
    std::chrono::milliseconds between{100};
    std::chrono::milliseconds goal{3000}; // for a try's connect and first answer
};

struct CrowdFigures {
    int succeeded = 0;  // tries answered
    int withinGoal = 0; // ... within the plan's goal
    double p50Ms = 0;   // of the answered tries, connect to first answer
    double maxMs = 0;
    long crowdOpened = 0; // connections the crowd opened in all
};

// Throws std::runtime_error when the server or the crowd cannot be set up.
CrowdFigures runCrowding(const CrowdPlan& plan, const LoadOverTls& tls);

} // namespace vexa::testbed
