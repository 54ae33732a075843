#pragma once

#include <cstdint>

namespace vexa {

// How readers are reached; the configuration key INTERFACE names them.
enum InterfaceType : std::int32_t {
    INTERFACE_UNDEFINED = 0,
    INTERFACE_PCSC = 1,
    INTERFACE_REMOTE_PCSC = 2,
    INTERFACE_CTAPI = 3,
    INTERFACE_ALL = 4, // inventories only: the readers of all three
};

} // namespace vexa
