#pragma once

#include "pcsc/context.h"
#include "readers/reader_status_source.h"

namespace vexa {

// State changes from the local PC/SC resource manager, on a context of the
// monitor's own.
class PcscStatusSource : public ReaderStatusSource {
public:
    ~PcscStatusSource() override;

    void open() override;
    bool query(std::span<SCARD_READERSTATE> states) override;
    void close() override { context_.release(); }

private:
    pcsc::Context context_;
};

} // namespace vexa
