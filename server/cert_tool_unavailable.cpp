// Where the server has no TLS (Windows), it makes no certificates either.
#include "server/cert_tool.h"

#include <iostream>

namespace vexa::rpcsc {

int runCertTool(std::span<const std::string_view>) {
    std::cerr << "vexa-rpcscd certs: TLS is served on Linux only; make the certificates there\n";
    return 1;
}

} // namespace vexa::rpcsc
