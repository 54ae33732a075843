#include "tools/remote_pcsc_tool.h"

#include <ostream>
#include <string>
#include <string_view>

#include "cardaccess/tls_connector.h"
#include "core/chip_card_plugin.h"
#include "platform/file.h"
#include "rpcsc/certificate_fingerprint.h"
#include "support/option_parser.h"

namespace vexa {
namespace {

constexpr ProgramText kProgram{"vexa remote-pcsc", kVersion, "vexa remote-pcsc fingerprint",
                               "fingerprint prints the SHA-256 fingerprint of this user's certificate for\n"
                               "remote PC/SC servers over TLS (REMOTE_PCSC_TLS_CERT of the configuration\n"
                               "file), as the line the server's clients file takes. The administrator of\n"
                               "the server adds it there, followed by the readers granted.",
                               2};

int fingerprint(std::ostream& out, std::ostream& err) {
    const PluginSetup setup = readPluginSetup(StartupInputs{});
    const std::string& path = setup.remote.files.certificate;
    if (!platform::factsOf(path)) {
        err << "vexa remote-pcsc: no certificate at " << path << " (REMOTE_PCSC_TLS_CERT in " << setup.configuration
            << " may name another file)\n";
        return 1;
    }
    std::string failure;
    const auto hex = certificateFingerprint(path, failure);
    if (!hex) {
        err << "vexa remote-pcsc: " << failure << '\n';
        return 1;
    }
    out << rpcsc::fingerprintLine(*rpcsc::canonicalFingerprint(*hex)) << '\n';
    return 0;
}

} // namespace

int runRemotePcscTool(std::span<char* const> args, std::ostream& out, std::ostream& err) {
    static constexpr CommandSpec kCommands[] = {{"fingerprint"}};
    OptionParser parser(kProgram, {});
    parser.setStreams(out, err);
    if (!parser.parseCommand(args, kCommands)) return parser.exitStatus();
    return fingerprint(out, err);
}

} // namespace vexa
