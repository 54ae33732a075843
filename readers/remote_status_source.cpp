#include "readers/remote_status_source.h"

#include "cardaccess/card_error.h"
#include "support/tov_exception.h"

namespace vexa {

void RemoteStatusSource::open() {
    if (!client_.setServers(servers_))
        throw TovException(ERR_REMOTE_BAD_ADDRESS,
                           "rpcsc.setServer () unsuccessful in eventHandler (). Invalid server " + servers_.list());
}

bool RemoteStatusSource::query(std::span<SCARD_READERSTATE> states) {
    const std::int32_t result = client_.getStatusChange(0, 0, states);
    if (result == static_cast<std::int32_t>(SCARD_E_TIMEOUT)) return useChanged(states);
    if (result != 0)
        throw TovException(
            result, "rpcsc.getStatusChange () unsuccessful in eventHandler ()" + RemotePcscClient::errorSuffix(result));
    return true;
}

} // namespace vexa
