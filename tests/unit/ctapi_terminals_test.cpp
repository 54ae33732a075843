#include "cardaccess/ctapi_terminals.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "cardaccess/card_error.h"
#include "cardaccess/dynamic_library.h"
#include "temp_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace vexa;
using vexa::test_support::ScopedEnv;
using vexa::test_support::TempDir;
using vexa::test_support::writeFile;
namespace fs = std::filesystem;

namespace {

std::vector<CtapiTerminal> declared(std::string_view text, std::int32_t expected = 0) {
    IniFile ini;
    ini.parse(text);
    std::vector<CtapiTerminal> terminals;
    EXPECT_EQ(declaredTerminals(ini, terminals), expected);
    return terminals;
}

TEST(CtapiTerminalsTest, ActiveEntriesDeclareTerminalsInSectionOrder) {
    const auto terminals = declared(
        "[CardReader]\n"
        "Second=active\n"
        "Off=Inactive\n"
        "First=Active\n"
        "[first]\n"
        "CtDllName=libfirst.so\n"
        "Port= +7x\n"
        "ctdllname=ignored.so\n"
        "[SECOND]\n"
        "CtDllName=old.so\n"
        "CtDllName=/opt/second.so\n"
        "Port=2\n"
        "Port=3\n"
        "[Off]\n"
        "CtDllName=off.so\n"
        "[CardReader]\n"
        "Third=ACTIVE\n"
        "[Third]\n"
        "Port=1\n"
        "[Second]\n"
        "CtDllName=only_the_first_section_counts.so\n");
    ASSERT_EQ(terminals.size(), 3u);
    // Names as written in [CardReader], order of the sections in the file.
    EXPECT_EQ(terminals[0].settings.name, "First");
    EXPECT_EQ(terminals[0].settings.library, "libfirst.so");
    EXPECT_EQ(terminals[0].settings.port, 7);
    EXPECT_EQ(terminals[0].failure, "");
    EXPECT_EQ(terminals[1].settings.name, "Second");
    EXPECT_EQ(terminals[1].settings.library, "/opt/second.so");
    EXPECT_EQ(terminals[1].settings.port, 3);
    EXPECT_EQ(terminals[2].settings.name, "Third");
    EXPECT_EQ(terminals[2].failure, "CtDllName is undefined");
}

TEST(CtapiTerminalsTest, UnusableDeclarations) {
    declared("", ERR_NO_READER);
    declared("[CardReader]\nR=Active\n", ERR_NO_READER); // no section for R
    declared("[CardReader]\nR=Off\n[R]\nCtDllName=x.so\n", ERR_NO_READER);
    EXPECT_EQ(declared("[CardReader]\nR=Active\n[R]\nCtDllName=\n")[0].failure, "CtDllName is defined but empty");
    EXPECT_EQ(declared("[CardReader]\nR=Active\n[R]\nctdllname=x.so\n")[0].failure, "CtDllName is undefined");
    // A port CT_init cannot take would reach another terminal.
    for (const char* port : {"65536", "-1", "99999999999"})
        EXPECT_EQ(declared("[CardReader]\nR=Active\n[R]\nCtDllName=x.so\nPort=" + std::string(port) + "\n")[0].failure,
                  "Port " + std::string(port) + " is out of range");
    const auto none = declared("[CardReader]\nR=Active\n[R]\nCtDllName=x.so\nPort=abc\n");
    EXPECT_EQ(none[0].settings.port, 0);
    EXPECT_EQ(none[0].failure, "");
}

TEST(CtapiTerminalsTest, ListingLeavesOutTerminalsWhoseDriverFails) {
    TempDir dir;
    ScopedEnv windir("windir", dir.path);
    std::vector<CtapiReader> readers;
    std::vector<std::string> failures;
    EXPECT_EQ(listCtapiReaders(readers, failures), ERR_NO_READER); // no file

    writeFile(dir.path + "/HBCIKRNL.INI",
              "[CardReader]\r\nMissing=Active\r\nNoEntry=Active\r\nEmpty=Active\r\n"
              "[Missing]\r\nCtDllName=" +
                  dir.path +
                  "/none.so\r\n"
                  "[NoEntry]\r\nCtDllName=libc.so.6\r\n" // loads, but has no CT_init
                  "[Empty]\r\nCtDllName=\r\n");
    EXPECT_EQ(listCtapiReaders(readers, failures), ERR_NO_READER);
    EXPECT_TRUE(readers.empty());
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0], "Missing: Could not load CTAPI library '" + dir.path + "/none.so'");
    EXPECT_EQ(failures[1], "NoEntry: Could not load CTAPI library 'libc.so.6'");
    EXPECT_EQ(failures[2], "Empty: CtDllName is defined but empty");
}

