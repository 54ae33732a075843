#include "cardaccess/dynamic_library.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <utility>

#include "cardaccess/fallback_log.h"
#include "support/file_trust.h"

namespace vexa {

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      error_(std::move(other.error_)),
      refusal_(std::move(other.refusal_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
        refusal_ = std::move(other.refusal_);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    close();
}

namespace {

// dlopen with local symbols: two drivers exporting the same CT_ names must
// not mix. error receives the loader's text, with shown for the name it used.
void* loadLibrary(const std::string& name, const std::string& shown, std::string& error) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        error = text ? text : "dlopen failed";
        if (error.starts_with(name)) error.replace(0, name.size(), shown);
    }
    return handle;
}

} // namespace

DynamicLibrary DynamicLibrary::open(const std::string& name) {
    DynamicLibrary library;
    // A bare name is found by the loader in the system's library folders or
    // the user's own LD_LIBRARY_PATH.
    if (name.find('/') == std::string::npos) {
        library.handle_ = loadLibrary(name, name, library.error_);
        return library;
    }
    // A file is loaded only when it passes the trust rule. Judged are the file
    // that the name leads to and its own folder, so nobody but the user and
    // root can swap it before the loader opens it. (Loading through the judged
    // descriptor's /proc path would not do: the loader takes a path it has
    // loaded before for that library.)
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
    if (!real) {
        library.error_ = name + ": " + std::strerror(errno);
        return library;
    }
    const std::string file(real.get());
    library.refusal_ = distrustOfFolders(file);
    if (library.refusal_.empty()) {
        const platform::File opened = platform::File::open(file, platform::FileAccess::Read, false);
        if (!opened.valid()) {
            library.error_ = name + ": " + std::strerror(errno);
            return library;
        }
        if (std::string why = distrustOfOpenFile(opened); !why.empty()) library.refusal_ = "'" + file + "' " + why;
    }
    if (!library.refusal_.empty()) {
        library.error_ = library.refusal_;
        return library;
    }
    library.handle_ = loadLibrary(file, name, library.error_);
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
