#include "platform/dynamic_library.h"

#include <utility>

// The owner's moves and end, the same on every system; loading and closing
// are each system's own.
namespace vexa::platform {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        std::string ignored;
        close(ignored);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    std::string ignored;
    close(ignored);
}

} // namespace vexa::platform
