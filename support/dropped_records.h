#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace vexa {

// The records a log and its copies could not write (a full disk) since they
// last wrote one, so that the next record written can say what was lost.
// Every copy of a log shares one (the event monitor thread writes through a
// copy), hence the lock.
class DroppedRecords {
public:
    struct Count {
        std::size_t records = 0;
        // Why the latest of them could not be written.
        std::string reason;
    };

    void add(std::string_view reason) {
        std::lock_guard guard(lock_);
        ++count_.records;
        count_.reason = reason;
    }
    Count pending() const {
        std::lock_guard guard(lock_);
        return count_;
    }
    // Takes off the records that a notice now written in the file covers;
    // those dropped meanwhile stay for the next notice.
    void settle(std::size_t records) {
        std::lock_guard guard(lock_);
        count_.records -= std::min(records, count_.records);
    }

private:
    mutable std::mutex lock_;
    Count count_;
};

} // namespace vexa
