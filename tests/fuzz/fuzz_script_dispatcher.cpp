// Feeds arbitrary call lines to the dispatcher: it must answer every one with
// one line of valid JSON that holds either a result or an error.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "control/script_dispatcher.h"
#include "core/chip_card_plugin.h"

namespace {

// Reset must not read the real configuration, so the restart does nothing.
class QuietHost : public vexa::ScriptHost {
public:
    void restartPlugin() override {}
};

struct Harness {
    vexa::ChipCardPlugin plugin;
    QuietHost host;
    vexa::ScriptDispatcher dispatcher{plugin, host};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One plug-in for the whole run keeps each input cheap; its state carries
    // over between inputs as it would over a long page session.
    static Harness harness;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string answer = harness.dispatcher.handleLine(line);
    if (answer.find('\n') != std::string::npos) {
        std::abort();
    }
    const auto parsed = nlohmann::json::parse(answer, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("id") ||
        parsed.contains("result") == parsed.contains("error")) {
        std::abort();
    }
    return 0;
}
