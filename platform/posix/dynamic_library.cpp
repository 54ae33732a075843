#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <memory>
#include <utility>

namespace vexa::platform {

DynamicLibrary DynamicLibrary::load(const std::string& name, std::string& error) {
    DynamicLibrary library;
    library.handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle_ == nullptr) {
        const char* text = ::dlerror();
        error = text ? text : "dlopen failed";
    }
    return library;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? ::dlsym(handle_, name) : nullptr;
}

bool DynamicLibrary::close(std::string& error) noexcept {
    if (handle_ == nullptr || ::dlclose(std::exchange(handle_, nullptr)) == 0) return true;
    try {
        const char* text = ::dlerror();
        error = text ? text : "?";
    } catch (...) {
        // Out of memory for the text: the failure itself still shows.
    }
    return false;
}

std::string resolvedPath(const std::string& name) {
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(name.c_str(), nullptr), &::free);
    return real ? std::string(real.get()) : std::string();
}

} // namespace vexa::platform
