// Configuration files are written by users and other programs.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/setting_tables.h"
#include "support/registry.h"
#include "support/tov_conf.h"

namespace {

const std::string& scratchPath() {
    static const std::string path = "/tmp/vexa-fuzz-conf-" + std::to_string(getpid());
    return path;
}

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
    {
        std::ofstream out(scratchPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    vexa::TovConf conf;
    int line = 0;
    const int result = conf.load("", "", scratchPath(), kRows, line);
    if (line < 1) std::abort();
    // Whatever was read must be written and read back to the same values.
    if (result == vexa::TovConf::Ok && conf.save() == vexa::TovConf::Ok) {
        vexa::TovConf again;
        if (again.load("", "", scratchPath(), kRows, line) != vexa::TovConf::Ok) std::abort();
        for (const auto& row : kRows) {
            std::string a, b;
            std::int32_t x = 0, y = 0;
            // A carriage return before the line end is read as a Windows line end.
            if (conf.getText(row.name, a) != again.getText(row.name, b)) std::abort();
            if (a != b && a.find('\r') == std::string::npos) std::abort();
            if (conf.getInteger(row.name, x) != again.getInteger(row.name, y) || x != y) std::abort();
        }
    }
    return 0;
}
