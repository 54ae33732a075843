#pragma once

#include "readers/reader_interfaces.h"

namespace vexa {

// The usable terminals of HBCIKRNL.INI, each entry with its CtapiSettings as
// detail. A CT-API problem never fails the inventory.
std::int32_t addCtapiReaders(const ReaderListing& listing, bool& done);

// A CT-API terminal tells only whether a card is there: its ATR would take a
// reset.
std::int32_t lookAtCtapiCard(TovLog& log, TovChipDefaultAccess& card, const ScapiReader& reader, CardLook& look);

} // namespace vexa
