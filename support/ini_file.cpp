#include "support/ini_file.h"

#include <new>
#include <span>
#include <system_error>

#include "platform/file.h"
#include "support/tov_file.h"

namespace vexa {
namespace {

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string_view skipBlanks(std::string_view text) {
    const auto start = text.find_first_not_of(' ');
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string cut(std::string_view text, std::size_t width) {
    return std::string(text.substr(0, width));
}

// The text after "=": leading blanks skipped, trailing blanks removed; a
// value of blanks alone keeps one blank.
std::string valueOf(std::string_view text) {
    if (text.empty()) return {};
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return " ";
    const auto last = text.find_last_not_of(' ');
    return cut(text.substr(first, last - first + 1), IniFile::kMaxValue);
}

} // namespace

std::int32_t IniFile::init(std::string_view path) {
    path_ = path;
    sections_.clear();
    if (path.empty() || !platform::factsOf(path_)) return kNoPath;
    sections_.push_back({"GLOBAL", {}});
    return 0;
}

std::int32_t IniFile::read() {
    refusal_.clear();
    TovFile file;
    file.setResolvedPath(path_);
    file.setTrustRequired(true);
    if (file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0) != 0) {
        refusal_ = file.refusal();
        return kCannotOpen;
    }
    const std::int64_t size = file.length();
    if (size < 0 || static_cast<std::uintmax_t>(size) > kMaxFileSize) return kCannotOpen;
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::uint32_t n = static_cast<std::uint32_t>(size);
    const int result = file.readBytes(std::span<char>(text), n);
    if (result != 0 && result != 4) return kCannotOpen;
    text.resize(n);
    return parse(text);
}

std::int32_t IniFile::parse(std::string_view text) {
    if (sections_.empty()) sections_.push_back({"GLOBAL", {}});
    std::int32_t count = 0;
    try {
        while (!text.empty()) {
            const auto end = text.find_first_of("\r\n");
            count += addLine(text.substr(0, std::min(end, text.size())).substr(0, kMaxLine));
            if (end == std::string_view::npos) break; // a last line without line end counts too
            // CR LF is one line end; a lone CR (old Mac files) ends the line by itself.
            const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
            text.remove_prefix(end + (crlf ? 2 : 1));
        }
    } catch (const std::bad_alloc&) {
        return kNoMemoryForEntry;
    }
    return count;
}

std::int32_t IniFile::addLine(std::string_view line) {
    line = skipBlanks(line);
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(' ') == std::string_view::npos) return 0;

    // "[" is looked for before "=": a=[b] is the header of section B.
    if (const auto open = line.find('['); open != std::string_view::npos) {
        const auto close = line.find(']');
        if (close == std::string_view::npos || close <= open + 1) return 0;
        sections_.push_back({cut(upperAscii(line.substr(open + 1, close - open - 1)), kMaxName), {}});
        return 1;
    }
    IniEntry entry;
    if (const auto equals = line.find('='); equals != std::string_view::npos) {
        const std::string_view key = line.substr(0, equals);
        entry.key = cut(key.substr(0, key.find(' ')), kMaxName);
        entry.value = valueOf(line.substr(equals + 1));
    } else {
        entry.key = cut(line.substr(0, line.find_last_not_of(' ') + 1), kMaxName);
    }
    sections_.back().entries.push_back(std::move(entry));
    return 1;
}

} // namespace vexa
