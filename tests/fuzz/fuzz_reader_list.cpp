// The reader list a PC/SC resource manager hands back: outside input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pcsc/reader_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view list(reinterpret_cast<const char*>(data), size);
    std::string joined;
    for (const std::string& name : vexa::pcsc::parseReaderList(list)) {
        // Every name is a whole, non-empty entry of the list, in order.
        if (name.empty() || name.find('\0') != std::string::npos) std::abort();
        joined += name;
        joined += '\0';
    }
    if (list.substr(0, joined.size()) != std::string_view(joined).substr(0, list.size())) std::abort();
    return 0;
}
