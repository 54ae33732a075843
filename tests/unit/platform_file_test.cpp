#include "platform/file.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/atomic_replace.h"
#include "platform/system.h"
#include "temp_files.h"

namespace vexa::platform {
namespace {

using test_support::fileContents;
using test_support::TempDir;
using test_support::writeFile;

// The lock belongs to the open file, not the process: a second open of the
// same file is kept out as another process would be.
TEST(PlatformFile, LockHeldByAnotherOpenFileBlocks) {
    const TempDir dir;
    const std::string path = dir.path + "/locked";
    File first = File::open(path, FileAccess::ReadWrite);
    File second = File::open(path, FileAccess::ReadWrite);
    ASSERT_TRUE(first.valid() && second.valid());
    ASSERT_TRUE(first.tryLock(FileLock::Shared));
    EXPECT_TRUE(second.tryLock(FileLock::Shared));
    EXPECT_FALSE(File::open(path, FileAccess::Read).tryLock(FileLock::Exclusive));
    second.close();
    ASSERT_TRUE(first.tryLock(FileLock::Exclusive)); // upgrades the holder's own lock
    EXPECT_FALSE(File::open(path, FileAccess::Read).tryLock(FileLock::Shared));
    first.close();
    EXPECT_TRUE(File::open(path, FileAccess::Read).tryLock(FileLock::Exclusive));
}

// Locks only meet locks: the holder of a shared lock still writes, and a
// reader that takes no lock still reads past an exclusive one (the log is
// written under one while other programs read it).
TEST(PlatformFile, LocksNeverBlockReadingOrWriting) {
    const TempDir dir;
    const std::string path = dir.path + "/shared";
    File writer = File::open(path, FileAccess::ReadWrite);
    ASSERT_TRUE(writer.tryLock(FileLock::Shared));
    EXPECT_TRUE(writer.writeAll("written under a shared lock"));
    ASSERT_TRUE(writer.tryLock(FileLock::Exclusive));
    EXPECT_TRUE(writer.writeAll("!"));
    File reader = File::open(path, FileAccess::Read);
    std::string buffer(64, '\0');
    EXPECT_EQ(reader.read(buffer), 28);
    EXPECT_EQ(buffer.substr(0, 28), "written under a shared lock!");
}

// The log is rotated by renaming it while writers hold it open and locked;
// they go on writing into the renamed file.
TEST(PlatformFile, OpenFileCanBeRenamedAway) {
    const TempDir dir;
    const std::string path = dir.path + "/vexa.log";
    File log = File::open(path, FileAccess::Append);
    ASSERT_TRUE(log.tryLock(FileLock::Exclusive) && log.writeAll("one\n"));
    ASSERT_TRUE(renameFile(path, path + ".1"));
    EXPECT_TRUE(log.writeAll("two\n"));
    log.close();
    EXPECT_EQ(factsOf(path), std::nullopt);
    EXPECT_EQ(fileContents(path + ".1"), "one\ntwo\n");
    EXPECT_FALSE(renameFile(dir.path + "/none", path));
}

TEST(PlatformFile, OpenFailuresTellWhetherWaitingCanHelp) {
    const TempDir dir;
    const std::string target = dir.path + "/target";
    writeFile(target, "x");
    EXPECT_EQ(File::open(dir.path + "/none", FileAccess::Read).failure(), OpenFailure::Missing);
    EXPECT_EQ(File::open(target + "/below", FileAccess::ReadWrite).failure(), OpenFailure::Missing);
    std::error_code linkError;
    std::filesystem::create_symlink(target, dir.path + "/link", linkError);
    if (linkError) GTEST_SKIP() << "no symbolic links here (Wine): " << linkError.message();
    EXPECT_EQ(File::open(dir.path + "/link", FileAccess::Read, false).failure(), OpenFailure::Link);
    const File followed = File::open(dir.path + "/link", FileAccess::Read);
    ASSERT_TRUE(followed.valid());
    EXPECT_EQ(followed.failure(), OpenFailure::None);
    EXPECT_EQ(followed.facts()->identity, factsOf(target)->identity);
    EXPECT_TRUE(factsOf(dir.path + "/link", false)->isLink);
    EXPECT_EQ(factsOf(dir.path + "/none"), std::nullopt);
}

TEST(PlatformFile, CreatedFilesAreTheOwnersOnlyAndWriteEmpties) {
    const TempDir dir;
    const std::string path = dir.path + "/new";
    File file = File::open(path, FileAccess::Write);
    ASSERT_TRUE(file.writeAll("first content"));
    const FileFacts facts = *file.facts();
    EXPECT_EQ(facts.permissions, 0600u);
    EXPECT_TRUE(facts.isRegular && facts.ownedByUser);
    EXPECT_FALSE(facts.writableByGroup || facts.writableByOthers);
    file.close();
    File again = File::open(path, FileAccess::Write);
    ASSERT_TRUE(again.writeAll("2nd"));
    again.close();
    EXPECT_EQ(fileContents(path), "2nd");
}

TEST(PlatformFile, AtomicReplaceWritesAllOrLeavesTheOldFile) {
    const TempDir dir;
    const std::string path = dir.path + "/settings.conf";
    writeFile(path, "old");
    std::optional<FileFacts> written;
    ASSERT_TRUE(replaceAtomically(path, "new content", 0640, written));
    EXPECT_EQ(fileContents(path), "new content");
    ASSERT_TRUE(written);
    EXPECT_EQ(written->identity, factsOf(path)->identity);
    EXPECT_EQ(written->size, 11);
    // Windows files take their access from the folder, not from modes.
    if (!platform::kWindows) {
        EXPECT_EQ(factsOf(path)->permissions, 0640u);
    }

    // A folder in the way: the rename fails, and neither the folder nor a
    // temporary file is left changed or behind.
    const std::string folder = dir.path + "/folder";
    std::filesystem::create_directory(folder);
    writeFile(folder + "/inside", "kept");
    EXPECT_FALSE(replaceAtomically(folder, "lost", 0600, written));
    EXPECT_EQ(fileContents(folder + "/inside"), "kept");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2);
    EXPECT_FALSE(replaceAtomically(dir.path + "/none/file", "lost", 0600, written));
}

} // namespace
} // namespace vexa::platform
