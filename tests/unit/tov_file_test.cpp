#include "support/tov_file.h"

#include <chrono>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "temp_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vexa {
namespace {

using namespace test_support;
namespace fs = std::filesystem;

std::string resolve(std::string_view directory, std::string_view location, std::string_view name) {
    TovFile file;
    file.set(directory, location, name);
    return file.resolvedPath();
}

// Everything left to read, in reads of at most chunk bytes.
std::string readAll(TovFile& file, std::uint32_t chunk) {
    std::string text, buffer(chunk + 1, 'x');
    for (std::uint32_t n = chunk; file.readBytes(buffer.data(), n) == 0; n = chunk) text.append(buffer.data(), n);
    return text;
}

TEST(TovFilePath, HomedirBelowFirstSetVariableCreatesDirectory) {
    TempDir home;
    ScopedEnv appdata("APPDATA", std::nullopt), profile("USERPROFILE", home.path), windir("windir", "/nowhere");
    EXPECT_EQ(resolve("MERIDAN", "HOMEDIR", "vexa.log"), joinedPath({home.path, "MERIDAN", "vexa.log"}));
    // Private to the user, where folders have modes.
    if (!platform::kWindows) {
        EXPECT_EQ(fs::status(home.path + "/MERIDAN").permissions() & fs::perms::all, fs::perms::owner_all);
    }
    EXPECT_EQ(resolve("MERIDAN", "HOMEDIR", ""), joinedPath({home.path, "MERIDAN"}));
    ScopedEnv appdataSet("APPDATA", home.path + "/");
    EXPECT_EQ(resolve("D", "HOMEDIR", "f"), home.path + "/" + joinedPath({"D", "f"}));
}

TEST(TovFilePath, ConfigHomeFallsBackToXdgThenHome) {
    ScopedEnv appdata("APPDATA", ""), profile("USERPROFILE", std::nullopt), windir("windir", std::nullopt);
    ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg"), home("HOME", "/home/u");
    if (platform::kWindows) {
        // Neither counts on Windows: the shell's roaming application data folder.
        const std::string roaming = TovFile::configHome();
        EXPECT_TRUE(fs::path(roaming).is_absolute()) << roaming;
        EXPECT_EQ(resolve("D", "HOMEDIR", "f"), joinedPath({roaming, "D", "f"}));
        return;
    }
    EXPECT_EQ(TovFile::configHome(), "/xdg");
    ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    EXPECT_EQ(TovFile::configHome(), "/home/u/.config");
    ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_EQ(TovFile::configHome(), "");
    EXPECT_EQ(resolve("D", "HOMEDIR", "f"), "f");
}

TEST(TovFilePath, CompleteNamesAndOtherLocations) {
    for (const char* name : {"C:\\logs\\vexa.log", "\\\\server\\vexa.log", "/var/tmp/vexa.log", "a:b"})
        EXPECT_EQ(resolve("MERIDAN", "HOMEDIR", name), name);
    ScopedEnv set("VEXA_TEST_LOG_DIR", "/srv/logs"), unset("VEXA_TEST_UNSET_DIR", std::nullopt);
    EXPECT_EQ(resolve("unused", "VEXA_TEST_LOG_DIR", "a.log"), joinedPath({"/srv/logs", "a.log"}));
    EXPECT_EQ(resolve("unused", "VEXA_TEST_UNSET_DIR", "a.log"), joinedPath({"VEXA_TEST_UNSET_DIR", "a.log"}));
    EXPECT_EQ(resolve("", "/var/log/", "a.log"), "/var/log/a.log");
    EXPECT_EQ(resolve("", "D:\\logs\\", "a.log"), "D:\\logs\\a.log");
    EXPECT_EQ(resolve("", "/var/log", ""), "/var/log");
    EXPECT_EQ(resolve("dir", "", "a.log"), "a.log");
}

TEST(TovFilePath, ResolvesOnceUntilPartsChange) {
    ScopedEnv dir("VEXA_TEST_LOG_DIR", "/one");
    TovFile file;
    file.set("", "VEXA_TEST_LOG_DIR", "f");
    EXPECT_EQ(file.resolvedPath(), joinedPath({"/one", "f"}));
    setVariable("VEXA_TEST_LOG_DIR", "/two");
    EXPECT_EQ(file.resolvedPath(), joinedPath({"/one", "f"}));
    file.setResolvedPath("/three/f");
    EXPECT_EQ(file.resolvedPath(), "/three/f");
    file.set("", "VEXA_TEST_LOG_DIR", "f");
    EXPECT_EQ(file.resolvedPath(), joinedPath({"/two", "f"}));
}

class TovFileIo : public ::testing::Test {
protected:
    TovFile fileAt(std::string_view name) {
        TovFile file;
        file.set("", dir.path, name);
        return file;
    }
    TempDir dir;
};

TEST_F(TovFileIo, UntranslatedRoundTripWithPositionsAndEndFlag) {
    TovFile file = fileAt("raw");
    char buffer[16] = "untouched";
    std::uint32_t n = 10;
    EXPECT_EQ(file.readBytes(buffer, n), -1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(file.position(0, TovFile::Start), -1);
    EXPECT_EQ(file.writeText("a"), -1);

    const std::string data("a\r\nb\0c", 6);
    ASSERT_EQ(file.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 0);
    EXPECT_EQ(file.writeText(data), 0);
    EXPECT_EQ(file.writeBytes(nullptr, 0), 0);
    EXPECT_EQ(file.length(), 6);
    EXPECT_EQ(file.position(0, TovFile::End), 6);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(file.position(0, TovFile::Start), 0);
    EXPECT_FALSE(file.atEnd());
    n = 10;
    ASSERT_EQ(file.readBytes(buffer, n), 0);
    EXPECT_EQ(std::string(buffer, n + 1), data + '\0');
    n = 10;
    EXPECT_EQ(file.readBytes(buffer, n), 4);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(buffer[0], '\0');
    char c = 0;
    EXPECT_EQ(file.position(-5, TovFile::End), 1);
    EXPECT_EQ(file.readChar(c), 0);
    EXPECT_EQ(c, '\r');
    EXPECT_EQ(file.position(0, 7), -1);
}

TEST_F(TovFileIo, TranslatedReadsJoinCrLfEvenAcrossReads) {
    writeFile(dir.path + "/text", "one\r\ntwo\rthree\r\n\r\n");
    TovFile file = fileAt("text");
    for (std::uint32_t chunk : {100u, 1u, 3u, 4u, 9u}) {
        ASSERT_EQ(file.openFile(TovFile::ReadOnly, false, TovFile::OthersRead, 0), 0);
        EXPECT_EQ(readAll(file, chunk), "one\ntwo\rthree\n\n") << "chunk " << chunk;
    }
    ASSERT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 0);
    EXPECT_EQ(readAll(file, 4), "one\r\ntwo\rthree\r\n\r\n");
    ASSERT_EQ(file.openFile(TovFile::Append, false, TovFile::Exclusive, 0), 0);
    EXPECT_EQ(file.writeText("x\n"), 0);
    EXPECT_EQ(fileContents(dir.path + "/text"), "one\r\ntwo\rthree\r\n\r\nx\n");
}

TEST_F(TovFileIo, AccessModes) {
    const std::string path = dir.path + "/f";
    TovFile file = fileAt("f");
    EXPECT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 1);
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(file.openFile(TovFile::ReadWrite, true, TovFile::Shared, 0), 0);
    // Private to the user, where files have modes.
    if (!platform::kWindows) {
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(file.writeText("hello"), 0);
    ASSERT_EQ(file.openFile(TovFile::Append, true, TovFile::Shared, 0), 0);
    file.position(0, TovFile::Start);
    EXPECT_EQ(file.writeText("!"), 0);
    EXPECT_EQ(fileContents(path), "hello!");
    ASSERT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 0);
    EXPECT_EQ(file.writeText("x"), 3);
    ASSERT_EQ(file.openFile(TovFile::Truncate, true, TovFile::Exclusive, 0), 0);
    EXPECT_EQ(file.length(), 0);
    EXPECT_EQ(file.openFile(7, true, TovFile::Shared, 0), 1);
    EXPECT_FALSE(file.isOpen());
}

