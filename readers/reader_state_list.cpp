#include "readers/reader_state_list.h"

#include <algorithm>
#include <iterator>

namespace vexa {

void ReaderStateList::insert(std::size_t position, std::string_view name) {
    position = std::min(position, size());
    auto watch = std::make_unique<ReaderWatch>();
    watch->name = name;
    SCARD_READERSTATE state{};
    state.szReader = watch->name.c_str();
    state.pvUserData = watch.get();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto offset = static_cast<std::ptrdiff_t>(position);
    watches_.insert(watches_.begin() + offset, std::move(watch));
    states_.insert(states_.begin() + offset, state);
}

void ReaderStateList::remove(std::size_t position) {
    if (position >= size()) return;
    const auto offset = static_cast<std::ptrdiff_t>(position);
    states_.erase(states_.begin() + offset);
    watches_.erase(watches_.begin() + offset);
}

void ReaderStateList::clear() {
    states_.clear();
    watches_.clear();
}

void refreshReaderStates(ReaderStateList& list, std::span<const std::string> readers,
                         const std::function<void(const std::string&)>& removed,
                         const std::function<void(const std::string&)>& added) {
    for (std::size_t n = 0; n < list.size();) {
        if (std::find(readers.begin(), readers.end(), list.name(n)) != readers.end()) {
            ++n;
            continue;
        }
        const std::string name = list.name(n);
        list.remove(n);
        removed(name);
    }
    std::size_t n = 0;
    std::size_t m = 0;
    for (; n < list.size() && m < readers.size(); ++n, ++m) {
        if (list.name(n) == readers[m]) continue;
        list.insert(n, readers[m]);
        added(readers[m]);
    }
    for (; m < readers.size(); ++m) {
        list.append(readers[m]);
        added(readers[m]);
    }
}

} // namespace vexa
