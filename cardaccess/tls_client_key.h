#pragma once

#include <string>

namespace vexa {

// Whether this user's TLS key may be used: it stays the user's secret only
// when no one else owns or may read it. False with failure saying why.
bool clientKeyTrusted(const std::string& path, std::string& failure);

} // namespace vexa