TEST_F(TovFileIo, ShareModesMapToLocksAndCopiesLeaveThemAlone) {
    TovFile holder = fileAt("shared"), other = fileAt("shared");
    ASSERT_EQ(holder.openFile(TovFile::ReadWrite, true, TovFile::OthersRead, 0), 0);
    EXPECT_EQ(other.openFile(TovFile::ReadOnly, false, TovFile::OthersRead, 0), 0);
    EXPECT_EQ(other.openFile(TovFile::ReadOnly, false, TovFile::Shared, 0), 0);
    EXPECT_EQ(other.openFile(TovFile::Append, true, TovFile::Exclusive, 0), 1);

    ASSERT_EQ(holder.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 0);
    TovFile copy(holder);
    EXPECT_FALSE(copy.isOpen());
    EXPECT_EQ(copy.resolvedPath(), holder.resolvedPath());
    TovFile moved(std::move(holder));
    EXPECT_EQ(other.openFile(TovFile::ReadOnly, false, TovFile::OthersRead, 0), 1);
    moved.close();
    EXPECT_EQ(other.openFile(TovFile::ReadOnly, false, TovFile::Exclusive, 0), 0);
}

TEST_F(TovFileIo, HeldFileUsesTheWholeBudgetAndIsNeverTruncated) {
    TovFile holder = fileAt("conf"), writer = fileAt("conf");
    ASSERT_EQ(holder.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 0);
    ASSERT_EQ(holder.writeText("KEY=VALUE\n"), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.openFile(TovFile::Truncate, false, TovFile::Exclusive, 400), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(350));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(holder.length(), 10);
    holder.close();
    ASSERT_EQ(writer.openFile(TovFile::Truncate, false, TovFile::Exclusive, 0), 0);
    EXPECT_EQ(writer.length(), 0);
}

