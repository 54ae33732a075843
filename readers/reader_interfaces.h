#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "cardaccess/card_interfaces.h"
#include "cardaccess/tov_chip_default_access.h"
#include "readers/reader_status_source.h"
#include "readers/scapi_management.h"
#include "support/byte_buffer.h"
#include "support/tov_log.h"

namespace vexa {

// What one interface's listing step of a reader inventory works with.
struct ReaderListing {
    std::int32_t type; // of the row listing
    TovLog& log;
    const RemoteServers& remoteServers;
    bool logLines;                     // write the listing's log lines
    bool notification;                 // add the PnP pseudo-reader where there is one
    std::vector<ScapiReader>& readers; // the inventory's list, appended to
};

// What a reader shows of its card without a connection: the PC/SC event
// state (only SCARD_STATE_EMPTY or SCARD_STATE_PRESENT where the interface
// knows no more) and the ATR where it can be read.
struct CardLook {
    std::uint32_t state = 0;
    ByteBuffer atr;
};

// One reader interface type as the reader layer knows it: the rest of the
// row whose card-layer part is cardaccess/card_interfaces.h (name, back end,
// failure texts). The rows here follow the order of the rows there.
struct ReaderInterface {
    InterfaceType type;
    // Appends the interface's readers; the code that fails the inventory.
    // done: the step need not run again on the same inventory.
    std::int32_t (*list)(const ReaderListing& listing, bool& done);
    // The status source of the event monitor; none when the interface has no
    // events, noEvents then says why.
    std::unique_ptr<ReaderStatusSource> (*makeStatusSource)(const RemoteServers& servers);
    std::string_view noEvents;
    // Its readers are on the configured remote servers, which only the
    // configuration file names: none without servers, and not chosen at run
    // time.
    bool needsServers;
    // Looks at a listed reader's card; 0 or the failure's code.
    std::int32_t (*lookAtCard)(TovLog& log, TovChipDefaultAccess& card, const ScapiReader& reader, CardLook& look);
};

std::span<const ReaderInterface> readerInterfaces();
// The row of a type; none for UNDEFINED, ALL and unknown numbers.
const ReaderInterface* readerInterface(std::int32_t type);
// The rows a configured type names: its own, all of them for ALL, none for
// UNDEFINED and unknown numbers.
std::vector<const ReaderInterface*> configuredInterfaces(std::int32_t type);
// Whether SetMode may choose the type.
bool choosableAtRunTime(std::int32_t type);

} // namespace vexa
