#include "support/tov_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/date_time.h"
#include "tests/unit/temp_files.h"

namespace vexa {
namespace {

using namespace test_support;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// The rest of a line behind its timestamp, "<bad timestamp>" when it has none.
std::string afterTimestamp(std::string_view line, bool semicolonFormat = false) {
    const std::string_view shape = semicolonFormat ? "##.##.####;##:##:##;" : "####-##-## ##:##:## ";
    if (line.size() < shape.size()) return "<bad timestamp>";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '#' ? !digit : shape[i] != line[i]) return "<bad timestamp>";
    }
    return std::string(line.substr(shape.size()));
}

class TovLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        log.setOutputMode(TovLog::File);
        log.setLogFile("", dir.path, "vexa.log");
        ASSERT_EQ(log.open(), 0);
    }
    std::string path() const { return dir.path + "/vexa.log"; }
    std::string text() const { return fileContents(path()); }

    TempDir dir;
    TovLog log;
};

TEST_F(TovLogFile, BlankLinesHoldPresentColumnsInOrder) {
    log.setClient("client1");
    log.setTransactionId("tx9");
    log.setProcessId(-42);
    log.setTestcase(7);
    EXPECT_EQ(log.write(LOG_WARNING, "hello;world", "0x6a82"), 0);
    log = TovLog(LOG_UNDEFINED, TovLog::File);
    log.setLogFile("", dir.path, "vexa.log");
    ASSERT_EQ(log.open(), 0);
    EXPECT_EQ(log.write(LOG_INFO, "a"), 0);
    EXPECT_EQ(log.write(LOG_UNDEFINED, "b", "0"), 0);
    const auto written = lines(text());
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(afterTimestamp(written[0]), "client1 WARNING 0x6a82 tx9 -42 7 hello;world ");
    EXPECT_EQ(afterTimestamp(written[1]), "INFO    a ");
    EXPECT_EQ(afterTimestamp(written[2]), "UNDEFIN 0 b ");
    EXPECT_EQ(text().back(), '\n');
    EXPECT_EQ(fs::status(path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(TovLogFile, ThresholdAndEmptyTextFilterRecords) {
    EXPECT_EQ(log.write(LOG_TRACE, "below"), 0);
    EXPECT_EQ(log.write(LOG_INFO, ""), 0);
    log.setThreshold(LOG_LOG);
    EXPECT_EQ(log.write(LOG_FATAL, "fatal"), 0);
    EXPECT_EQ(log.write(LOG_LOG, "logged"), 0);
    log.setThreshold(LOG_OFF);
    for (std::int32_t level : {std::int32_t{LOG_LOG}, std::int32_t{LOG_OFF}, 9}) EXPECT_EQ(log.write(level, "x"), 0);
    const auto written = lines(text());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(afterTimestamp(written[0]), "LOG     logged ");
}

TEST_F(TovLogFile, LevelWithoutNameStillCompletesTheLine) {
    log.setClient("c");
    log.setTransactionId("t");
    EXPECT_EQ(log.write(9, "lost"), -15);
    log.setThreshold(-5);
    log.setClient("");
    EXPECT_EQ(log.write(-1, "lost"), -15);
    EXPECT_EQ(lines(text()).size(), 2u);
    EXPECT_EQ(afterTimestamp(lines(text())[0]), "c  ");
    EXPECT_EQ(afterTimestamp(lines(text())[1]), " ");
}

TEST_F(TovLogFile, SemicolonFormatHeaderOnlyOnEmptyFile) {
    TovLog semi(LOG_DEBUG, TovLog::File, true);
    semi.setLogFile("", dir.path, "semi.log");
    ASSERT_EQ(semi.open(), 0);
    semi.setClient("a;b");
    EXPECT_EQ(semi.write(LOG_INFO, "x;y", "c;d"), 0);
    semi.setProcessId(12);
    EXPECT_EQ(semi.write(LOG_ERROR, "z"), 0);
    const auto written = lines(fileContents(dir.path + "/semi.log"));
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0], "Date;Time;Client;Class;Code;Transaction;Process;Testcase;Text;");
    EXPECT_EQ(afterTimestamp(written[1], true), "a b;INFO   ;c d;;;;x y;;");
    EXPECT_EQ(afterTimestamp(written[2], true), "a b;ERROR  ;;;12;;z;;");

    writeFile(dir.path + "/old.log", "earlier\n");
    semi.setLogFile("", dir.path, "old.log");
    EXPECT_EQ(semi.write(LOG_INFO, "x"), 0);
    EXPECT_EQ(lines(fileContents(dir.path + "/old.log")).size(), 2u);
}

TEST_F(TovLogFile, DatePlaceholdersFilledOnceFromGivenOrCurrentDate) {
    log.setLogFile("", dir.path, "log_%Y-%M-%D_%Y.txt", 2024, 3, 5);
    EXPECT_EQ(log.logFileName(), dir.path + "/log_2024-03-05_2024.txt");
    ASSERT_EQ(log.write(LOG_INFO, "x"), 0);
    EXPECT_TRUE(fs::exists(dir.path + "/log_2024-03-05_2024.txt"));

    auto name = [](const DateTime& d) {
        char text[32];
        std::snprintf(text, sizeof text, "%04d%02d%02d.log", d.year(), d.month(), d.day());
        return std::string(text);
    };
    const DateTime before(true);
    log.setLogFile("", dir.path, "%Y%M%D.log");
    const DateTime after(true);
    const std::string file = fs::path(log.logFileName()).filename().string();
    EXPECT_TRUE(file == name(before) || file == name(after)) << file;
}

TEST_F(TovLogFile, ReadTailStartsAtALineStart) {
    std::string result = "stale";
    EXPECT_EQ(log.readTail(100, result), 0);
    EXPECT_EQ(result, "");
    writeFile(path(), "first line\nsecond\nthird\n");
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "first line\nsecond\nthird\n"},
        {1000, "first line\nsecond\nthird\n"},
        {10, "third\n"},         // cuts "second"
        {13, "second\nthird\n"}, // cuts just behind a line feed
        {5, ""},
    };
    for (const auto& [maxBytes, expected] : cases) {
        EXPECT_EQ(log.readTail(maxBytes, result), 0);
        EXPECT_EQ(result, expected) << maxBytes;
    }
    writeFile(path(), "one\nno line feed");
    EXPECT_EQ(log.readTail(8, result), 0);
    EXPECT_EQ(result, "");
    log.setOutputMode(TovLog::Stdout);
    EXPECT_EQ(log.readTail(0, result), -1);
}

