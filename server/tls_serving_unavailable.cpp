#include "server/tls_serving.h"

namespace vexa::rpcsc {

bool serveTls(const TlsFiles&, std::shared_ptr<TlsClientsFile>, ServerOptions&, std::string& failure) {
    failure = "this build serves plain TCP only (TLS needs OpenSSL, built on Linux)";
    return false;
}

} // namespace vexa::rpcsc