TEST(CtapiReaderTest, TerminalOperationsBeforeOpeningAndCopies) {
    CtapiReader reader({"R", "libc.so.6", 1});
    std::uint8_t answer[8];
    std::uint32_t length = sizeof answer;
    const std::uint8_t command[] = {0x00, 0xA4, 0x04, 0x00};
    EXPECT_EQ(reader.dataExchange(command, answer, length), ERR_NO_INIT);
    EXPECT_EQ(reader.readerEject(), ERR_NO_INIT);
    EXPECT_EQ(reader.readerInit(), ERR_NO_INIT); // the library lacks CT_init
    EXPECT_EQ(reader.readerClose(), ERR_NO_INIT);
    std::uint8_t status = 9;
    EXPECT_EQ(reader.readerStatus(status), ERR_NO_INIT);
    EXPECT_EQ(status, 0);

    // A copy takes the settings only; assignment empties the target first.
    const CtapiReader copy(reader);
    EXPECT_EQ(copy.name(), "R");
    EXPECT_EQ(copy.library(), "libc.so.6");
    EXPECT_EQ(copy.port(), 1);
    CtapiReader target({"Other", "x.so", 5});
    target = copy;
    EXPECT_EQ(target.name(), "R");
    EXPECT_FALSE(target.opened());
    reader.reset();
    EXPECT_EQ(reader.name(), "");
    EXPECT_EQ(reader.port(), 0);
}

#ifndef _WIN32
TEST(CtapiTerminalsTest, IniPathFollowsWindirWhenNobodyElseCanWriteThere) {
    {
        ScopedEnv windir("windir", std::nullopt);
        EXPECT_EQ(ctapiIniPath(), "/etc/HBCIKRNL.INI");
    }
    {
        ScopedEnv windir("windir", "");
        EXPECT_EQ(ctapiIniPath(), "/etc/HBCIKRNL.INI");
    }
    TempDir dir;
    for (const std::string& path : {dir.path, dir.path + "/"}) {
        ScopedEnv windir("windir", path);
        EXPECT_EQ(ctapiIniPath(), dir.path + "/HBCIKRNL.INI");
    }
    // Another user could choose the driver we load there.
    ScopedEnv windir("windir", dir.path);
    ASSERT_EQ(::chmod(dir.path.c_str(), 0777), 0);
    EXPECT_EQ(ctapiIniPath(), "/etc/HBCIKRNL.INI");
    ASSERT_EQ(::chmod(dir.path.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(ctapiIniPath(), "/etc/HBCIKRNL.INI");
    ScopedEnv missing("windir", "C:\\WINDOWS\\");
    EXPECT_EQ(ctapiIniPath(), "/etc/HBCIKRNL.INI");
}

// An HBCIKRNL.INI or a driver that another user could have put there is
// treated as missing, and the failures say which file and why.
TEST(CtapiTerminalsTest, FilesOthersCanChangeAreNeitherReadNorLoaded) {
    TempDir dir;
    ScopedEnv windir("windir", dir.path);
    const std::string ini = dir.path + "/HBCIKRNL.INI", driver = dir.path + "/driver.so";
    fs::copy_file(VEXA_CTAPI_DRIVER, driver);
    ASSERT_EQ(::chmod(driver.c_str(), 0664), 0);
    writeFile(ini, "[CardReader]\nR=Active\n[R]\nCtDllName=" + driver + "\n");
    std::vector<CtapiReader> readers;
    std::vector<std::string> failures;
    EXPECT_EQ(listCtapiReaders(readers, failures), ERR_NO_READER);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0],
              "R: Could not load CTAPI library '" + driver + "': '" + driver + "' is writable by its group");

    // The same driver, once only its owner can write it, loads.
    ASSERT_EQ(::chmod(driver.c_str(), 0644), 0);
    const DynamicLibrary library = DynamicLibrary::open(driver);
    ASSERT_TRUE(library.valid()) << library.error();
    EXPECT_NE(library.symbol("CT_init"), nullptr);
    EXPECT_EQ(library.refusal(), "");
    // A second driver is that driver, not the one loaded before.
    const std::string second = dir.path + "/second.so";
    fs::copy_file(VEXA_CTAPI_DRIVER, second);
    const DynamicLibrary other = DynamicLibrary::open(second);
    ASSERT_TRUE(other.valid()) << other.error();
    EXPECT_NE(other.symbol("CT_init"), library.symbol("CT_init"));

    ASSERT_EQ(::chown(ini.c_str(), 65534, 65534), 0);
    failures.clear();
    EXPECT_EQ(listCtapiReaders(readers, failures), ERR_NO_READER);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "Not using file '" + ini + "': '" + ini + "' is owned by another user (uid 65534)");
}
#else
TEST(CtapiTerminalsTest, IniPathFollowsWindirWhenNobodyElseCanWriteThere) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}

TEST(CtapiTerminalsTest, FilesOthersCanChangeAreNeitherReadNorLoaded) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

} // namespace
