#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/dropped_records.h"
#include "support/log_ledger.h"
#include "support/name_table.h"
#include "support/tov_file.h"

namespace vexa {

enum LogLevel : std::int32_t {
    LOG_UNDEFINED = 0,
    LOG_TRACE = 1,
    LOG_DEBUG = 2,
    LOG_INFO = 3,
    LOG_WARNING = 4,
    LOG_ERROR = 5,
    LOG_FATAL = 6,
    LOG_LOG = 7,
    LOG_OFF = 8,
};

// The level names written in the log and read from configuration files.
inline constexpr std::array<NamedValue, 9> kLogLevelPairs = {{
    {"UNDEFINED", LOG_UNDEFINED},
    {"TRACE", LOG_TRACE},
    {"DEBUG", LOG_DEBUG},
    {"INFO", LOG_INFO},
    {"WARNING", LOG_WARNING},
    {"ERROR", LOG_ERROR},
    {"FATAL", LOG_FATAL},
    {"LOG", LOG_LOG},
    {"OFF", LOG_OFF},
}};
inline constexpr NameTable kLogLevelTable{kLogLevelPairs};

// "UNKNOWN" outside 0..8.
std::string logLevelName(std::int32_t level);
// -1 for an unknown name (compared without regard to case).
std::int32_t logLevelValue(std::string_view name);

// One record per line, the file opened exclusively and closed again for each
// record so several logs (and processes) can share one file. Values from
// pages, cards and servers cannot break a line: control characters in every
// column are written escaped (\n, \r, \t, \xNN), the backslash as \\, and a
// record longer than 64 KiB is cut and ends in " [cut]". The file is never
// opened through a symbolic link; once a record would take it past the
// rotation size it is renamed to <name>.1 and a new file begins. A record
// the disk cannot take is cut back out of the file, never left half written;
// the next record written is preceded by one LOG line that says how many
// were dropped and why.
class TovLog {
public:
    enum Output { Stdout = 0, File = 1 };

    static constexpr std::size_t kMaxRecordBytes = 64 * 1024;
    static constexpr std::string_view kCutMarker = " [cut]";
    static constexpr std::int64_t kDefaultRotationBytes = 32 * 1024 * 1024;

    TovLog(std::int32_t threshold = LOG_DEBUG, std::int32_t outputMode = Stdout, bool semicolonFormat = false);
    TovLog(const TovLog& other);
    TovLog& operator=(const TovLog& other);
    virtual ~TovLog() = default;

    void setOutputMode(std::int32_t mode) { outputMode_ = mode; }
    void setThreshold(std::int32_t level) { threshold_ = level; }
    std::int32_t threshold() const { return threshold_; }
    void setClient(std::string_view client) { client_ = client; }
    void setTransactionId(std::string_view id) { transactionId_ = id; }
    void setProcessId(std::int32_t id) { processId_ = id; }
    void setTestcase(std::int32_t testcase) { testcase_ = testcase; }
    // "" when no file is named (setLogFile with an empty name).
    std::string logFileName() { return named_ ? file_.resolvedPath() : std::string(); }
    // The size the file may reach before it is rotated.
    void setRotationSize(std::int64_t bytes) { rotationBytes_ = bytes; }

    // Resolves the path and fills %Y, %M, %D; all zero means today. An
    // empty name names no file (not the directory).
    void setLogFile(std::string_view directory, std::string_view location, std::string_view name, int year = 0,
                    int month = 0, int day = 0);
    int open();
    // Clears the opened flag; later writes return -12 until open.
    void close() { opened_ = false; }
    bool isOpened() const { return opened_; }
    // Writes one record; 0 or a negative code. Standard-output mode writes
    // to stderr: stdout carries the host's protocol.
    int write(std::int32_t level, std::string_view text, std::string_view code = {});
    // The records this log and its copies wrote into the current log file,
    // in file order, from the first line start within the last maxBytes of
    // them (all of them for maxBytes <= 0); never another writer's records.
    // 0 or a negative code.
    int readTail(std::int32_t maxBytes, std::string& result);

    // Until liftCap, records of at most bytes in all are written; the first
    // record beyond is replaced by one LOG line saying so, later ones are
    // dropped (0 returned). Capping again continues the same count, so a
    // writer that is capped time and again never gets a fresh allowance.
    void capRecords(std::size_t bytes);
    void liftCap() { capped_ = false; }

private:
    // False when the cap drops the record; the first one dropped turns
    // into the notice.
    bool withinCap(std::string& record);
    // result: what composing the record gave, returned unless writing fails.
    int writeToFile(const std::string& record, int result);
    // Appends timestamp, fields and trailer; 0, or -15 for a level without a
    // name (the line is still completed).
    int composeRecord(std::string& out, std::int32_t level, std::string_view text, std::string_view code) const;
    // Opens the file locked for a record of recordBytes, positioned at its
    // end (end = its length): 0 or -11.
    int openForRecord(std::size_t recordBytes, std::int64_t& end);
    // Renames the locked file to <name>.1; false when that failed.
    bool rotate();
    int readOwnRecords(std::int32_t maxBytes, std::string& result);

    std::int32_t outputMode_;
    std::int32_t threshold_;
    bool semicolonFormat_;
    TovFile file_;
    bool opened_ = false;
    std::int32_t currentLevel_ = LOG_UNDEFINED;
    std::string client_;
    std::string transactionId_;
    std::int32_t processId_ = 0;
    std::int32_t testcase_ = 0;
    std::int64_t rotationBytes_ = kDefaultRotationBytes;
    bool named_ = false;
    bool capped_ = false;
    bool capNoticed_ = false;
    std::size_t capBytes_ = 0;
    std::size_t cappedBytesWritten_ = 0;
    // Shared by every copy of this log.
    std::shared_ptr<LogLedger> ledger_;
    std::shared_ptr<DroppedRecords> dropped_;
};

} // namespace vexa
