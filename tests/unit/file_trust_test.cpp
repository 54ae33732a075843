#include "support/file_trust.h"

#include <gtest/gtest.h>

#include "temp_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cardaccess/tls_client_files.h"
#include "cardaccess/tls_connector.h"
#include "rpcsc/tls_stream.h"
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

// This user's TLS files for remote PC/SC servers: a CA and a certificate
// pass the settings rule, as do the folders that hold them; the key
// besides must be unreadable by others.
struct TlsFilesRow {
    const char* name;
    const char* file; // whose mode or owner the row changes ("" for the folder)
    mode_t mode;
    bool otherOwner;
    std::string why; // after "the <what> <path>"; "" when usable
};

TEST(FileTrust, TlsClientFilesPassTheSettingsRuleAndTheKeyIsUsedAsJudged) {
    TempDir dir;
    const std::string folder = dir.path + "/remote-pcsc";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const auto make = [&](const std::string& command) {
        ASSERT_EQ(std::system(("cd " + folder + " && " + command + " >/dev/null 2>&1").c_str()), 0) << command;
    };
    make(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=ca -keyout ca.key "
        "-out ca.pem");
    for (const char* name : {"client", "other"})
        make(std::string("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=") + name +
             " -keyout " + name + ".key -out " + name + ".csr && openssl x509 -req -in " + name +
             ".csr -CA ca.pem -CAkey ca.key -days 2 -out " + name + ".pem");
    const TlsClientFiles files{folder + "/ca.pem", folder + "/client.pem", folder + "/client.key"};
    const TlsFilesRow rows[] = {
        // As `vexa-rpcscd certs` writes them.
        {"certificates for all to read", "", 0700, false, ""},
        {"a folder others may read", "", 0755, false, ""},
        {"a folder its group may change", "", 0770, false, ": '" + folder + "' is writable by its group"},
        {"a folder others may change", "", 0757, false, ": '" + folder + "' is writable by others"},
        {"a folder of another user", "", 0755, true, ": '" + folder + "' is owned by another user (uid 65534)"},
        {"a CA its group may change", "ca.pem", 0664, false, " is writable by its group"},
        {"a CA others may change", "ca.pem", 0646, false, " is writable by others"},
        {"a CA of another user", "ca.pem", 0644, true, " is owned by another user (uid 65534)"},
        {"a certificate others may change", "client.pem", 0666, false, " is writable by others"},
        {"a key others may read", "client.key", 0604, false, " can be read or changed by others (mode 0604)"},
        {"a key of another user", "client.key", 0600, true, " is owned by another user (uid 65534)"},
    };
    for (const TlsFilesRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string changed = *row.file ? folder + "/" + row.file : folder;
        for (const char* file : {"ca.pem", "client.pem", "other.pem"})
            ASSERT_EQ(::chmod((folder + "/" + file).c_str(), 0644), 0);
        for (const char* file : {"client.key", "other.key"}) ASSERT_EQ(::chmod((folder + "/" + file).c_str(), 0600), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(changed.c_str(), row.mode), 0);
        ASSERT_EQ(::chown(changed.c_str(), row.otherOwner ? kOtherUser : ::geteuid(), 0), 0);
        std::string failure;
        const bool usable = makeTlsConnector(files, failure).has_value();
        EXPECT_EQ(usable, row.why.empty()) << failure;
        if (row.why.empty()) continue;
        const std::string file = *row.file ? row.file : "client.key"; // the key is judged first
        const std::string what = file == "ca.pem" ? "CA certificate" : file == "client.pem" ? "certificate" : "key";
        EXPECT_EQ(failure, "the " + what + " " + folder + "/" + file + row.why);
        ASSERT_EQ(::chown(changed.c_str(), ::geteuid(), 0), 0);
    }

    // A file that is not there is named as such.
    std::string missing;
    EXPECT_FALSE(makeTlsConnector({folder + "/none.pem", files.certificate, files.key}, missing));
    EXPECT_EQ(missing, "cannot read the CA certificate " + folder + "/none.pem");

    // What was judged is what is used: the texts come from the descriptor
    // judged, so swapping the key afterwards (here for one that others may
    // read and that belongs to another certificate) changes nothing.
    std::string failure;
    const auto pem = readTlsClientFiles(files, failure);
    ASSERT_TRUE(pem) << failure;
    ASSERT_EQ(std::rename((folder + "/other.key").c_str(), (folder + "/client.key").c_str()), 0);
    ASSERT_EQ(::chmod((folder + "/client.key").c_str(), 0644), 0);
    EXPECT_TRUE(TlsContext::clientFromTexts(*pem, failure)) << failure;
    EXPECT_FALSE(makeTlsConnector(files, failure));
}

#else
TEST(FileTrust, FoldersAndFilesCountOnlyWhenNobodyElseCanChangeThem) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}

TEST(FileTrust, FoldersAreJudgedUpToTheTopThatHoldsTheFile) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}

TEST(FileTrust, TlsClientFilesPassTheSettingsRuleAndTheKeyIsUsedAsJudged) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

} // namespace
} // namespace vexa
