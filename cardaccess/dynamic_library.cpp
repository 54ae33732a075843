#include "cardaccess/dynamic_library.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cardaccess/fallback_log.h"
#include "platform/path.h"
#include "support/file_trust.h"

namespace vexa {

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        library_ = std::move(other.library_);
        error_ = std::move(other.error_);
        refusal_ = std::move(other.refusal_);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    close();
}

namespace {

// Local symbols: two drivers exporting the same CT_ names must not mix.
// error receives the loader's text, with shown for the name it used.
platform::DynamicLibrary loadLibrary(const std::string& name, const std::string& shown, std::string& error) {
    platform::DynamicLibrary library = platform::DynamicLibrary::load(name, error);
    if (!library.valid() && error.starts_with(name)) error.replace(0, name.size(), shown);
    return library;
}

} // namespace

DynamicLibrary DynamicLibrary::open(const std::string& name) {
    DynamicLibrary library;
    // A bare name is found by the loader in the system's library folders or
    // the user's own LD_LIBRARY_PATH.
    if (std::none_of(name.begin(), name.end(), platform::isPathSeparator)) {
        library.library_ = loadLibrary(name, name, library.error_);
        return library;
    }
    // A file is loaded only when it passes the trust rule. Judged are the file
    // that the name leads to and its own folder, so nobody but the user and
    // root can swap it before the loader opens it. (Loading through the judged
    // descriptor's /proc path would not do: the loader takes a path it has
    // loaded before for that library.)
    const std::string file = platform::resolvedPath(name);
    if (file.empty()) {
        library.error_ = name + ": " + std::strerror(errno);
        return library;
    }
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
    library.library_ = loadLibrary(file, name, library.error_);
    return library;
}

void* DynamicLibrary::symbol(const char* name) const {
    return library_.symbol(name);
}

void DynamicLibrary::close() noexcept {
    if (std::string error; !library_.close(error)) {
        try {
            TovLog log = fallbackLog();
            log.write(LOG_WARNING, "Could not unload library: " + error);
        } catch (...) {
            // Nothing more a destructor can do.
        }
    }
}

} // namespace vexa
