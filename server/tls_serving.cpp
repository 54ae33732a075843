#include "server/tls_serving.h"

#include <memory>

#include "platform/file.h"

namespace vexa::rpcsc {

namespace {

// The server's current TLS context: replaced by a reload on the accepting
// thread, which alone makes streams from it and judges open connections by
// it. A stream keeps the context it was made from for as long as it lives.
struct ServingState {
    TlsFiles files;
    std::shared_ptr<const TlsContext> context;
};

// OpenSSL would wait on a FIFO for a writer, holding the accepting thread:
// only regular files are handed to it (a missing one it names itself).
bool regularFiles(const TlsFiles& files, std::string& failure) {
    for (const std::string* path : {&files.certificate, &files.key, &files.ca}) {
        if (const auto facts = platform::factsOf(*path); facts && !facts->isRegular) {
            failure = *path + " is not a regular file";
            return false;
        }
    }
    return true;
}

std::shared_ptr<const TlsContext> loadContext(const TlsFiles& files, std::string& failure) {
    if (!regularFiles(files, failure)) return nullptr;
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
    options.untrusted = [state](const PeerCertificate& certificate) {
        return state->context->chainFailure(certificate);
    };
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

std::vector<std::string> checkTlsFiles(const TlsServing& tls, std::size_t& clients) {
    std::vector<std::string> problems;
    if (std::string failure; !loadContext(tls.files, failure)) problems.push_back(failure);
    ClientsFileError error;
    const auto table = TlsClients::read(tls.clients, error);
    // A reason without a line names the file itself.
    if (!table) problems.push_back(error.line == 0 ? error.reason : tls.clients + ": " + error.text());
    clients = table ? table->size() : 0;
    return problems;
}

} // namespace vexa::rpcsc
