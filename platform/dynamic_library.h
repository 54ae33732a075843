#pragma once

#include <string>

namespace vexa::platform {

// One loaded shared library; unloaded by close() or the destructor.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    ~DynamicLibrary();

    // Loads the library with every symbol bound now and kept to itself (two
    // libraries exporting the same names must not mix). A name without "/"
    // is looked up the loader's usual way. Not valid() on failure, with the
    // loader's text in error.
    static DynamicLibrary load(const std::string& name, std::string& error);
    // The entry point, or nullptr when the library lacks it.
    void* symbol(const char* name) const;
    // Unloads; false with the loader's text in error when that failed.
    bool close(std::string& error) noexcept;

    bool valid() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// The absolute path a name leads to, every link resolved; empty with errno
// set when there is none.
std::string resolvedPath(const std::string& name);

} // namespace vexa::platform
