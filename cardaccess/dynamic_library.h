#pragma once

#include <string>

#include "platform/dynamic_library.h"

namespace vexa {

// Owns one loaded library; unloaded by close() or the destructor.
// A name without "/" is looked up the usual dlopen way (LD_LIBRARY_PATH, the
// cache, the system directories); a name with "/" is that file, loaded only
// when it and its folder pass the trust rule (file_trust.h).
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    DynamicLibrary(DynamicLibrary&& other) noexcept = default;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    ~DynamicLibrary();

    // Not valid() when the library cannot be loaded; error() then says why.
    static DynamicLibrary open(const std::string& name);
    // The entry point, or nullptr when the library lacks it.
    void* symbol(const char* name) const;
    void close() noexcept;

    bool valid() const { return library_.valid(); }
    const std::string& error() const { return error_; }
    // Why the trust rule refused the file ("" when it did not).
    const std::string& refusal() const { return refusal_; }

private:
    platform::DynamicLibrary library_;
    std::string error_;
    std::string refusal_;
};

} // namespace vexa
