#include "readers/pcsc_inventory.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_failure.h"
#include "pcsc/context.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

std::int32_t listReaders(const ReaderListing& listing, const pcsc::Context& context) {
    std::vector<std::string> names;
    try {
        names = pcscChecked([&] { return context.readers(); });
    } catch (const TovException& e) {
        if (listing.logLines) listing.log.write(LOG_ERROR, e.text() + cardErrorSuffix(e.code()));
        return e.code();
    }
    if (names.empty()) return 0;
    if (listing.notification) names.emplace_back(kNotificationReader);
    if (listing.logLines) listing.log.write(LOG_INFO, unsignedDecimal(names.size()) + " PC/SC reader(s) found");
    for (auto& name : names) {
        if (listing.logLines)
            listing.log.write(LOG_INFO,
                              "Reader " + unsignedDecimal(listing.readers.size()) + ": PC/SC reader found: " + name);
        listing.readers.push_back({listing.type, std::move(name), ScapiReader::IDLE, {}});
    }
    return 0;
}

} // namespace

std::int32_t addPcscReaders(const ReaderListing& listing, bool& done) {
    pcsc::Context context;
    try {
        context = pcscChecked([] { return pcsc::Context::open(); });
    } catch (const TovException& e) {
        if (e.code() == pcsc::code(SCARD_E_NO_READERS_AVAILABLE)) return 0;
        if (listing.logLines)
            listing.log.write(LOG_ERROR, e.code() == pcsc::code(SCARD_E_NO_SERVICE)
                                             ? "PC/SC subsystem not started"
                                             : e.text() + cardErrorSuffix(e.code()));
        return e.code();
    }
    done = true;
    const std::int32_t result = listReaders(listing, context);
    logFailedRelease("SCardReleaseContext", context.release());
    return result;
}

std::int32_t lookAtCardState(TovLog& log, TovChipDefaultAccess& card, const ScapiReader& reader, CardLook& look) {
    if (const std::int32_t result = card.getCardStatus(log, reader.interfaceType, reader.name, look.state); result != 0)
        return result;
    if ((look.state & SCARD_STATE_PRESENT) != 0 && (look.state & SCARD_STATE_MUTE) == 0)
        look.atr = card.getAtr(log, reader.interfaceType, reader.name);
    return 0;
}

} // namespace vexa
