#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/memory_wipe.h"

// Text that may hold a secret (an APDU with a PIN in hex, a private key in
// PEM) and must leave no copy in memory that goes back to the heap. Kept
// beside wipeMemory so that every layer, the TLS sessions included, wipes
// through the same helper.
namespace vexa::platform {

// Hands out what std::allocator does and zeroes every block before it goes
// back, so a string that grows or dies leaves nothing behind on the heap.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        wipeMemory(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// A string whose every buffer is zeroed before release. Short strings live
// inside the object (small-string optimisation), where no allocator sees
// them: the destructor wipes that space too. It does not convert to
// std::string, so a copy that would escape the wiping cannot happen by
// accident; view() gives a std::string_view.
class SecureString : public WipedString {
public:
    using WipedString::WipedString;
    SecureString() = default;
    explicit SecureString(std::string_view text) : WipedString(text) {}
    SecureString(const SecureString&) = default;
    SecureString(SecureString&&) noexcept = default;
    SecureString& operator=(const SecureString&) = default;
    SecureString& operator=(SecureString&&) noexcept = default;
    SecureString& operator=(std::string_view text) {
        assign(text);
        return *this;
    }

    ~SecureString() {
        wipeBuffer();
        // Back into the object's own space, if the library keeps short
        // strings there: bytes from before the string outgrew it may remain.
        clear();
        shrink_to_fit();
        wipeBuffer();
    }

    std::string_view view() const noexcept { return {data(), size()}; }

private:
    void wipeBuffer() noexcept { wipeMemory(data(), capacity()); }
};

} // namespace vexa::platform

namespace vexa {
using platform::SecureString;
}
