#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// One "key = value" line of an INI file.
struct IniEntry {
    std::string key;   // as written, at most 63 characters
    std::string value; // at most 255 characters, possibly empty
};

// One [section]; duplicates of names and keys stay separate, in file order.
struct IniSection {
    std::string name; // upper case, at most 63 characters
    std::vector<IniEntry> entries;
};

// A tolerant reader of INI files written by other software (HBCIKRNL.INI):
// malformed lines are skipped, never reported. The first section is always
// "GLOBAL" and takes the entries before the first header.
class IniFile {
public:
    static constexpr std::int32_t kNoPath = -20010;
    static constexpr std::int32_t kNoMemory = -20009;
    static constexpr std::int32_t kCannotOpen = -20001;
    static constexpr std::int32_t kNoMemoryForSection = -20012;
    static constexpr std::int32_t kNoMemoryForEntry = -20013;

    static constexpr std::size_t kMaxName = 63;
    static constexpr std::size_t kMaxValue = 255;
    static constexpr std::size_t kMaxLine = 1023;
    // A larger file is no settings file: refused as unreadable.
    static constexpr std::uintmax_t kMaxFileSize = 4 * 1024 * 1024;

    // Remembers the path and starts the GLOBAL section; kNoPath when the path
    // does not exist.
    std::int32_t init(std::string_view path);
    // Reads the whole file: the number of headers and entries added, or
    // kCannotOpen. The file tells which driver libraries to load, so it is
    // read only when it passes the trust rule (file_trust.h); refusal() then
    // says why not.
    std::int32_t read();
    const std::string& refusal() const { return refusal_; }
    // The same over text already in memory.
    std::int32_t parse(std::string_view text);

    const std::string& path() const { return path_; }
    const std::vector<IniSection>& sections() const { return sections_; }

private:
    // 1 when the line added a header or an entry, else 0.
    std::int32_t addLine(std::string_view line);

    std::string path_;
    std::string refusal_;
    std::vector<IniSection> sections_;
};

} // namespace vexa
