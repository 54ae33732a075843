#pragma once

#include "readers/reader_interfaces.h"

namespace vexa {

// The readers of the configured remote PC/SC servers, named
// "<address>:<port>:<name>". Without a valid server list there are none; a
// listing that fails may be tried again on the same inventory.
std::int32_t addRemoteReaders(const ReaderListing& listing, bool& done);

} // namespace vexa
