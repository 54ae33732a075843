#include "support/ini_file.h"

#include <gtest/gtest.h>

#include "temp_files.h"

using namespace vexa;
using vexa::test_support::TempDir;
using vexa::test_support::writeFile;

namespace {

IniFile parsed(std::string_view text) {
    IniFile ini;
    ini.parse(text);
    return ini;
}

TEST(IniFileTest, SectionsAndEntriesInFileOrder) {
    IniFile ini;
    const std::int32_t count = ini.parse(
        "top=1\n"
        "[CardReader]\n"
        "  Port = 1  \n"
        "key name=value\n"
        "OnlyKey\n"
        "[cardreader]\n"
        "Port=2\n"
        "Port=3\n");
    EXPECT_EQ(count, 8);
    const auto& s = ini.sections();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].name, "GLOBAL");
    ASSERT_EQ(s[0].entries.size(), 1u);
    EXPECT_EQ(s[0].entries[0].key, "top");
    EXPECT_EQ(s[1].name, "CARDREADER");
    ASSERT_EQ(s[1].entries.size(), 3u);
    EXPECT_EQ(s[1].entries[0].key, "Port");
    EXPECT_EQ(s[1].entries[0].value, "1");
    EXPECT_EQ(s[1].entries[1].key, "key");
    EXPECT_EQ(s[1].entries[1].value, "value");
    EXPECT_EQ(s[1].entries[2].key, "OnlyKey");
    EXPECT_EQ(s[1].entries[2].value, "");
    // Same names stay separate; nothing is merged or overwritten.
    EXPECT_EQ(s[2].name, "CARDREADER");
    ASSERT_EQ(s[2].entries.size(), 2u);
    EXPECT_EQ(s[2].entries[1].value, "3");
}

TEST(IniFileTest, CommentsBlanksAndMalformedLinesAreSkipped) {
    const IniFile ini = parsed(
        "# comment\n"
        "   \n"
        "\n"
        "   # indented comment\n"
        "[no end\n"
        "[]\n"
        "]wrong order[\n"
        "a=1 # trailing comment\n"
        "\tb=2\n"
        "c=   \n"
        "d=\n"
        "Only key   # note\n");
    ASSERT_EQ(ini.sections().size(), 1u);
    const auto& e = ini.sections()[0].entries;
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].value, "1");
    EXPECT_EQ(e[1].key, "\tb"); // tabs are not blanks here
    EXPECT_EQ(e[2].value, " "); // blanks alone keep one blank
    EXPECT_EQ(e[3].value, "");
    EXPECT_EQ(e[4].key, "Only key");
}

TEST(IniFileTest, BracketIsLookedForBeforeEquals) {
    const IniFile ini = parsed("a=[b]\nx=y\n");
    ASSERT_EQ(ini.sections().size(), 2u);
    EXPECT_EQ(ini.sections()[1].name, "B");
    EXPECT_EQ(ini.sections()[1].entries[0].key, "x");
}

TEST(IniFileTest, LineEndsOfEveryKindKeepEveryCharacter) {
    // CR LF, lone CR and LF; the last line has no line end and still counts.
    const IniFile ini = parsed("a=1\r\nb=2\rc=3\nd=4");
    const auto& e = ini.sections()[0].entries;
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[1].key, "b");
    EXPECT_EQ(e[2].key, "c");
    EXPECT_EQ(e[3].value, "4");
}

TEST(IniFileTest, OverlongFieldsAreCutToTheirWidths) {
    const std::string name(100, 'n'), key(100, 'k'), value(400, 'v');
    const IniFile ini = parsed("[" + name + "]\n" + key + "=" + value + "\n" + std::string(2000, 'x') + "\n");
    ASSERT_EQ(ini.sections().size(), 2u);
    EXPECT_EQ(ini.sections()[1].name, std::string(63, 'N'));
    const auto& e = ini.sections()[1].entries;
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].key, std::string(63, 'k'));
    EXPECT_EQ(e[0].value, std::string(255, 'v'));
    EXPECT_EQ(e[1].key, std::string(63, 'x'));
}

TEST(IniFileTest, FilesMissingUnreadableOrRead) {
    TempDir dir;
    IniFile ini;
    EXPECT_EQ(ini.init(dir.path + "/missing.ini"), IniFile::kNoPath);
    EXPECT_EQ(ini.init(""), IniFile::kNoPath);
    EXPECT_EQ(ini.init(dir.path), 0); // a directory exists but cannot be read as a file
    EXPECT_EQ(ini.read(), IniFile::kCannotOpen);

    const std::string path = dir.path + "/HBCIKRNL.INI";
    writeFile(path, "[CardReader]\r\nR1=Active\r\n");
    ASSERT_EQ(ini.init(path), 0);
    EXPECT_EQ(ini.read(), 2);
    EXPECT_EQ(ini.path(), path);
    ASSERT_EQ(ini.sections().size(), 2u);
    EXPECT_EQ(ini.sections()[1].entries[0].value, "Active");
}

} // namespace
