#include "support/tov_conf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/system.h"
#include "support/tov_log.h"
#include "temp_files.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace vexa;
namespace fs = std::filesystem;

namespace {

constexpr std::array<NamedValue, 3> levelPairs = {{{"TRACE", 1}, {"DEBUG", 2}, {"OFF", 8}}};
constexpr NameTable levels(levelPairs);

std::vector<ConfParameter> declarations() {
    return {
        {"LOGLEVEL", ConfParameter::Named, "", 8, &levels}, {"LOGFILE", ConfParameter::Text, "vexa_ie.log", 0, nullptr},
        {"COUNT", ConfParameter::Integer, "", 5, nullptr},  {"FLAG", ConfParameter::Boolean, "", 0, nullptr},
        {"PIN", ConfParameter::Digits, "0000", 0, nullptr},
    };
}

class TovConfTest : public ::testing::Test {
protected:
    void SetUp() override { dir = test_support::makeUniqueDirectory(fs::temp_directory_path(), "vexa-conf-"); }
    void TearDown() override { fs::remove_all(dir); }

    int loadText(const std::string& content, int& line) {
        std::ofstream(dir / "test.conf", std::ios::binary) << content;
        return conf.load("", "", (dir / "test.conf").string(), declarations(), line);
    }
    std::string text(const std::string& key) {
        std::string v;
        EXPECT_EQ(conf.getText(key, v), 0) << key;
        return v;
    }
    std::int32_t number(const std::string& key) {
        std::int32_t v = -99;
        int r = conf.getInteger(key, v);
        if (r == TovConf::WrongType) r = conf.getNamedValue(key, v);
        EXPECT_EQ(r, 0) << key;
        return v;
    }
    std::string fileContent() {
        std::ifstream in(dir / "test.conf", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir;
    TovConf conf;
};

} // namespace

TEST_F(TovConfTest, EmptyOrCommentOnlyFilesGiveDefaults) {
    int line = 0;
    for (const char* content : {"", "# comment\n", "  \t; other comment\n\n", "\r\n#x\r\n"}) {
        EXPECT_EQ(loadText(content, line), 0) << content;
        EXPECT_EQ(number("LOGLEVEL"), 8);
        EXPECT_EQ(text("LOGFILE"), "vexa_ie.log");
        EXPECT_EQ(number("COUNT"), 5);
    }
}

TEST_F(TovConfTest, ValuesAreReadExactly) {
    int line = 0;
    ASSERT_EQ(loadText("LOGLEVEL=DEBUG\n  LOGFILE= a b \nCOUNT=-12\nFLAG=TRUE\nPIN=1234\nCOUNT=7", line), 0);
    EXPECT_EQ(number("LOGLEVEL"), 2);
    EXPECT_EQ(text("LOGFILE"), " a b "); // blanks around the value belong to it
    EXPECT_EQ(number("COUNT"), 7);       // the last occurrence wins; no final line feed needed
    bool flag = false;
    EXPECT_EQ(conf.getBoolean("FLAG", flag), 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(text("PIN"), "1234");
    std::string unused;
    EXPECT_EQ(conf.getText("COUNT", unused), TovConf::WrongType);
}

TEST_F(TovConfTest, WindowsLineEndsReadTheSame) {
    int line = 0;
    ASSERT_EQ(loadText("LOGFILE=x.log\r\nLOGLEVEL=TRACE\r\n", line), 0);
    EXPECT_EQ(text("LOGFILE"), "x.log");
    EXPECT_EQ(number("LOGLEVEL"), 1);
}

TEST_F(TovConfTest, ErrorsStopAtTheirLine) {
    struct Case {
        const char* content;
        int result;
        int line;
    };
    const Case cases[] = {
        {"LOGLEVEL = DEBUG\n", TovConf::UnknownParameter, 1}, // the key keeps its trailing blank
        {"LOGFILE=a\n\nLOGLEVEL=DEBUG \n", TovConf::UnknownValue, 3},
        {"FLAG=true\n", TovConf::SyntaxError, 1},
        {"#c\nCOUNT=12x\n", TovConf::SyntaxError, 2},
        {"COUNT=2147483648\n", TovConf::SyntaxError, 1},
        {"PIN=12a4\n", TovConf::WrongType, 1},
        {"NOEQUALS\nLOGFILE=x\n", TovConf::SyntaxError, 1},
        {"=value\n", TovConf::SyntaxError, 1},
        {"LOGFILE", TovConf::SyntaxError, 1},
        {"FOO=1\n", TovConf::UnknownParameter, 1},
    };
    for (const auto& c : cases) {
        int line = 0;
        EXPECT_EQ(loadText(c.content, line), c.result) << c.content;
        EXPECT_EQ(line, c.line) << c.content;
    }
    int line = 0;
    ASSERT_EQ(loadText("LOGFILE=kept\nCOUNT=1\nFLAG=yes\nPIN=99\n", line), TovConf::SyntaxError);
    EXPECT_EQ(text("LOGFILE"), "kept");
    EXPECT_EQ(number("COUNT"), 1);
    EXPECT_EQ(text("PIN"), "0000"); // after the faulty line the default stays
}

TEST_F(TovConfTest, MissingFileAndReports) {
    int line = 0;
    EXPECT_EQ(conf.load("", "", (dir / "none.conf").string(), declarations(), line), TovConf::CannotOpen);
    EXPECT_EQ(number("COUNT"), 5);
    EXPECT_EQ(conf.load("", "", "x", {}, line), TovConf::InternalError);

    TovLog log(LOG_TRACE, TovLog::File);
    log.setLogFile("", "", (dir / "report.log").string());
    ASSERT_EQ(log.open(), 0);
    conf.report(log, TovConf::CannotOpen, 1, true);
    conf.report(log, TovConf::SyntaxError, 3, true, "shown.conf");
    conf.report(log, TovConf::Ok, 1, true);
    std::string tail;
    ASSERT_EQ(log.readTail(0, tail), 0);
    EXPECT_NE(
        tail.find("INFO    Using default values for '" + test_support::asLogged((dir / "none.conf").string()) + "' \n"),
        std::string::npos)
        << tail;
    EXPECT_NE(tail.find("ERROR   Syntax error in file 'shown.conf', line 3. \n"), std::string::npos) << tail;
    EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 2);
}

TEST_F(TovConfTest, SaveWritesDeclarationOrderAndSetters) {
    int line = 0;
    ASSERT_EQ(loadText("# user comment\nCOUNT=3\nFOO_IS_LOST=1", line), TovConf::UnknownParameter);
    EXPECT_EQ(conf.setNamedValue("LOGLEVEL", 1), 0); // position 1: DEBUG
    EXPECT_EQ(conf.setNamedValue("LOGLEVEL", 3), TovConf::UnknownValue);
    EXPECT_EQ(conf.setText("LOGFILE", "a;b"), 0);
    EXPECT_EQ(conf.setInteger("LOGFILE", 1), TovConf::WrongType);
    EXPECT_EQ(conf.setText("NOPE", "1"), TovConf::UnknownParameter);
    ASSERT_EQ(conf.save(), 0);
    EXPECT_EQ(fileContent(), "LOGLEVEL=TRACE\nLOGFILE=a;b\nCOUNT=3\nFLAG=FALSE\nPIN=0000\n\n");
    if (!platform::kWindows) { // private to the user, where files have modes
        EXPECT_EQ(fs::status(dir / "test.conf").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    TovConf empty;
    EXPECT_EQ(empty.save("", "", (dir / "x.conf").string()), TovConf::InternalError);
}

// An update works on the file as it is now, not on what this object read
// earlier, and tells later readers that the file changed.
TEST_F(TovConfTest, UpdateWorksOnTheFileAsItIsNow) {
    int line = 0;
    ASSERT_EQ(loadText("LOGFILE=a\n", line), 0);
    EXPECT_FALSE(conf.changedOnDisk());
    TovConf other;
    ASSERT_EQ(other.load("", "", (dir / "test.conf").string(), declarations(), line), 0);

    // Rewritten in place by somebody else: the size or the time shows it.
    std::ofstream(dir / "test.conf", std::ios::binary) << "LOGFILE=bb\nCOUNT=7\n";
    EXPECT_TRUE(conf.changedOnDisk());
    ASSERT_EQ(conf.update(declarations(), [](TovConf& c) { c.setText("PIN", "1234"); }), 0);
    EXPECT_FALSE(conf.changedOnDisk());
    EXPECT_EQ(text("LOGFILE"), "bb");
    EXPECT_EQ(number("COUNT"), 7);
    EXPECT_EQ(fileContent(), "LOGLEVEL=OFF\nLOGFILE=bb\nCOUNT=7\nFLAG=FALSE\nPIN=1234\n\n");
    // Replaced by this update: the other reader notices.
    EXPECT_TRUE(other.changedOnDisk());

    fs::remove(dir / "test.conf");
    EXPECT_TRUE(conf.changedOnDisk());
    ASSERT_EQ(conf.update(declarations(), [](TovConf& c) { c.setText("LOGFILE", "new"); }), 0);
    EXPECT_EQ(fileContent(), "LOGLEVEL=OFF\nLOGFILE=new\nCOUNT=5\nFLAG=FALSE\nPIN=0000\n\n");
    if (!platform::kWindows) {
        EXPECT_EQ(fs::status(dir / "test.conf").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
}

TEST_F(TovConfTest, UndeclaredKeysArePassedOverWhenAsked) {
    int line = 0;
    conf.setUnknownKeysSkipped(true);
    ASSERT_EQ(loadText("Other=1\nCOUNT=3\nLast Value=x\n", line), 0);
    EXPECT_EQ(number("COUNT"), 3);
    EXPECT_EQ(line, 4);
    EXPECT_EQ(loadText("Other=1\nbroken\nCOUNT=3\n", line), TovConf::SyntaxError);
}

#ifndef _WIN32
// Settings steer the program: a file that another user can change is neither
// read nor written, and the report says which path and why.
TEST_F(TovConfTest, FilesOthersCanChangeAreRefusedWithTheReason) {
    int line = 0;
    ASSERT_EQ(loadText("COUNT=7\n", line), 0);
    const std::string path = (dir / "test.conf").string();
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(conf.load("", "", path, declarations(), line), TovConf::Refused);
    EXPECT_EQ(number("COUNT"), 5);
    EXPECT_EQ(conf.refusal(), "'" + path + "' is owned by another user (uid 65534)");
    EXPECT_EQ(conf.update(declarations(), [](TovConf& c) { c.setInteger("COUNT", 9); }), TovConf::Refused);
    EXPECT_EQ(conf.save(), TovConf::Refused);
    EXPECT_EQ(fileContent(), "COUNT=7\n");

    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
    EXPECT_EQ(conf.load("", "", path, declarations(), line), TovConf::Refused);
    EXPECT_EQ(conf.refusal(), "'" + dir.string() + "' is writable by its group");

    TovLog log(LOG_TRACE, TovLog::File);
    const fs::path logDir = fs::path(::testing::TempDir()) / ("vexa-report-" + std::to_string(::getpid()));
    fs::create_directories(logDir);
    log.setLogFile("", "", (logDir / "report.log").string());
    ASSERT_EQ(log.open(), 0);
    conf.report(log, TovConf::Refused, line, true);
    std::string tail;
    ASSERT_EQ(log.readTail(0, tail), 0);
    fs::remove_all(logDir);
    EXPECT_NE(tail.find("ERROR   Not using file '" + path + "': '" + dir.string() + "' is writable by its group. \n"),
              std::string::npos)
        << tail;
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    EXPECT_EQ(conf.load("", "", path, declarations(), line), 0);
    EXPECT_EQ(conf.refusal(), "");
}
#else
TEST_F(TovConfTest, FilesOthersCanChangeAreRefusedWithTheReason) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

#ifndef _WIN32
// A disk that fills up half-way must not cost the user the old file.
TEST_F(TovConfTest, FailedSaveKeepsTheOldFile) {
    int line = 0;
    const std::string old = "LOGFILE=precious\n";
    ASSERT_EQ(loadText(old, line), 0);
    conf.setText("LOGFILE", std::string(64 * 1024, 'x'));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file size limit makes the write fail as a full disk would.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(conf.save() == TovConf::WriteError ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fileContent(), old);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename(), "test.conf") << "temporary left behind";
}
#else
TEST_F(TovConfTest, FailedSaveKeepsTheOldFile) {
    GTEST_SKIP() << "Fills the disk by RLIMIT_FSIZE in a forked child; Windows has neither";
}
#endif
