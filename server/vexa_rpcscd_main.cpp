// vexa-rpcscd: serves the local pcscd's readers to remote PC/SC clients.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/signals.h"
#include "platform/std_streams.h"
#include "platform/system.h"
#include "rpcsc/wire_message.h"
#include "server/cert_tool.h"
#include "server/rpcsc_server.h"
#include "server/tls_serving.h"
#include "support/option_parser.h"
#include "support/version.h"

namespace {

const std::string kPortHelp =
    "the TCP port (default " + std::to_string(vexa::wire::kDefaultPort) + "; 0: any free port)";

const std::array<vexa::OptionSpec, 14> kOptions{{
    {"--listen", "ADDRESS", "the address to listen on (default 127.0.0.1)"},
    {"--port", "PORT", kPortHelp, vexa::NumberRange{0, 65535, "a port number"}},
    {"--allow", "BLOCKS",
     "peers allowed, as ADDRESS[/BITS][,...]; repeatable;\n"
     "the first replaces the default 127.0.0.0/8,::1"},
    {"--max-connections", "N", "connections at once (default 128)", vexa::NumberRange{1, 1024}},
    {"--max-per-peer", "N",
     "connections from one address (default 32); over TLS with one\n"
     "client certificate, and unfinished handshakes from one address\n"
     "(the oldest gives way to a newcomer)",
     vexa::NumberRange{1, 1024}},
    {"--idle-timeout", "SECONDS", "drop a client silent this long (default 60)",
     vexa::NumberRange{1, 86400, "a number of seconds"}},
    {"--line-timeout", "SECONDS", "time for one request line (default 10)",
     vexa::NumberRange{1, 3600, "a number of seconds"}},
    {"--verbose", "", "log every request"},
    {"--log-timestamps", "WHEN",
     "stamp log lines with the time: yes, no, or auto\n"
     "(default): not when standard error is the journal",
     std::nullopt, "yes|no|auto"},
    {"--tls-cert", "FILE",
     "serve TLS 1.3 with this certificate (PEM, chain after it);\n"
     "with --tls-key, --tls-client-ca and --tls-clients"},
    {"--tls-key", "FILE", "the private key of --tls-cert (PEM)"},
    {"--tls-client-ca", "FILE", "the CA certificate every client's certificate must come from"},
    {"--tls-clients", "FILE",
     "the client certificates admitted over TLS, one SHA-256\n"
     "fingerprint a line, each optionally with its readers;\n"
     "all four re-read on SIGHUP"},
    {"--check", "",
     "read the TLS files and the clients file as a start or a reload\n"
     "would, say what is wrong, and end: 0 when all can be used,\n"
     "1 otherwise; serves nothing"},
}};

constexpr vexa::ProgramText kProgram{
    "vexa-rpcscd", vexa::kVersion,
    "vexa-rpcscd [--listen ADDRESS] [--port PORT] [--allow BLOCKS]...\n"
    "            [--max-connections N] [--max-per-peer N] [--idle-timeout SECONDS]\n"
    "            [--line-timeout SECONDS] [--verbose] [--log-timestamps yes|no|auto]\n"
    "            [--tls-cert FILE --tls-key FILE --tls-client-ca FILE --tls-clients FILE]\n"
    "vexa-rpcscd --check [the same options]\n"
    "vexa-rpcscd certs init|server|client ... (see vexa-rpcscd certs --help)",
    vexa::platform::kWindows ? "Serves this machine's PC/SC readers to remote VEXA clients. Logs to standard\n"
                               "error; Ctrl-C, Ctrl-Break and closing its console end it cleanly."
                             : "Serves this machine's PC/SC readers to remote VEXA clients. Logs to standard\n"
                               "error; SIGTERM and SIGINT end it cleanly."};

// The TLS options' files: all of them or none, since a half-configured TLS
// server must not come up as plain, nor admit every certificate its CA ever
// signed. False (refused, status 2) when only some are given.
bool tlsFileOptions(vexa::OptionParser& parser, const vexa::ParsedOptions& parsed,
                    std::optional<vexa::rpcsc::TlsServing>& tls) {
    constexpr std::array<std::string_view, 4> kNames{"--tls-cert", "--tls-key", "--tls-client-ca", "--tls-clients"};
    const auto given = std::count_if(kNames.begin(), kNames.end(), [&](auto name) { return parsed.has(name); });
    if (given == 0) return true;
    for (const std::string_view name : kNames) {
        if (!parsed.has(name)) {
            parser.refuse(name, "--tls-cert, --tls-key, --tls-client-ca and --tls-clients go together");
            return false;
        }
    }
    tls = vexa::rpcsc::TlsServing{
        {std::string(parsed.value("--tls-cert", "")), std::string(parsed.value("--tls-key", "")),
         std::string(parsed.value("--tls-client-ca", ""))},
        std::string(parsed.value("--tls-clients", ""))};
    return true;
}

// Sets the server up for TLS; false (refused, status 2) when a file cannot
// be used.
bool serveTlsFiles(vexa::OptionParser& parser, const vexa::rpcsc::TlsServing& tls,
                   vexa::rpcsc::ServerOptions& options) {
    auto clients = std::make_shared<vexa::rpcsc::TlsClientsFile>(tls.clients);
    if (vexa::rpcsc::ClientsFileError error; !clients->load(error)) {
        parser.refuse("--tls-clients", error.text());
        return false;
    }
    if (std::string failure; !vexa::rpcsc::serveTls(tls.files, clients, options, failure)) {
        parser.refuse("--tls-cert", failure);
        return false;
    }
    return true;
}

// --check: every problem of the files on standard error, and the status.
int checkFiles(const std::optional<vexa::rpcsc::TlsServing>& tls) {
    if (!tls) {
        std::cout << "vexa-rpcscd: plain TCP, no files to check\n";
        return 0;
    }
    std::size_t clients = 0;
    const std::vector<std::string> problems = vexa::rpcsc::checkTlsFiles(*tls, clients);
    for (const std::string& problem : problems) std::cerr << "vexa-rpcscd: " << problem << '\n';
    if (!problems.empty()) return 1;
    std::cout << "vexa-rpcscd: the TLS files can be used; " << clients << " client certificates in " << tls->clients
              << '\n';
    return 0;
}

// The options, or the exit status when the program must end now.
std::optional<vexa::rpcsc::ServerOptions> serverOptions(vexa::OptionParser& parser, std::span<char* const> args,
                                                        bool& stamped, bool& check,
                                                        std::optional<vexa::rpcsc::TlsServing>& tls) {
    const auto parsed = parser.parse(args);
    if (!parsed) return std::nullopt;
    vexa::rpcsc::ServerOptions options;
    options.address = parsed->value("--listen", options.address);
    options.port = static_cast<std::uint16_t>(parsed->number("--port", options.port));
    options.maxConnections =
        static_cast<std::size_t>(parsed->number("--max-connections", static_cast<long long>(options.maxConnections)));
    options.maxPerPeer =
        static_cast<std::size_t>(parsed->number("--max-per-peer", static_cast<long long>(options.maxPerPeer)));
    options.idleTimeoutMs = static_cast<std::int32_t>(parsed->number("--idle-timeout", 60) * 1000);
    options.lineTimeoutMs = static_cast<std::int32_t>(parsed->number("--line-timeout", 10) * 1000);
    options.verbose = parsed->has("--verbose");
    // The first --allow replaces the loopback default, later ones add to it.
    vexa::rpcsc::AllowList allow;
    for (std::string_view blocks : parsed->values("--allow")) {
        std::string error;
        if (!allow.add(blocks, error)) {
            parser.refuse("--allow", error);
            return std::nullopt;
        }
    }
    if (!allow.empty()) options.allow = std::move(allow);
    if (!tlsFileOptions(parser, *parsed, tls)) return std::nullopt;
    check = parsed->has("--check");
    const std::string_view stamps = parsed->value("--log-timestamps", "auto");
    stamped = stamps == "yes" || (stamps == "auto" && !vexa::platform::standardErrorIsJournal());
    return options;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "certs") {
        const std::vector<std::string_view> args(argv + 2, argv + argc);
        return vexa::rpcsc::runCertTool(args);
    }
    vexa::OptionParser parser(kProgram, kOptions);
    bool stamped = true;
    bool check = false;
    std::optional<vexa::rpcsc::TlsServing> tls;
    const auto parsed = serverOptions(parser, std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)),
                                      stamped, check, tls);
    if (!parsed) return parser.exitStatus();
    if (check) return checkFiles(tls);
    vexa::rpcsc::ServerOptions options = *parsed;
    if (tls && !serveTlsFiles(parser, *tls, options)) return parser.exitStatus();
    // Blocked in every thread and read through a handle by the
    // accepting loop, so a signal never interrupts a connection's work.
    const vexa::platform::StopSignals stopSignals(vexa::platform::StopSignals::AtEnd::keepMask);
    if (!stopSignals.valid()) {
        std::cerr << "vexa-rpcscd: signalfd: " << std::strerror(errno) << '\n';
        return 1;
    }
    vexa::platform::ignoreBrokenPipes();
    vexa::rpcsc::ServerLog log(options.verbose, stamped);
    // SIGHUP re-reads a TLS server's files; a plain server has none, but
    // lives on, so that one service manager's reload suits both.
    std::optional<vexa::platform::ReloadSignal> reloadSignal;
    if (!vexa::platform::kWindows) {
        reloadSignal.emplace();
        if (!reloadSignal->valid()) {
            std::cerr << "vexa-rpcscd: signalfd: " << std::strerror(errno) << '\n';
            return 1;
        }
        auto files = options.reload ? options.reload : [](vexa::rpcsc::ServerLog& log) {
            log.info("Nothing to re-read: this server serves plain TCP");
        };
        options.reloadSignal = reloadSignal->handle();
        options.reload = [&signal = *reloadSignal, files](vexa::rpcsc::ServerLog& log) {
            signal.take();
            files(log);
        };
    }
    if (options.clients)
        log.info("Admitting " + std::to_string(options.clients->size()) + " client certificates from " +
                 options.clients->path());
    int status = 1;
    {
        vexa::rpcsc::RpcscServer server(options, log);
        if (server.listen()) {
            server.run(stopSignals.handle());
            status = 0;
        }
    }
    return status;
}
