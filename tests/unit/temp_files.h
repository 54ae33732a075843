#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "platform/path.h"

// Helpers for tests that touch files or the environment.
namespace vexa::test_support {

// Sets a variable, or removes it without a value (Windows has no setenv).
inline void setVariable(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
    _putenv_s(name, value ? value->c_str() : "");
#else
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
#endif
}

// A new directory with a random name below base; "" when none could be made.
inline std::string makeUniqueDirectory(const std::filesystem::path& base, const std::string& prefix) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path = base / (prefix + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(path, error)) return path.string();
    }
    return {};
}

// A fresh directory below the system temp directory, removed with its content.
struct TempDir {
    TempDir() : path(makeUniqueDirectory(std::filesystem::temp_directory_path(), "vexa-test-")) {}
    ~TempDir() { std::filesystem::remove_all(path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// The parts joined as this system joins a folder and a name ('\' on Windows).
inline std::string joinedPath(std::initializer_list<std::string_view> parts) {
    std::string path;
    for (std::string_view part : parts) {
        if (!path.empty()) path += platform::kPathSeparator;
        path += part;
    }
    return path;
}

// A text as a log line shows it: each backslash doubled (Windows paths hold
// them).
inline std::string asLogged(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\\') out += c;
    }
    return out;
}

inline std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Sets (or with nullopt removes) a variable and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setVariable(name, value);
    }
    ~ScopedEnv() { setVariable(name_, old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace vexa::test_support
