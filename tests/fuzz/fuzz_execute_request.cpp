// Server requests arrive from the page: any bytes must read as some request,
// and running one without a card must answer, never crash.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "core/chip_card_plugin.h"
#include "core/server_batch.h"
#include "support/byte_buffer.h"

namespace {

class Admitted : public vexa::ChipCardPlugin {
public:
    Admitted() {
        log_.setThreshold(vexa::LOG_OFF);
        initialised = 1;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    vexa::TlvBuffer in;
    if (!in.load(input)) std::abort();
    const vexa::ServerRequest request = vexa::readRequest(in);
    for (const auto& command : request.commands)
        if (command.apdu.length() > 255) std::abort(); // one narrow element holds it

    // What the writer makes of a request reads back the same (the header's
    // narrow integers aside, which a request may overflow).
    vexa::TlvBuffer written;
    written.allocate(vexa::kMessageCapacity);
    if (vexa::writeRequest(written, request)) {
        written.rewind();
        const vexa::ServerRequest back = vexa::readRequest(written);
        if (back.release != request.release || back.continueOnError != request.continueOnError ||
            back.commands.size() != request.commands.size())
            std::abort();
        for (std::size_t i = 0; i < back.commands.size(); ++i) {
            const auto& a = back.commands[i];
            const auto& b = request.commands[i];
            if (a.apdu.bytes().size() != b.apdu.bytes().size() ||
                !std::equal(a.apdu.bytes().begin(), a.apdu.bytes().end(), b.apdu.bytes().begin()) ||
                a.reconnect != b.reconnect || a.reconnectSeconds != b.reconnectSeconds ||
                a.stopOnSuccess != b.stopOnSuccess || a.controlCode != b.controlCode)
                std::abort();
        }
    }

    in.rewind();
    vexa::readResponse(in);

    // A reconnect with retries waits for its seconds, as a server asked: no
    // input for a fuzzer that must try thousands a second.
    for (const auto& command : request.commands)
        if (command.reconnect && command.reconnectSeconds != 0) return 0;

    static Admitted plugin;
    const std::string hex = vexa::ByteBuffer(input).toHex(false);
    const std::string response = plugin.ExecuteRequest(hex, 0, 0);
    // Without a card every request that is not a release gets a response.
    if (!request.release && response.empty() && plugin.GetLastErrorCode() != 992209) std::abort();
    return 0;
}
