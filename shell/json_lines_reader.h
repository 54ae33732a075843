#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <string>

namespace vexa {

// Splits a stream into lines without buffering more than a bound: of a line
// longer than maxBytes only the first maxBytes + 1 bytes are kept (enough to
// tell it is too long) and the rest is read and dropped.
class JsonLinesReader {
public:
    // awaitInput, when given, is called whenever the stream holds no byte
    // that can be read at once, so that the caller can wait its own way
    // (and do its own work meanwhile) instead of blocking in the read.
    JsonLinesReader(std::istream& in, std::size_t maxBytes, std::function<void()> awaitInput = {});

    // The next line without its "\n"; false at end of input. A last line
    // without a line end still counts.
    bool next(std::string& line);

private:
    std::istream& in_;
    std::size_t maxBytes_;
    std::function<void()> awaitInput_;
};

// Whether a line holds nothing but blanks, tabs and carriage returns.
bool isBlankLine(std::string_view line);

} // namespace vexa