TEST(TovLogLevels, NamesAndValues) {
    EXPECT_EQ(logLevelName(LOG_UNDEFINED), "UNDEFINED");
    EXPECT_EQ(logLevelName(LOG_OFF), "OFF");
    EXPECT_EQ(logLevelName(-1), "UNKNOWN");
    EXPECT_EQ(logLevelName(9), "UNKNOWN");
    EXPECT_EQ(logLevelValue("warning"), LOG_WARNING);
    EXPECT_EQ(logLevelValue("UNDEFINED"), LOG_UNDEFINED);
    for (const char* name : {"UNKNOWN", "", "WARN"}) EXPECT_EQ(logLevelValue(name), -1);
}

TEST(TovLogState, WritesNeedAnOpenedLogAndAValidMode) {
    TempDir dir;
    TovLog log;
    EXPECT_EQ(log.write(LOG_FATAL, "before open"), -12);
    log.setOutputMode(TovLog::File);
    log.setLogFile("", "", "");
    EXPECT_EQ(log.open(), -10);
    EXPECT_EQ(log.write(LOG_FATAL, "x"), -12);
    log.setLogFile("", dir.path, "v.log");
    log.setOutputMode(5);
    EXPECT_EQ(log.open(), 0);
    EXPECT_EQ(log.write(LOG_FATAL, "x"), -13);
    log.close();
    EXPECT_EQ(log.write(LOG_FATAL, "x"), -12);
    EXPECT_FALSE(fs::exists(dir.path + "/v.log"));
}

TEST(TovLogState, CopiesKeepSettingsButStartClosed) {
    TempDir dir;
    TovLog log(LOG_INFO, TovLog::File);
    log.setLogFile("", dir.path, "v.log");
    log.setClient("cl");
    ASSERT_EQ(log.open(), 0);
    TovLog copy(log), assigned;
    assigned = log;
    for (TovLog* target : {&copy, &assigned}) {
        EXPECT_EQ(target->write(LOG_INFO, "x"), -12);
        ASSERT_EQ(target->open(), 0);
        EXPECT_EQ(target->write(LOG_DEBUG, "below"), 0);
        EXPECT_EQ(target->write(LOG_INFO, "copy"), 0);
    }
    const auto written = lines(fileContents(dir.path + "/v.log"));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(afterTimestamp(written[1]), "cl INFO    copy ");
}

