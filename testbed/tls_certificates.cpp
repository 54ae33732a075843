#include "testbed/tls_certificates.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace vexa::testbed {
namespace {

// The lines of the command's output (its "Wrote ..." notes included) that
// start with prefix; throws with all of it when the command fails.
std::string output(const std::string& command, std::string_view prefix = "sha256 ") {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (::pclose(pipe) != 0) throw std::runtime_error(command + ": " + out);
    std::string kept;
    for (std::size_t at = 0, end; at < out.size(); at = end + 1) {
        end = std::min(out.find('\n', at), out.size());
        if (out.compare(at, prefix.size(), prefix) == 0) kept.append(out, at, end - at).append("\n");
    }
    return kept;
}

std::string clientName(int client) {
    return "client" + std::to_string(client);
}

} // namespace

TlsCertificates::TlsCertificates(const std::string& rpcscdBinary, int clients) : clients_(clients) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexa-tls-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = pattern;
    try {
        output(rpcscdBinary + " certs init " + dir_ + " --address 127.0.0.1");
        std::string lines;
        for (int i = 0; i < clients; ++i) lines += output(rpcscdBinary + " certs client " + dir_ + " " + clientName(i));
        std::ofstream(clientsFile()) << lines;
    } catch (...) {
        std::filesystem::remove_all(dir_);
        throw;
    }
}

TlsCertificates::~TlsCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> TlsCertificates::serverOptions() const {
    return {"--tls-cert",      dir_ + "/server-127.0.0.1.pem",
            "--tls-key",       dir_ + "/server-127.0.0.1.key",
            "--tls-client-ca", dir_ + "/ca.pem",
            "--tls-clients",   clientsFile()};
}

std::shared_ptr<const TlsContext> TlsCertificates::clientContext(int client) const {
    const std::string stem = dir_ + "/" + clientName(client % clients_);
    std::string failure;
    auto context = TlsContext::client({stem + ".pem", stem + ".key", dir_ + "/ca.pem"}, failure);
    if (!context) throw std::runtime_error("TLS client context: " + failure);
    return std::make_shared<const TlsContext>(std::move(*context));
}

StreamConnector TlsCertificates::connector(std::shared_ptr<const TlsContext> context) {
    return [context](std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                     std::unique_ptr<ByteStream>& stream) {
        std::string failure;
        return TlsStream::connect(*context, host, port, timeoutMs, stream, failure);
    };
}

} // namespace vexa::testbed
