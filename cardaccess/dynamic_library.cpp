#include "cardaccess/dynamic_library.h"

#include <dlfcn.h>

#include <utility>

#include "cardaccess/fallback_log.h"

namespace vexa {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    close();
}

DynamicLibrary DynamicLibrary::open(const std::string& name) {
    DynamicLibrary library;
    // Local symbols: two drivers exporting the same CT_ names must not mix.
    library.handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle_ == nullptr) {
        const char* text = dlerror();
        library.error_ = text ? text : "dlopen failed";
    }
    return library;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::close() noexcept {
    if (handle_ == nullptr) return;
    if (dlclose(std::exchange(handle_, nullptr)) != 0) {
        try {
            TovLog log = fallbackLog();
            const char* text = dlerror();
            log.write(LOG_WARNING, std::string("Could not unload library: ") + (text ? text : "?"));
        } catch (...) {
            // Nothing more a destructor can do.
        }
    }
}

} // namespace vexa
