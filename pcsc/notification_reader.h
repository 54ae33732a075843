#pragma once

#include <string_view>

namespace vexa::pcsc {

// The name a PC/SC status query watches for readers coming and going: no
// reader of its own, so a reader list shows it and a grant never hides it.
inline constexpr std::string_view kNotificationReader = "\\\\?PnP?\\Notification";

} // namespace vexa::pcsc
