#include "support/tov_log.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "support/date_time.h"
#include "temp_files.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace vexa {
namespace {

using namespace test_support;
using namespace std::string_literals;
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
    // Private to the user, where files have modes.
    if (!platform::kWindows) {
        EXPECT_EQ(fs::status(path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    }
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
    EXPECT_EQ(log.logFileName(), (fs::path(dir.path) / "log_2024-03-05_2024.txt").string());
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
    for (const char* record : {"first line", "second", "third"}) ASSERT_EQ(log.write(LOG_INFO, record), 0);
    const std::string whole = text();
    const auto written = lines(whole);
    ASSERT_EQ(written.size(), 3u);
    const std::size_t second = written[1].size() + 1, third = written[2].size() + 1;
    const std::vector<std::pair<std::size_t, std::string>> cases = {
        {0, whole},
        {1 << 20, whole},
        {third + 3, written[2] + "\n"},                          // cuts the second line
        {second + third, written[1] + "\n" + written[2] + "\n"}, // cuts just behind a line feed
        {5, ""},
    };
    for (const auto& [maxBytes, expected] : cases) {
        EXPECT_EQ(log.readTail(static_cast<std::int32_t>(maxBytes), result), 0);
        EXPECT_EQ(result, expected) << maxBytes;
    }
    log.setOutputMode(TovLog::Stdout);
    EXPECT_EQ(log.readTail(0, result), -1);
}

// Values from pages, cards and servers go into the client, code, transaction
// and text columns; none of them may break a record's line.
TEST_F(TovLogFile, ControlCharactersInEveryColumnAreEscaped) {
    struct Row {
        std::string client, code, transaction, text, expected;
    };
    const std::vector<Row> rows = {
        {"", "", "", "forged\n2024-01-01 00:00:00 ERROR   intruder",
         "DEBUG   forged\\n2024-01-01 00:00:00 ERROR   intruder "},
        {"bank\r\n2024-01-01 00:00:00 ", "", "", "x", "bank\\r\\n2024-01-01 00:00:00  DEBUG   x "},
        {"", "", "T1\nINFO", "x", "DEBUG   T1\\nINFO x "},
        {"", "0\x01", "", "a\tb\x7f\x1b[31m\x00z"s, "DEBUG   0\\x01 a\\tb\\x7f\\x1b[31m\\x00z "},
        // A typed "\n" must not read like an escaped line end.
        {"", "", "", "typed \\n, back\\slash", "DEBUG   typed \\\\n, back\\\\slash "},
        {"C:\\x", "\\", "", "\xE4 and ; stay", "C:\\\\x DEBUG   \\\\ \xE4 and ; stay "},
    };
    for (const Row& row : rows) {
        log.setClient(row.client);
        log.setTransactionId(row.transaction);
        EXPECT_EQ(log.write(LOG_DEBUG, row.text, row.code), 0);
    }
    const auto written = lines(text());
    ASSERT_EQ(written.size(), rows.size()) << text();
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(afterTimestamp(written[i]), rows[i].expected);
}

TEST_F(TovLogFile, LongValuesAreCutToOneMarkedRecord) {
    const std::string huge(1 << 20, 'x');
    const std::string newlines(1 << 20, '\n');
    const std::string backslashes(1 << 20, '\\');
    log.setTransactionId(huge);
    EXPECT_EQ(log.write(LOG_INFO, huge), 0);
    log.setTransactionId("");
    log.setClient(newlines);
    EXPECT_EQ(log.write(LOG_INFO, "short"), 0);
    log.setClient("");
    EXPECT_EQ(log.write(LOG_INFO, "x" + backslashes), 0);
    EXPECT_EQ(log.write(LOG_INFO, "x" + std::string(1 << 20, '\x01')), 0);
    EXPECT_EQ(log.write(LOG_INFO, "after"), 0);
    const auto written = lines(text());
    ASSERT_EQ(written.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        // Cut before an escape that would not fit whole (\xNN is the longest).
        EXPECT_LE(written[i].size() + 1, TovLog::kMaxRecordBytes) << i;
        EXPECT_GE(written[i].size() + 4, TovLog::kMaxRecordBytes) << i;
        const std::string_view cut = std::string_view(written[i]).substr(0, written[i].size() - 7);
        EXPECT_TRUE(cut.ends_with("x") || cut.ends_with("\\n") || cut.ends_with("\\\\") || cut.ends_with("\\x01"))
            << written[i].substr(written[i].size() - 20);
        EXPECT_TRUE(written[i].ends_with(" [cut] "));
    }
    EXPECT_EQ(afterTimestamp(written[4]), "INFO    after ");
}

TEST_F(TovLogFile, FileIsRotatedAtTheThreshold) {
    log.setRotationSize(200);
    const std::string payload(60, 'p');
    // A record is 20 + 8 + 62 + 2 = 92 bytes: two fit, the third begins a new file.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(log.write(LOG_INFO, std::to_string(i) + payload), 0);
    auto current = lines(text()), rotated = lines(fileContents(path() + ".1"));
    ASSERT_EQ(rotated.size(), 2u);
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(afterTimestamp(current[0]), "INFO    2" + payload + " ");
    std::string tail;
    EXPECT_EQ(log.readTail(0, tail), 0);
    EXPECT_EQ(tail, text()) << "records in the renamed file are not read back";

    // Another writer of the file (not a copy of this log) rotates it again;
    // the older file goes, and this log's next record finds the new file.
    TovLog other(LOG_DEBUG, TovLog::File);
    other.setLogFile("", dir.path, "vexa.log");
    other.setRotationSize(200);
    ASSERT_EQ(other.open(), 0);
    for (int i = 3; i < 5; ++i) ASSERT_EQ(other.write(LOG_INFO, std::to_string(i) + payload), 0);
    EXPECT_EQ(log.readTail(0, tail), 0);
    EXPECT_EQ(tail, "");
    ASSERT_EQ(log.write(LOG_INFO, "5" + payload), 0);
    rotated = lines(fileContents(path() + ".1"));
    current = lines(text());
    ASSERT_EQ(rotated.size(), 2u);
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(afterTimestamp(rotated[0]), "INFO    2" + payload + " ");
    EXPECT_EQ(afterTimestamp(current[1]), "INFO    5" + payload + " ");
    EXPECT_EQ(log.readTail(0, tail), 0);
    EXPECT_EQ(tail, current[1] + "\n");

    // A record larger than the threshold still goes into a file of its own.
    EXPECT_EQ(log.write(LOG_INFO, std::string(300, 'L')), 0);
    EXPECT_EQ(lines(text()).size(), 1u);
}

TEST_F(TovLogFile, SymbolicLinkAtThePathIsNotFollowed) {
    const std::string target = dir.path + "/target";
    writeFile(target, "someone else's file\n");
    std::error_code error;
    fs::create_symlink(target, path(), error);
    if (error) GTEST_SKIP() << "This system makes no symbolic link here: " << error.message();
    EXPECT_EQ(log.write(LOG_INFO, "into the link"), -11);
    std::string tail;
    EXPECT_EQ(log.readTail(0, tail), -11);
    EXPECT_EQ(fileContents(target), "someone else's file\n");
    EXPECT_TRUE(fs::is_symlink(path()));
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
    // An empty name in a directory names no file, not the directory.
    std::string tail = "stale";
    log.setLogFile("", dir.path, "");
    EXPECT_EQ(log.logFileName(), "");
    EXPECT_EQ(log.open(), -10);
    EXPECT_EQ(log.readTail(0, tail), -10);
    EXPECT_EQ(tail, "");
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

TEST(TovLogState, StandardOutputModeWritesToStderr) {
    TovLog log;
    ASSERT_EQ(log.open(), 0);
    std::cout.flush();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(log.write(LOG_ERROR, "to the console", "7"), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(afterTimestamp(err), "ERROR   7 to the console \n");
}

#ifndef _WIN32
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

// Writes 200 records interleaved with another process, waits until both have
// written, then expects to read back exactly its own records.
int writeAndReadOwnRecords(const std::string& directory, char writer, Pipe& ready, Pipe& go, Pipe& written,
                           Pipe& read) {
    TovLog log(LOG_DEBUG, TovLog::File);
    log.setLogFile("", directory, "vexa.log");
    if (log.open() != 0) return 1;
    ready.signal();
    go.await();
    for (int i = 0; i < 200; ++i) {
        int result = -11;
        for (int attempt = 0; result == -11 && attempt < 50; ++attempt)
            result = log.write(LOG_INFO, std::string(1, writer) + "-" + std::to_string(i));
        if (result != 0) return 2;
        // Pacing, not waiting: gives the other writer a turn so records interleave.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    written.signal();
    read.await();
    for (std::int32_t maxBytes : {0, 1000}) {
        std::string own;
        if (log.readTail(maxBytes, own) != 0) return 3;
        const auto records = lines(own);
        if (maxBytes == 0 ? records.size() != 200 : own.size() > 1000u || records.empty()) return 4;
        for (const std::string& record : records)
            if (afterTimestamp(record).substr(8, 2) != std::string(1, writer) + "-") return 5;
    }
    return 0;
}

TEST_F(TovLogFile, EachProcessReadsBackOnlyItsOwnRecords) {
    Pipe ready, go, written, read;
    Child a([&] { return writeAndReadOwnRecords(dir.path, 'A', ready, go, written, read); });
    Child b([&] { return writeAndReadOwnRecords(dir.path, 'B', ready, go, written, read); });
    ASSERT_TRUE(ready.await() && ready.await());
    go.signal();
    go.signal();
    ASSERT_TRUE(written.await() && written.await());
    EXPECT_EQ(lines(text()).size(), 400u);
    read.signal();
    read.signal();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
}

// Two processes rotating one file at a small size: every line stays whole
// and no file grows past the size.
int writeRotating(const std::string& directory, char writer, Pipe& ready, Pipe& go) {
    TovLog log(LOG_DEBUG, TovLog::File);
    log.setLogFile("", directory, "vexa.log");
    log.setRotationSize(2000);
    if (log.open() != 0) return 1;
    ready.signal();
    go.await();
    for (int i = 0; i < 300; ++i) {
        int result = -11;
        for (int attempt = 0; result == -11 && attempt < 50; ++attempt)
            result = log.write(LOG_INFO, std::string(1, writer) + "-" + std::to_string(i) + std::string(40, writer));
        if (result != 0) return 2;
    }
    return 0;
}

TEST_F(TovLogFile, ConcurrentRotationKeepsRecordsWholeAndFilesSmall) {
    Pipe ready, go;
    Child a([&] { return writeRotating(dir.path, 'A', ready, go); });
    Child b([&] { return writeRotating(dir.path, 'B', ready, go); });
    ASSERT_TRUE(ready.await() && ready.await());
    go.signal();
    go.signal();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    for (const std::string& file : {path(), path() + ".1"}) {
        const std::string content = fileContents(file);
        EXPECT_LE(content.size(), 2000u) << file;
        for (const std::string& line : lines(content)) {
            const std::string rest = afterTimestamp(line);
            ASSERT_TRUE(rest.size() > 9 && rest.starts_with("INFO    ")) << line;
            EXPECT_TRUE(rest.ends_with(std::string(40, rest[8]) + " ")) << line;
        }
    }
}
#else
TEST_F(TovLogFile, RecordWaitsForAnotherProcessThenGivesUp) {
    GTEST_SKIP() << "Runs child processes by fork with pipes between them; Windows has no fork";
}

TEST_F(TovLogFile, RecordsOfTwoProcessesNeverInterleave) {
    GTEST_SKIP() << "Runs child processes by fork with pipes between them; Windows has no fork";
}

TEST_F(TovLogFile, EachProcessReadsBackOnlyItsOwnRecords) {
    GTEST_SKIP() << "Runs child processes by fork with pipes between them; Windows has no fork";
}

TEST_F(TovLogFile, ConcurrentRotationKeepsRecordsWholeAndFilesSmall) {
    GTEST_SKIP() << "Runs child processes by fork with pipes between them; Windows has no fork";
}
#endif

} // namespace
} // namespace vexa
