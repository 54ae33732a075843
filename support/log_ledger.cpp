#include "support/log_ledger.h"

namespace vexa {

namespace {

// Adjacent records join one stretch up to this size, so that reading a short
// tail never verifies more than this much before it.
constexpr std::int64_t kMaxStretchBytes = 1 << 20;
// Bounds the memory of a control that writes between many other writers; the
// oldest stretches go first.
constexpr std::size_t kMaxStretches = 65536;

// FNV-1a, 64 bit: continuing from the hash of a stretch gives the hash of the
// stretch and what follows it.
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::uint64_t continueHash(std::uint64_t hash, std::string_view bytes) {
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

} // namespace

void LogLedger::add(const FileIdentity& file, std::int64_t start, std::string_view record) {
    const std::int64_t end = start + static_cast<std::int64_t>(record.size());
    std::lock_guard guard(lock_);
    if (!(file == file_)) {
        stretches_.clear();
        file_ = file;
    }
    if (!stretches_.empty()) {
        Stretch& last = stretches_.back();
        if (last.end == start && end - last.start <= kMaxStretchBytes) {
            last.end = end;
            last.hash = continueHash(last.hash, record);
            return;
        }
    }
    stretches_.push_back({start, end, continueHash(kFnvOffset, record)});
    if (stretches_.size() > kMaxStretches) stretches_.pop_front();
}

std::vector<LogLedger::Stretch> LogLedger::stretches(const FileIdentity& file) const {
    std::lock_guard guard(lock_);
    if (!(file == file_)) return {};
    return {stretches_.begin(), stretches_.end()};
}

bool LogLedger::holds(const Stretch& stretch, std::string_view bytes) {
    return static_cast<std::int64_t>(bytes.size()) == stretch.end - stretch.start &&
           continueHash(kFnvOffset, bytes) == stretch.hash;
}

} // namespace vexa
