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
        log_.setOutputMode(TovLog::File);
        log_.setThreshold(LOG_TRACE);
        log_.setLogFile("", "", log.string());
        log_.open();
        initialised = 1;
        log_.liftCap();
    }
    std::int32_t lastErrorValue() const { return lastError; }
};

} // namespace vexa::testing
