#pragma once

#include <any>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cardaccess/tov_chip_default_access.h"
#include "pcsc/notification_reader.h"
#include "support/tov_log.h"
#include "support/tov_mutex.h"

namespace vexa {

using pcsc::kNotificationReader;

// One entry of the reader inventory.
struct ScapiReader {
    enum State : std::int32_t { NONE = 0, IDLE = 1, IN_USE = 2, SWITCHED_OFF = 3 };

    std::int32_t interfaceType{}; // the row of the interface table that listed it
    std::string name;
    std::int32_t state = IDLE;
    // What the listing found beyond the name, for the interface's back end
    // (a CT-API terminal's CtapiSettings); else empty.
    std::any detail;
};

// The reader inventory: one ordered list of readers from the interface types
// that the configured type names (in the order of the interface table,
// reader_interfaces.h), and the card search over it. Short-lived
// and owned by one thread; it keeps no card connection of its own but
// drives the caller's TovChipDefaultAccess.
class ScapiManagement {
public:
    ScapiManagement() = default;
    ScapiManagement(const ScapiManagement&) = delete;
    ScapiManagement& operator=(const ScapiManagement&) = delete;
    ~ScapiManagement();

    // Lists the readers of the type (1 PC/SC, 2 remote, 3 CT-API, 4 all);
    // each listing step runs at most once per instance. 992301 when nothing
    // was listed. logLines enables the listing's log lines; notification
    // adds the PnP pseudo-reader as the last PC/SC reader.
    std::int32_t init(TovLog& log, std::int32_t type, const RemoteServers& remoteServers, bool logLines,
                      bool notification);
    std::int32_t getReaderCount();
    // "" for an index outside the list.
    std::string getReaderName(std::int32_t index) const;
    // Every entry, in list order.
    const std::vector<ScapiReader>& readers() const { return readers_; }
    // First exact match, else -1.
    std::int32_t findReader(std::string_view name) const;
    // Connects the card of an entry exclusively with T=0 or T=1.
    std::int32_t connectReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card);
    std::int32_t disconnectReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card);
    // The first card, trying the preferred reader first, that connects
    // exclusively, opens a transaction and selects the AIDs (hex text; empty:
    // none). On 0 the card stays connected in card with its transaction open;
    // else 992302, or 0x8010000B when a reader was held by someone else.
    std::int32_t searchCard(TovLog& log, TovChipDefaultAccess& card, std::string_view aid, std::string_view aid2,
                            std::string& readerName, std::string_view preferredReader);
    void clear();
    void clearLocked();

    bool isListed() const { return listed_; }

private:
    bool passesFilter(const ScapiReader& reader) const;
    // Connect, transaction, selections; the last result.
    std::int32_t tryReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card, std::string_view aid,
                           std::string_view aid2);
    bool validIndex(std::int32_t index) const {
        return index >= 0 && index < static_cast<std::int32_t>(readers_.size());
    }

    std::vector<ScapiReader> readers_;
    bool listed_ = false;
    std::vector<std::int32_t> listedTypes_; // whose listing step is done
    std::int32_t interfaceType_{};
    TovMutex lock_;
};

} // namespace vexa
