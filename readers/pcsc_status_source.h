#pragma once

#include "pcsc/context.h"
#include "readers/reader_status_source.h"

namespace vexa {

// State changes from the local PC/SC resource manager, on a context of the
// monitor's own: each query blocks in the resource manager until a card or
// reader changes, up to one pass interval, so changes arrive at once.
class PcscStatusSource : public ReaderStatusSource {
public:
    ~PcscStatusSource() override;

    void open() override;
    bool query(std::span<SCARD_READERSTATE> states) override;
    bool waits() const override { return true; }
    void cancel() override;
    void close() override { context_.release(); }

private:
    pcsc::Context context_;
};

} // namespace vexa
