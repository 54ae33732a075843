#include "control/poll_for_input.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "core/chip_card_plugin.h"
#include "platform/input_wait.h"

namespace vexa {
namespace {

// The wait's time-out until the plug-in's next deadline: -1 for none.
int timeoutFor(const ChipCardPlugin* plugin) {
    const auto deadline = plugin ? plugin->transactionDeadline() : std::nullopt;
    if (!deadline) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - TovChipDefaultAccess::Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

} // namespace

int pollForInput(std::span<const platform::WaitHandle> handles, std::span<bool> ready, ChipCardPlugin* plugin) {
    for (;;) {
        const int count = platform::waitReadable(handles, ready, timeoutFor(plugin));
        if (plugin != nullptr) plugin->endIdleTransaction();
        if (count != 0) return count;
    }
}

} // namespace vexa
