#include "server/tls_serving.h"

#include <memory>

namespace vexa::rpcsc {

bool serveTls(const TlsFiles& files, ServerOptions& options, std::string& failure) {
    auto context = TlsContext::server(files, failure);
    if (!context) return false;
    // Shared by the accepting thread and every session made from it.
    auto shared = std::make_shared<const TlsContext>(std::move(*context));
    options.streamFor = [shared](std::unique_ptr<TcpStream> tcp) -> std::unique_ptr<ByteStream> {
        return std::make_unique<TlsStream>(*shared, std::move(tcp));
    };
    return true;
}

} // namespace vexa::rpcsc
