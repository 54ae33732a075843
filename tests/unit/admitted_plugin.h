#pragma once

#include <filesystem>

#include "core/chip_card_plugin.h"

namespace vexa::testing {

// A plug-in whose page has been admitted, logging at TRACE to a file of the
// test's own.
class AdmittedPlugin : public ChipCardPlugin {
public:
    explicit AdmittedPlugin(const std::filesystem::path& log) { admit(log); }
    // Logs to the file and admits the page again, as after a Reset and Open.
    void admit(const std::filesystem::path& log) {
        setOutputMode(TovLog::File);
        setThreshold(LOG_TRACE);
        setLogFile("", "", log.string());
        open();
        initialised = 1;
        liftCap();
    }
    std::int32_t lastErrorValue() const { return lastError; }
};

} // namespace vexa::testing
