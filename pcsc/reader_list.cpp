#include "pcsc/reader_list.h"

#include <algorithm>

namespace vexa::pcsc {

std::vector<std::string> parseReaderList(std::string_view list) {
    std::vector<std::string> names;
    for (std::size_t at = 0; at < list.size() && list[at] != '\0';) {
        const std::size_t end = std::min(list.find('\0', at), list.size());
        names.emplace_back(list.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

} // namespace vexa::pcsc
