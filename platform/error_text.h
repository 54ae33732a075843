#pragma once

#include <string>

namespace vexa::platform {

// The system's text for an errno value ("No space left on device"), safe to
// call from any thread.
std::string errorText(int errnoValue);

} // namespace vexa::platform
