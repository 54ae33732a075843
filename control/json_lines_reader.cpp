#include "control/json_lines_reader.h"

#include <string_view>

namespace vexa {

JsonLinesReader::JsonLinesReader(std::istream& in, std::size_t maxBytes) : in_(in), maxBytes_(maxBytes) {}

bool JsonLinesReader::next(std::string& line) {
    using Traits = std::istream::traits_type;
    line.clear();
    std::streambuf* buffer = in_.rdbuf();
    if (buffer == nullptr) {
        return false;
    }
    bool readAnything = false;
    for (;;) {
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