// Points a standard descriptor at a file for the lifetime of the object.
class RedirectFd {
public:
    RedirectFd(int fd, const std::string& path) : fd_(fd), saved_(dup(fd)) {
        const int target = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(target, fd);
        ::close(target);
    }
    ~RedirectFd() {
        dup2(saved_, fd_);
        ::close(saved_);
    }

private:
    int fd_, saved_;
};

TEST(TovLogState, StandardOutputModeWritesToStderr) {
    TempDir dir;
    TovLog log;
    ASSERT_EQ(log.open(), 0);
    std::cout.flush();
    {
        RedirectFd out(STDOUT_FILENO, dir.path + "/out"), err(STDERR_FILENO, dir.path + "/err");
        EXPECT_EQ(log.write(LOG_ERROR, "to the console", "7"), 0);
    }
    EXPECT_EQ(fileContents(dir.path + "/out"), "");
    EXPECT_EQ(afterTimestamp(fileContents(dir.path + "/err")), "ERROR   7 to the console \n");
}

// A child process running body; killed if the test ends before it does.
class Child {
public:
    explicit Child(const std::function<int()>& body) : pid_(fork()) {
        if (pid_ == 0) _exit(body());
    }
    ~Child() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    }
    // The exit status, -1 when it did not exit normally.
    int wait() {
        int status = 0;
        const pid_t pid = std::exchange(pid_, -1);
        if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_;
};

class Pipe {
public:
    Pipe() {
        if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Pipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void signal() { (void)!::write(fds_[1], "", 1); }
    bool await() {
        char c;
        return ::read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

// Holds the file exclusively until released, or for holdMs when that is set.
int holdLock(const std::string& path, Pipe& locked, Pipe& release, int holdMs = -1) {
    TovFile file;
    file.set("", "", path);
    if (file.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, 0) != 0) return 2;
    locked.signal();
    holdMs < 0 ? (void)release.await() : std::this_thread::sleep_for(milliseconds(holdMs));
    return 0;
}

TEST_F(TovLogFile, RecordWaitsForAnotherProcessThenGivesUp) {
    Pipe locked, release;
    Child brief([&] { return holdLock(path(), locked, release, 150); });
    ASSERT_TRUE(locked.await());
    auto start = Clock::now();
    EXPECT_EQ(log.write(LOG_INFO, "waited"), 0);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
    EXPECT_EQ(brief.wait(), 0);

    Child holder([&] { return holdLock(path(), locked, release); });
    ASSERT_TRUE(locked.await());
    start = Clock::now();
    EXPECT_EQ(log.write(LOG_INFO, "blocked"), -11);
    EXPECT_GE(Clock::now() - start, milliseconds(350));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    std::string tail;
    EXPECT_EQ(log.readTail(0, tail), -11);
    release.signal();
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(afterTimestamp(text()), "INFO    waited \n");
}

// Writes 500 records; a record refused with -11 wrote nothing and is retried.
// The short pauses keep both writers busy over the same stretch of time.
int writeRecords(const std::string& directory, char writer, Pipe& ready, Pipe& go) {
    TovLog log(LOG_DEBUG, TovLog::File);
    log.setLogFile("", directory, "vexa.log");
    if (log.open() != 0) return 1;
    const std::string payload(300, writer);
    ready.signal();
    go.await();
    for (int i = 0; i < 500; ++i) {
        const std::string text = std::string(1, writer) + "-" + std::to_string(i) + " " + payload;
        int result = -11;
        for (int attempt = 0; result == -11 && attempt < 50; ++attempt) result = log.write(LOG_INFO, text);
        if (result != 0) return 3;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return 0;
}

TEST_F(TovLogFile, RecordsOfTwoProcessesNeverInterleave) {
    Pipe ready, go;
    Child a([&] { return writeRecords(dir.path, 'A', ready, go); });
    Child b([&] { return writeRecords(dir.path, 'B', ready, go); });
    ASSERT_TRUE(ready.await() && ready.await());
    go.signal();
    go.signal();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);

    std::set<std::string> seen;
    const auto written = lines(text());
    for (const std::string& line : written) {
        const std::string rest = afterTimestamp(line); // "INFO    A-17 AAA...A "
        const std::size_t blank = rest.find(' ', 8);
        ASSERT_TRUE(rest.starts_with("INFO    ") && blank != std::string::npos) << line;
        EXPECT_EQ(rest.substr(blank), " " + std::string(300, rest[8]) + " ") << line;
        EXPECT_TRUE(seen.insert(rest.substr(8, blank - 8)).second) << "duplicate " << line;
    }
    EXPECT_EQ(written.size(), 1000u);
    EXPECT_EQ(seen.size(), 1000u);
}

} // namespace
} // namespace vexa
