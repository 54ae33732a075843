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
    OptionParser parser(kProgram, {});
    parser.setStreams(out, err);
    const auto parsed = parser.parse(args);
    if (!parsed) return parser.exitStatus();
    const auto operands = parsed->operands();
    const std::string_view command = operands.empty() ? std::string_view() : operands[0];
    if (command == "fingerprint" && operands.size() == 1) return fingerprint(out, err);
    if (command == "fingerprint") return parser.refuse(operands[1], "unexpected argument");
    if (command.empty()) return parser.refuse("COMMAND", "missing: fingerprint");
    return parser.refuse(command, "unknown command (fingerprint)");
}

} // namespace vexa
