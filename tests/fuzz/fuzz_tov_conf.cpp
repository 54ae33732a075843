// Configuration files are written by users and other programs.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/setting_tables.h"
#include "support/registry.h"
#include "support/tov_conf.h"

namespace {

const std::array<vexa::ConfParameter, 6> kRows = {{
    {"LOGLEVEL", vexa::ConfParameter::Named, "", 8, &vexa::kLevelTable},
    {"LOGFILE", vexa::ConfParameter::Text, "vexa_ie.log", 0, nullptr},
    {"INTERFACE", vexa::ConfParameter::Named, "", 1, &vexa::kInterfaceTable},
    {"COUNT", vexa::ConfParameter::Integer, "", 0, nullptr},
    {"FLAG", vexa::ConfParameter::Boolean, "", 0, nullptr},
    {"PIN", vexa::ConfParameter::Digits, "", 0, nullptr},
}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vexa::TovConf conf;
    int line = 0;
    const int result = conf.loadText(text, kRows, line);
    if (line < 1) std::abort();
    // Whatever was read must be written and read back to the same values.
    std::string content;
    if (result == vexa::TovConf::Ok && conf.renderContent(content) == vexa::TovConf::Ok) {
        vexa::TovConf again;
        if (again.loadText(content, kRows, line) != vexa::TovConf::Ok) std::abort();
        for (const auto& row : kRows) {
            std::string a, b;
            std::int32_t x = 0, y = 0;
            if (conf.getText(row.name, a) != again.getText(row.name, b) || a != b) std::abort();
            if (conf.getInteger(row.name, x) != again.getInteger(row.name, y) || x != y) std::abort();
        }
    }
    return 0;
}
