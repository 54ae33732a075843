#pragma once

namespace vexa::ctapi {

// A CT-API return code, thrown inside the driver and returned by the entry
// point that called in.
struct CtError {
    signed char code;
};

} // namespace vexa::ctapi
