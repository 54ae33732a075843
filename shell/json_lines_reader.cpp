#include "shell/json_lines_reader.h"

#include <string_view>
#include <utility>

namespace vexa {

JsonLinesReader::JsonLinesReader(std::istream& in, std::size_t maxBytes, std::function<void()> awaitInput)
    : in_(in), maxBytes_(maxBytes), awaitInput_(std::move(awaitInput)) {}

bool JsonLinesReader::next(std::string& line) {
    using Traits = std::istream::traits_type;
    line.clear();
    std::streambuf* buffer = in_.rdbuf();
    if (buffer == nullptr) {
        return false;
    }
    bool readAnything = false;
    for (;;) {
        if (awaitInput_ && buffer->in_avail() <= 0) awaitInput_();
        const auto c = buffer->sbumpc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            return readAnything;
        }
        readAnything = true;
        const char ch = Traits::to_char_type(c);
        if (ch == '\n') {
            return true;
        }
        if (line.size() <= maxBytes_) {
            line += ch;
        }
    }
}

bool isBlankLine(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

} // namespace vexa
