#include "pcsc/reader_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vexa::pcsc;
using namespace std::string_literals;

TEST(ReaderListTest, NamesOfAMultiString) {
    const struct {
        std::string list;
        std::vector<std::string> names;
    } cases[] = {
        {"A\0B 00\0\0"s, {"A", "B 00"}},
        {"Only\0\0"s, {"Only"}},
        // A resource manager that leaves off the final NUL loses no name.
        {"A\0B"s, {"A", "B"}},
        {"A\0B\0"s, {"A", "B"}},
        // The empty name ends the list: what follows it is not a reader.
        {"A\0\0Hidden\0\0"s, {"A"}},
        {"\0"s, {}},
        {""s, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseReaderList(c.list), c.names) << testing::PrintToString(c.list);
}
