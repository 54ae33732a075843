#pragma once

#include "pcsc/pcsc_api.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// What the event monitor remembers about one watched reader.
struct ReaderWatch {
    std::string name;
    bool cardPresent = false;
    bool cardError = false;
    bool inUse = false;
    // How the use was last reported (1 exclusive, 2 shared, 3 direct), so a
    // use is reported once, not again with every later change elsewhere.
    std::int32_t inUseMode = 0;
};

// The watched readers as one contiguous SCARD_READERSTATE array, the form
// the status query takes, each entry pointing at its own ReaderWatch (name
// and flags). The watches live on the heap so that entries can move within
// the array while their name pointers stay valid.
class ReaderStateList {
public:
    // A new entry starts unaware (current state 0) with all flags clear.
    void insert(std::size_t position, std::string_view name);
    void append(std::string_view name) { insert(size(), name); }
    // The later entries move up.
    void remove(std::size_t position);
    void clear();

    std::size_t size() const { return states_.size(); }
    bool empty() const { return states_.empty(); }
    SCARD_READERSTATE& state(std::size_t position) { return states_[position]; }
    ReaderWatch& watch(std::size_t position) { return *watches_[position]; }
    const std::string& name(std::size_t position) const { return watches_[position]->name; }
    std::span<SCARD_READERSTATE> states() { return states_; }

private:
    std::vector<SCARD_READERSTATE> states_;
    std::vector<std::unique_ptr<ReaderWatch>> watches_;
};

// Brings the list in line with the readers listed now (in inventory order):
// entries whose reader is gone are removed, new readers inserted where the
// inventory has them. Calls removed / added with each name.
// Both calls may throw; the list is then left part-way, which the caller's
// failure path drops anyway.
void refreshReaderStates(ReaderStateList& list, std::span<const std::string> readers,
                         const std::function<void(const std::string&)>& removed,
                         const std::function<void(const std::string&)>& added);

} // namespace vexa
