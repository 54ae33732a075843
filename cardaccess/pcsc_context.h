#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// Owns one PC/SC resource-manager context: established by establish(),
// released by release() or, failing that, by the destructor.
class PcscContext {
public:
    PcscContext() = default;
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;
    PcscContext(PcscContext&& other) noexcept;
    PcscContext& operator=(PcscContext&& other) noexcept;
    ~PcscContext();

    // SCardEstablishContext with the user scope; throws TovException with
    // "SCardEstablishContext () unsuccessful" on failure.
    static PcscContext establish();
    // SCardReleaseContext; 0 when there was none.
    std::int32_t release() noexcept;

    // The readers' names in the resource manager's order; empty when there
    // is no reader. Throws TovException with "SCardListReaders ()
    // unsuccessful" on any other failure.
    std::vector<std::string> listReaders() const;

    SCARDCONTEXT get() const { return context_; }
    bool valid() const { return valid_; }

private:
    SCARDCONTEXT context_ = 0;
    bool valid_ = false;
};

} // namespace vexa
