#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vexa {

struct NamedValue {
    std::string_view name;
    std::int32_t value;
};

// An ordered table of (name, value) pairs behind named configuration values
// such as log levels and interface types.
class NameTable {
public:
    constexpr explicit NameTable(std::span<const NamedValue> pairs) : pairs_(pairs) {}

    // The first name with that value, else "UNKNOWN".
    std::string nameOf(std::int32_t value) const {
        for (const auto& p : pairs_)
            if (p.value == value) return std::string(p.name);
        return "UNKNOWN";
    }
    std::size_t size() const { return pairs_.size(); }
    std::span<const NamedValue> pairs() const { return pairs_; }
    // Exact, case-sensitive match; false when the name is not in the table.
    bool find(std::string_view name, std::int32_t& value) const {
        for (const auto& p : pairs_)
            if (p.name == name) {
                value = p.value;
                return true;
            }
        return false;
    }

private:
    std::span<const NamedValue> pairs_;
};

} // namespace vexa
