// vexa-rpcscd: serves the local pcscd's readers to remote PC/SC clients.
//
//   vexa-rpcscd [--listen ADDRESS] [--port PORT] [--allow BLOCKS]...
//               [--max-connections N] [--max-per-peer N]
//               [--idle-timeout SECONDS] [--line-timeout SECONDS] [--verbose]
//
// Defaults: 127.0.0.1, port 35965, peers from 127.0.0.0/8 and ::1, 128
// connections, 4 per address, 60 s idle, 10 s per line. Logs to standard
// error; SIGTERM and SIGINT end it cleanly.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>

#include "server/rpcsc_server.h"

namespace {

constexpr const char* kUsage =
    "usage: vexa-rpcscd [--listen ADDRESS] [--port PORT] [--allow ADDRESS[/BITS][,...]]... [--max-connections N]\n"
    "                   [--max-per-peer N] [--idle-timeout SECONDS] [--line-timeout SECONDS] [--verbose]\n";

template <typename T>
bool number(std::string_view text, T& value, long long min, long long max) {
    long long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) return false;
    value = static_cast<T>(v);
    return true;
}

bool parseOptions(int argc, char** argv, vexa::rpcsc::ServerOptions& options) {
    // The first --allow replaces the loopback default, later ones add to it.
    vexa::rpcsc::AllowList allow;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string_view value = argv[++i];
        int seconds = 0;
        std::string error;
        if (arg == "--allow") {
            if (!allow.add(value, error)) {
                std::cerr << "vexa-rpcscd: --allow: " << error << '\n';
                return false;
            }
        } else if (arg == "--listen")
            options.address = value;
        else if (arg == "--port" && number<std::uint16_t>(value, options.port, 0, 65535))
            continue;
        else if (arg == "--max-connections" && number<std::size_t>(value, options.maxConnections, 1, 1024))
            continue;
        else if (arg == "--max-per-peer" && number<std::size_t>(value, options.maxPerPeer, 1, 1024))
            continue;
        else if (arg == "--idle-timeout" && number<int>(value, seconds, 1, 86400))
            options.idleTimeoutMs = seconds * 1000;
        else if (arg == "--line-timeout" && number<int>(value, seconds, 1, 3600))
            options.lineTimeoutMs = seconds * 1000;
        else
            return false;
    }
    if (!allow.empty()) options.allow = std::move(allow);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    vexa::rpcsc::ServerOptions options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    // Blocked in every thread and read through a descriptor by the
    // accepting loop, so a signal never interrupts a connection's work.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::cerr << "vexa-rpcscd: signalfd: " << std::strerror(errno) << '\n';
        return 1;
    }
    vexa::rpcsc::ServerLog log(options.verbose);
    int status = 1;
    {
        vexa::rpcsc::RpcscServer server(options, log);
        if (server.listen()) {
            server.run(stopFd);
            status = 0;
        }
    }
    close(stopFd);
    return status;
}
