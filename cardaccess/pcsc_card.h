#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <string>

namespace vexa {

// Owns one PC/SC card handle. disconnect() ends it with the caller's
// disposition; a handle still held at destruction is disconnected with a
// reset, so no card stays claimed after its owner is gone.
class PcscCard {
public:
    PcscCard() = default;
    PcscCard(const PcscCard&) = delete;
    PcscCard& operator=(const PcscCard&) = delete;
    PcscCard(PcscCard&& other) noexcept;
    PcscCard& operator=(PcscCard&& other) noexcept;
    ~PcscCard();

    // SCardConnect; throws TovException with "SCardConnect () to reader
    // <name> unsuccessful" on failure. activeProtocol receives the protocol.
    static PcscCard connect(SCARDCONTEXT context, const std::string& reader, std::uint32_t shareMode,
                            std::uint32_t protocols, std::uint32_t& activeProtocol);
    // SCardDisconnect; 0 when there is no handle. The handle is gone
    // afterwards whatever the result.
    std::int32_t disconnect(std::uint32_t disposition) noexcept;

    SCARDHANDLE get() const { return handle_; }
    bool valid() const { return valid_; }

private:
    SCARDHANDLE handle_ = 0;
    bool valid_ = false;
};

} // namespace vexa