// The log's writers find out this way that the file they locked was rotated
// away between their open and their lock.
TEST_F(TovFileIo, KnowsWhenThePathNoLongerNamesTheOpenFile) {
    const std::string path = dir.path + "/log";
    TovFile file = fileAt("log");
    EXPECT_FALSE(file.stillAtPath());
    ASSERT_EQ(file.openFile(TovFile::Append, true, TovFile::Exclusive, 0), 0);
    EXPECT_TRUE(file.stillAtPath());
    fs::rename(path, path + ".1");
    EXPECT_FALSE(file.stillAtPath());
    writeFile(path, "");
    EXPECT_FALSE(file.stillAtPath());
    ASSERT_EQ(file.openFile(TovFile::Append, true, TovFile::Exclusive, 0), 0);
    EXPECT_TRUE(file.stillAtPath());
}

TEST_F(TovFileIo, LinksAreFollowedOnlyWhenAllowed) {
    writeFile(dir.path + "/target", "kept\n");
    std::error_code error;
    fs::create_symlink(dir.path + "/target", dir.path + "/link", error);
    if (error && platform::kWindows) GTEST_SKIP() << "This system makes no symbolic link here: " << error.message();
    ASSERT_FALSE(error) << error.message();
    TovFile file = fileAt("link");
    file.setFollowLinks(false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(file.openFile(TovFile::Append, true, TovFile::Exclusive, 4000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "a link does not go away";
    TovFile copy(file);
    EXPECT_EQ(copy.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 1);
    EXPECT_EQ(copy.refusal(), "'" + dir.path + "/link' is a symbolic link");
    // A dangling link: opening to write creates nothing at its target.
    fs::create_symlink(dir.path + "/absent", dir.path + "/dangling");
    TovFile dangling = fileAt("dangling");
    dangling.setFollowLinks(false);
    EXPECT_EQ(dangling.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 1);
    EXPECT_EQ(dangling.refusal(), "'" + dir.path + "/dangling' is a symbolic link");
    EXPECT_FALSE(fs::exists(dir.path + "/absent"));
    file.setFollowLinks(true);
    ASSERT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 0);
    EXPECT_EQ(fileContents(dir.path + "/target"), "kept\n");
}

#ifndef _WIN32
// Another user can fill such a folder with settings and admitted sites.
TEST(TovFilePath, WindowsVariablesNameTheConfigHomeOnlyWhenNobodyElseCanWriteThere) {
    TempDir base;
    const std::string shared = base.path + "/shared", given = base.path + "/given", own = base.path + "/own";
    for (const std::string& folder : {shared, given, own}) ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0770), 0);
    ASSERT_EQ(::chown(given.c_str(), 65534, 65534), 0);
    ScopedEnv appdata("APPDATA", shared), profile("USERPROFILE", given), windir("windir", own);
    ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
    EXPECT_EQ(TovFile::configHome(), own);
    ScopedEnv missing("windir", base.path + "/missing");
    EXPECT_EQ(TovFile::configHome(), "/xdg");
}

TEST_F(TovFileIo, TrustRequiredRefusesFilesAndFoldersOthersCanChange) {
    writeFile(dir.path + "/settings", "x");
    TovFile file = fileAt("settings");
    file.setTrustRequired(true);
    ASSERT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 0);
    EXPECT_EQ(file.refusal(), "");
    file.close();

    ASSERT_EQ(::chown((dir.path + "/settings").c_str(), 65534, 65534), 0);
    EXPECT_EQ(file.openFile(TovFile::ReadOnly, true, TovFile::Shared, 0), 1);
    EXPECT_EQ(file.refusal(), "'" + dir.path + "/settings' is owned by another user (uid 65534)");
    EXPECT_FALSE(file.isOpen());

    // In a folder its group can write, not even a new file is made.
    ASSERT_EQ(::chmod(dir.path.c_str(), 0770), 0);
    TovFile fresh = fileAt("fresh");
    fresh.setTrustRequired(true);
    EXPECT_EQ(fresh.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 1);
    EXPECT_EQ(fresh.refusal(), "'" + dir.path + "' is writable by its group");
    EXPECT_FALSE(fs::exists(dir.path + "/fresh"));
    // Without the requirement (the log) nothing changes.
    TovFile plain = fileAt("fresh");
    EXPECT_EQ(plain.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0), 0);
}
#else
TEST(TovFilePath, WindowsVariablesNameTheConfigHomeOnlyWhenNobodyElseCanWriteThere) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}

TEST_F(TovFileIo, TrustRequiredRefusesFilesAndFoldersOthersCanChange) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

} // namespace
} // namespace vexa
