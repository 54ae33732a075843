#include "server/tls_serving.h"

namespace vexa::rpcsc {
namespace {

constexpr const char* kNoTls = "this build serves plain TCP only (TLS needs OpenSSL, built on Linux)";

} // namespace

bool serveTls(const TlsFiles&, std::shared_ptr<TlsClientsFile>, ServerOptions&, std::string& failure) {
    failure = kNoTls;
    return false;
}

std::vector<std::string> checkTlsFiles(const TlsServing&, std::size_t& clients) {
    clients = 0;
    return {kNoTls};
}

} // namespace vexa::rpcsc
