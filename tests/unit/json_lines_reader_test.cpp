#include "shell/json_lines_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vexa {
namespace {

std::vector<std::string> readAll(const std::string& text, std::size_t maxBytes) {
    std::istringstream in(text);
    JsonLinesReader reader(in, maxBytes);
    std::vector<std::string> lines;
    std::string line;
    while (reader.next(line)) {
        lines.push_back(line);
    }
    return lines;
}

TEST(JsonLinesReader, SplitsAtLineEndsAndKeepsALastLineWithoutOne) {
    EXPECT_EQ(readAll("a\n\nb\r\nc", 10), (std::vector<std::string>{"a", "", "b\r", "c"}));
    EXPECT_EQ(readAll("a\n", 10), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(readAll("", 10).empty());
}

TEST(JsonLinesReader, KeepsOneByteMoreThanTheBoundAndDropsTheRest) {
    const auto lines = readAll("12345\n" + std::string(100, 'x') + "\nok", 5);
    EXPECT_EQ(lines, (std::vector<std::string>{"12345", "xxxxxx", "ok"}));
}

} // namespace
} // namespace vexa
