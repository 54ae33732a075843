#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <vector>

#include "support/file_handle.h"

namespace vexa {

// Where in the log file one control's own records stand, so that the control
// reads back its own records and never those of other processes sharing the
// file. Every copy of a log shares one ledger (the event monitor thread writes
// through a copy), hence the lock.
class LogLedger {
public:
    // Bytes [start, end) of the file, and a hash of what was written there:
    // a stretch is trusted only while the file still holds those bytes.
    struct Stretch {
        std::int64_t start = 0;
        std::int64_t end = 0;
        std::uint64_t hash = 0;
    };

    // Notes a record written at start of the file with this identity. A
    // record in another file (the log was rotated or renamed) starts the
    // ledger afresh.
    void add(const FileIdentity& file, std::int64_t start, std::string_view record);
    // The stretches noted in that file, oldest first; none for any other file.
    std::vector<Stretch> stretches(const FileIdentity& file) const;
    // True when bytes are exactly what was written at the stretch.
    static bool holds(const Stretch& stretch, std::string_view bytes);

private:
    mutable std::mutex lock_;
    FileIdentity file_;
    std::deque<Stretch> stretches_;
};

} // namespace vexa
