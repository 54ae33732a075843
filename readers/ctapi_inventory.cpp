#include "readers/ctapi_inventory.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/ctapi_reader.h"
#include "cardaccess/ctapi_terminals.h"
#include "support/text.h"

namespace vexa {

std::int32_t addCtapiReaders(const ReaderListing& listing, bool& done) {
    done = true;
    std::vector<CtapiReader> terminals; // unloads the drivers when it goes
    std::vector<std::string> failures;
    const std::int32_t result = listCtapiReaders(terminals, failures);
    if (listing.logLines) {
        // Why a declared terminal is missing, for whoever sets one up.
        for (const auto& failure : failures) listing.log.write(LOG_INFO, "CTAPI reader left out: " + failure);
        if (result != 0) listing.log.write(LOG_INFO, "No CTAPI readers found");
    }
    if (result != 0) return 0;
    for (const auto& terminal : terminals) {
        if (listing.logLines)
            listing.log.write(LOG_INFO, "Reader " + unsignedDecimal(listing.readers.size()) +
                                            ": CTAPI reader found: " + terminal.name());
        listing.readers.push_back({listing.type, terminal.name(), ScapiReader::IDLE, terminal.settings()});
    }
    return 0;
}

std::int32_t lookAtCtapiCard(TovLog&, TovChipDefaultAccess&, const ScapiReader& reader, CardLook& look) {
    const auto* settings = std::any_cast<CtapiSettings>(&reader.detail);
    CtapiReader terminal(settings != nullptr ? *settings : CtapiSettings{});
    std::uint8_t status = 0;
    const std::int32_t result = terminal.readerStatus(status);
    terminal.reset();
    if (result != 0) return result;
    look.state = status == 0 ? SCARD_STATE_EMPTY : SCARD_STATE_PRESENT;
    return 0;
}

} // namespace vexa
