#pragma once

#include "platform/unique_fd.h"

namespace vexa {

// The descriptor owner lives with the other operating-system parts.
using platform::UniqueFd;

} // namespace vexa
