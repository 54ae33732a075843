#include "support/file_trust.h"

#include <gtest/gtest.h>

#include "temp_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vexa {
namespace {

using namespace test_support;

// On every system a folder must exist and be one.
TEST(FileTrust, MissingFoldersAndFilesAreNoTrustedFolders) {
    TempDir dir;
    writeFile(dir.path + "/file", "x");
    EXPECT_EQ(distrustOfFolder(dir.path + "/none"), "does not exist");
    EXPECT_EQ(distrustOfFolder(dir.path + "/file"), "is not a folder");
}

#ifndef _WIN32
// Another local user: the tests run as root, which may give files away.
constexpr uid_t kOtherUser = 65534;

struct FolderRow {
    const char* name;
    mode_t mode;
    bool otherOwner;
    const char* why; // "" when trusted
};

TEST(FileTrust, FoldersAndFilesCountOnlyWhenNobodyElseCanChangeThem) {
    TempDir dir;
    const FolderRow rows[] = {
        {"private", 0700, false, ""},
        {"readable", 0755, false, ""},
        {"group", 0770, false, "is writable by its group"},
        {"others", 0757, false, "is writable by others"},
        // Like /tmp: others can add entries but cannot replace ours.
        {"sticky", 01777, false, ""},
        {"given", 0700, true, "is owned by another user (uid 65534)"},
        {"givenSticky", 01777, true, "is owned by another user (uid 65534)"},
    };
    for (const FolderRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string folder = dir.path + "/" + row.name;
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(folder.c_str(), row.mode), 0);
        if (row.otherOwner) {
            ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherUser), 0);
        }
        EXPECT_EQ(distrustOfFolder(folder), row.why);

        // The same rule for a file, judged by what was opened; a file is never
        // sticky.
        const std::string file = dir.path + "/" + row.name + ".file";
        writeFile(file, "x");
        ASSERT_EQ(::chmod(file.c_str(), row.mode & 0777), 0);
        if (row.otherOwner) {
            ASSERT_EQ(::chown(file.c_str(), kOtherUser, kOtherUser), 0);
        }
        const platform::File opened = platform::File::open(file, platform::FileAccess::Read);
        ASSERT_TRUE(opened.valid());
        const std::string expected = std::string(row.name) == "sticky" ? "is writable by others" : row.why;
        EXPECT_EQ(distrustOfOpenFile(opened), expected);
        // A private key must not even be readable by anyone else.
        const bool secret = (row.mode & 077) == 0 && !row.otherOwner;
        EXPECT_EQ(distrustOfPrivateKey(opened).empty(), secret) << distrustOfPrivateKey(opened);
    }
}

TEST(FileTrust, FoldersAreJudgedUpToTheTopThatHoldsTheFile) {
    TempDir dir;
    const std::string top = dir.path + "/home", company = top + "/MERIDAN", key = company + "/VEXA";
    ASSERT_EQ(::mkdir(top.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(company.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(key.c_str(), 0700), 0);
    const std::string file = key + "/registry.conf";
    EXPECT_EQ(distrustOfFolders(file, top), "");

    ASSERT_EQ(::chmod(top.c_str(), 0770), 0);
    EXPECT_EQ(distrustOfFolders(file, top), "'" + top + "' is writable by its group");
    EXPECT_EQ(distrustOfFolders(file, top + "/"), "'" + top + "' is writable by its group");
    // Without a top that holds it, only the file's own folder counts.
    EXPECT_EQ(distrustOfFolders(file), "");
    EXPECT_EQ(distrustOfFolders(file, dir.path + "/elsewhere"), "");

    ASSERT_EQ(::chown(key.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_EQ(distrustOfFolders(file), "'" + key + "' is owned by another user (uid 65534)");
    // A folder not made yet is passed over; its parent is judged.
    EXPECT_EQ(distrustOfFolders(company + "/new/vexa_ie.conf", top), "'" + top + "' is writable by its group");
    ASSERT_EQ(::chmod(top.c_str(), 0700), 0);
    EXPECT_EQ(distrustOfFolders(company + "/new/vexa_ie.conf", top), "");
}

#else
TEST(FileTrust, FoldersAndFilesCountOnlyWhenNobodyElseCanChangeThem) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}

TEST(FileTrust, FoldersAreJudgedUpToTheTopThatHoldsTheFile) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

} // namespace
} // namespace vexa
