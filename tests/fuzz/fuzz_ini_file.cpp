// INI files are written by other software on the user's machine.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vexa::IniFile ini;
    const std::int32_t count = ini.parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (count < 0 || ini.sections().empty() || ini.sections()[0].name != "GLOBAL") std::abort();
    // Every header and entry counted is kept, each within its width.
    std::size_t kept = ini.sections().size() - 1;
    for (const auto& section : ini.sections()) {
        if (section.name.empty() || section.name.size() > vexa::IniFile::kMaxName) std::abort();
        for (const auto& entry : section.entries)
            if (entry.key.size() > vexa::IniFile::kMaxName || entry.value.size() > vexa::IniFile::kMaxValue)
                std::abort();
        kept += section.entries.size();
    }
    if (kept != static_cast<std::size_t>(count)) std::abort();
    return 0;
}
