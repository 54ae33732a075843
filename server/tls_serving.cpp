#include "server/tls_serving.h"

#include <memory>

namespace vexa::rpcsc {

namespace {

// The server's current TLS context: replaced by a reload on the accepting
// thread, which alone makes streams from it. A stream keeps the context it
// was made from for as long as it lives.
struct ServingState {
    TlsFiles files;
    std::shared_ptr<const TlsContext> context;
};

std::shared_ptr<const TlsContext> loadContext(const TlsFiles& files, std::string& failure) {
    auto context = TlsContext::server(files, failure);
    if (!context) return nullptr;
    return std::make_shared<const TlsContext>(std::move(*context));
}

} // namespace

bool serveTls(const TlsFiles& files, std::shared_ptr<TlsClientsFile> clients, ServerOptions& options,
              std::string& failure) {
    auto state = std::make_shared<ServingState>(ServingState{files, loadContext(files, failure)});
    if (!state->context) return false;
    options.streamFor = [state](std::unique_ptr<TcpStream> tcp) -> std::unique_ptr<ByteStream> {
        return std::make_unique<TlsStream>(*state->context, std::move(tcp));
    };
    options.clients = clients;
    options.reload = [state, clients](ServerLog& log) {
        std::string why;
        if (auto context = loadContext(state->files, why)) {
            state->context = std::move(context);
            log.info("Re-read the server certificate " + state->files.certificate + ", its key and the CA " +
                     state->files.ca);
        } else {
            log.error("Keeping the server certificate as it was: " + why);
        }
        if (ClientsFileError error; clients->load(error))
            log.info("Re-read " + clients->path() + ": " + std::to_string(clients->size()) + " client certificates");
        else
            log.error("Keeping the client certificates as they were: " + clients->path() + ": " + error.text());
    };
    return true;
}

} // namespace vexa::rpcsc
