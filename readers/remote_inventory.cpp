#include "readers/remote_inventory.h"

#include "cardaccess/card_error.h"
#include "cardaccess/remote_pcsc_client.h"
#include "support/text.h"

namespace vexa {
namespace {

std::int32_t listingFailed(const ReaderListing& listing, std::int32_t result, const std::string& unreachable) {
    if (result == pcsc::code(SCARD_E_NO_READERS_AVAILABLE)) result = 0;
    if (!listing.logLines) return result;
    if (result == pcsc::code(SCARD_E_NO_SERVICE))
        listing.log.write(LOG_ERROR, "PC/SC subsystem not started on remote server");
    else if (!unreachable.empty())
        listing.log.write(LOG_ERROR, "Cannot connect remote PS/SC server " + unreachable);
    else if (result != 0)
        listing.log.write(LOG_ERROR, "rpcsc.listReaders () unsuccessful" + cardErrorSuffix(result));
    return result;
}

} // namespace

std::int32_t addRemoteReaders(const ReaderListing& listing, bool& done) {
    TovLog& log = listing.log;
    RemotePcscClient client;
    if (!client.setServers(listing.remoteServers) || client.servers().empty()) {
        done = true;
        if (listing.logLines)
            log.write(LOG_WARNING, "Missing or invalid address for remote PC/SC server ('" +
                                       listing.remoteServers.list() + "'). Ignoring remote PC/SC readers.");
        return 0;
    }
    std::string names, unreachable;
    std::int32_t count = 0;
    std::int32_t result = client.listReaders(0, "", names, count, unreachable, listing.notification);
    client.closeAll();
    if (result != 0) return listingFailed(listing, result, unreachable);
    if (listing.logLines && !unreachable.empty())
        log.write(LOG_WARNING, "Cannot connect remote PS/SC server " + unreachable +
                                   " but other server(s) reached. Using readers of other servers.");
    done = true;
    if (listing.logLines) log.write(LOG_INFO, signedDecimal(count) + " remote PC/SC reader(s) found");
    for (std::int32_t i = 0; i < count && !names.empty(); ++i) {
        const std::size_t end = names.find("\r\n");
        std::string name = names.substr(0, end);
        names.erase(0, end == std::string::npos ? names.size() : end + 2);
        if (listing.logLines)
            log.write(LOG_INFO,
                      "Reader " + unsignedDecimal(listing.readers.size()) + ": remote PC/SC reader found: " + name);
        listing.readers.push_back({listing.type, std::move(name), ScapiReader::IDLE, {}});
    }
    return 0;
}

} // namespace vexa
