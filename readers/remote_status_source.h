#pragma once

#include <string>

#include "cardaccess/remote_pcsc_client.h"
#include "readers/reader_status_source.h"

namespace vexa {

// State changes from the remote PC/SC servers of the list, over a client of
// the monitor's own.
class RemoteStatusSource : public ReaderStatusSource {
public:
    explicit RemoteStatusSource(RemoteServers servers) : servers_(std::move(servers)) {}
    void open() override;
    bool query(std::span<SCARD_READERSTATE> states) override;
    void close() override { client_.closeAll(); }

private:
    RemoteServers servers_;
    RemotePcscClient client_;
};

} // namespace vexa
