#pragma once

#include "readers/reader_interfaces.h"

namespace vexa {

// The readers of the local PC/SC resource manager; the notification reader
// after them when asked for. No readers is no failure.
std::int32_t addPcscReaders(const ReaderListing& listing, bool& done);

// A PC/SC reader's card, local or remote, by the reader's event state and,
// with a card that answers, its ATR.
std::int32_t lookAtCardState(TovLog& log, TovChipDefaultAccess& card, const ScapiReader& reader, CardLook& look);

} // namespace vexa
