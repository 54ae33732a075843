#include "control/poll_for_input.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "core/chip_card_plugin.h"

namespace vexa {
namespace {

// poll's time-out until the plug-in's next deadline: -1 for none.
int timeoutFor(const ChipCardPlugin* plugin) {
    const auto deadline = plugin ? plugin->transactionDeadline() : std::nullopt;
    if (!deadline) return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - TovChipDefaultAccess::Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

} // namespace

int pollForInput(std::span<pollfd> fds, ChipCardPlugin* plugin) {
    for (;;) {
        const int ready = ::poll(fds.data(), fds.size(), timeoutFor(plugin));
        if (plugin != nullptr) plugin->endIdleTransaction();
        if (ready != 0) return ready;
    }
}

} // namespace vexa
