#include "support/tov_log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <optional>
#include <vector>

#include "platform/error_text.h"
#include "platform/file.h"
#include "platform/path.h"
#include "support/date_time.h"
#include "support/text.h"

namespace vexa {

namespace {

constexpr std::size_t kLevelWidth = 7;
// 20 tries, 20 ms apart.
constexpr int kOpenBudgetMs = 400;
constexpr std::string_view kSemicolonHeader = "Date;Time;Client;Class;Code;Transaction;Process;Testcase;Text;\n";
// After rotating, a writer opens the new file; a bound
// against writers rotating in turn.
constexpr int kOpenRounds = 4;

// The time of writing, in the format's own column layout.
std::string timestamp(bool semicolonFormat) {
    DateTime now;
    now.setToNow();
    char text[64];
    const int n = semicolonFormat ? std::snprintf(text, sizeof text, "%02i.%02i.%04i;%02i:%02i:%02i;", now.day(),
                                                  now.month(), now.year(), now.hour(), now.minute(), now.second())
                                  : std::snprintf(text, sizeof text, "%04i-%02i-%02i %02i:%02i:%02i ", now.year(),
                                                  now.month(), now.day(), now.hour(), now.minute(), now.second());
    return std::string(text, static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof text) - 1)));
}

// A value as it goes into a column: never longer than a record may be, no
// control characters, and in the semicolon format no ";".
std::string columnValue(std::string_view value, bool semicolonFormat) {
    std::string text = escapeForLog(value.substr(0, TovLog::kMaxRecordBytes));
    return semicolonFormat ? replaceAll(std::move(text), ";", " ") : text;
}

// Appends one column: blank-separated lines leave out empty columns, semicolon
// lines keep every column.
void appendColumn(std::string& out, std::string_view value, bool semicolonFormat) {
    if (semicolonFormat) {
        out += columnValue(value, true);
        out += ';';
    } else if (!value.empty()) {
        out += columnValue(value, false);
        out += ' ';
    }
}

// The longest prefix of escaped text, up to limit bytes, that does not end
// inside an escape, so a cut record never ends in half an escape.
std::size_t escapeBoundary(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    while (end < limit) {
        std::size_t next = end + 1;
        if (text[end] == '\\') next = end + (end + 1 < text.size() && text[end + 1] == 'x' ? 4 : 2);
        if (next > limit) break;
        end = next;
    }
    return end;
}

std::string nonZeroDecimal(std::int32_t value) {
    return value == 0 ? std::string() : signedDecimal(value);
}

std::string droppedNotice(const DroppedRecords::Count& dropped) {
    return "Dropped " + unsignedDecimal(dropped.records) + (dropped.records == 1 ? " log record" : " log records") +
           " that could not be written: " + dropped.reason;
}

} // namespace

std::string logLevelName(std::int32_t level) {
    return kLogLevelTable.nameOf(level);
}

std::int32_t logLevelValue(std::string_view name) {
    for (const auto& pair : kLogLevelPairs)
        if (textEqualsNoCase(name, pair.name)) return pair.value;
    return -1;
}

TovLog::TovLog(std::int32_t threshold, std::int32_t outputMode, bool semicolonFormat)
    : outputMode_(outputMode),
      threshold_(threshold),
      semicolonFormat_(semicolonFormat),
      ledger_(std::make_shared<LogLedger>()),
      dropped_(std::make_shared<DroppedRecords>()) {
    file_.setFollowLinks(false);
}

// A copy starts closed: it must be opened before it writes.
TovLog::TovLog(const TovLog& other)
    : outputMode_(other.outputMode_),
      threshold_(other.threshold_),
      semicolonFormat_(other.semicolonFormat_),
      file_(other.file_),
      currentLevel_(other.currentLevel_),
      client_(other.client_),
      transactionId_(other.transactionId_),
      processId_(other.processId_),
      testcase_(other.testcase_),
      rotationBytes_(other.rotationBytes_),
      named_(other.named_),
      capped_(other.capped_),
      capNoticed_(other.capNoticed_),
      capBytes_(other.capBytes_),
      cappedBytesWritten_(other.cappedBytesWritten_),
      ledger_(other.ledger_),
      dropped_(other.dropped_) {}

TovLog& TovLog::operator=(const TovLog& other) {
    if (this == &other) return *this;
    outputMode_ = other.outputMode_;
    threshold_ = other.threshold_;
    semicolonFormat_ = other.semicolonFormat_;
    file_ = other.file_;
    opened_ = false;
    currentLevel_ = other.currentLevel_;
    client_ = other.client_;
    transactionId_ = other.transactionId_;
    processId_ = other.processId_;
    testcase_ = other.testcase_;
    rotationBytes_ = other.rotationBytes_;
    named_ = other.named_;
    capped_ = other.capped_;
    capNoticed_ = other.capNoticed_;
    capBytes_ = other.capBytes_;
    cappedBytesWritten_ = other.cappedBytesWritten_;
    ledger_ = other.ledger_;
    dropped_ = other.dropped_;
    return *this;
}

void TovLog::setLogFile(std::string_view directory, std::string_view location, std::string_view name, int year,
                        int month, int day) {
    file_.set(directory, location, name);
    named_ = !name.empty();
    if (year == 0 && month == 0 && day == 0) {
        const DateTime today(true);
        year = today.year();
        month = today.month();
        day = today.day();
    }
    std::string path = file_.resolvedPath();
    path = replaceAll(std::move(path), "%Y", formatInteger("%04i", year));
    path = replaceAll(std::move(path), "%M", formatInteger("%02i", month));
    path = replaceAll(std::move(path), "%D", formatInteger("%02i", day));
    file_.setResolvedPath(path);
}

int TovLog::open() {
    opened_ = false;
    if (outputMode_ == File && logFileName().empty()) return -10;
    opened_ = true;
    return 0;
}

int TovLog::write(std::int32_t level, std::string_view text, std::string_view code) {
    if (text.empty()) return 0;
    if (!opened_) return -12;
    currentLevel_ = level;
    // OFF silences everything, even levels above it that have no name.
    if (level < threshold_ || threshold_ >= LOG_OFF) return 0;
    if (outputMode_ != File && outputMode_ != Stdout) return -13;
    std::string record;
    const int result = composeRecord(record, level, text, code);
    if (!withinCap(record)) return 0;
    if (outputMode_ == File) return writeToFile(record, result);
    // stdout carries the host's protocol, so the console log goes to stderr.
    const int written = platform::writeStandardError(record) ? 0 : -14;
    return result != 0 ? result : written;
}

void TovLog::capRecords(std::size_t bytes) {
    capped_ = true;
    capBytes_ = bytes;
}

bool TovLog::withinCap(std::string& record) {
    if (!capped_) return true;
    if (cappedBytesWritten_ + record.size() <= capBytes_) {
        cappedBytesWritten_ += record.size();
        return true;
    }
    if (capNoticed_) return false;
    capNoticed_ = true;
    cappedBytesWritten_ = capBytes_;
    record.clear();
    composeRecord(record, LOG_LOG,
                  "Log limit of " + unsignedDecimal(capBytes_) + " bytes reached; further records are dropped", {});
    return true;
}

// The whole record goes out in one write while the file is locked, so
// records of several writers never mix. What the disk does not take is cut
// off again, so that the next record never runs into half a line.
int TovLog::writeToFile(const std::string& record, int result) {
    const DroppedRecords::Count dropped = dropped_->pending();
    std::string out;
    if (dropped.records > 0) composeRecord(out, LOG_LOG, droppedNotice(dropped), {});
    out += record;
    std::int64_t start = 0;
    if (openForRecord(out.size(), start) != 0) return -11;
    std::size_t headerBytes = 0;
    if (semicolonFormat_ && start == 0) {
        out.insert(0, kSemicolonHeader);
        headerBytes = kSemicolonHeader.size();
    }
    const std::optional<FileIdentity> identity = file_.identity();
    errno = 0;
    if (file_.writeText(out) == 0) {
        if (identity)
            ledger_->add(*identity, start + static_cast<std::int64_t>(headerBytes),
                         std::string_view(out).substr(headerBytes));
        dropped_->settle(dropped.records);
    } else {
        const int error = errno;
        file_.truncate(start);
        dropped_->add(error != 0 ? platform::errorText(error) : "the file took no more");
        if (result == 0) result = -14;
    }
    if (file_.close() != 0 && result == 0) result = -14;
    return result;
}

int TovLog::openForRecord(std::size_t recordBytes, std::int64_t& end) {
    for (int round = 0; round < kOpenRounds; ++round) {
        // The open re-tries when another writer rotated the file between our
        // open and our lock.
        if (file_.openFile(TovFile::Append, true, TovFile::Exclusive, kOpenBudgetMs) != 0) return -11;
        end = file_.position(0, TovFile::End);
        // A rename that fails keeps the record rather than losing it.
        if (end > 0 && end + static_cast<std::int64_t>(recordBytes) > rotationBytes_ && rotate()) {
            file_.close();
            continue;
        }
        return 0;
    }
    file_.close();
    return -11;
}

// Runs under the file's lock, so writers waiting for it find it moved.
bool TovLog::rotate() {
    const std::string& path = file_.resolvedPath();
    return platform::renameFile(path, path + ".1");
}

int TovLog::composeRecord(std::string& out, std::int32_t level, std::string_view text, std::string_view code) const {
    const bool semicolon = semicolonFormat_;
    out += timestamp(semicolon);
    appendColumn(out, client_, semicolon);
    int result = 0;
    if (level < 0 || level > LOG_OFF) {
        result = -15;
    } else {
        appendColumn(out, setLength(logLevelName(level), kLevelWidth, ' '), semicolon);
        appendColumn(out, code, semicolon);
        appendColumn(out, transactionId_, semicolon);
        appendColumn(out, nonZeroDecimal(processId_), semicolon);
        appendColumn(out, nonZeroDecimal(testcase_), semicolon);
        out += columnValue(text, semicolon);
    }
    const std::string_view trailer = semicolon ? ";;\n" : " \n";
    if (out.size() + trailer.size() > kMaxRecordBytes) {
        out.resize(escapeBoundary(out, kMaxRecordBytes - trailer.size() - kCutMarker.size()));
        out += kCutMarker;
    }
    out += trailer;
    return result;
}

namespace {

// A log whose folder exists but whose file does not has simply written
// nothing yet; a missing folder is a log that cannot be read.
bool noFileYet(const std::string& path) {
    if (platform::factsOf(path, false)) return false;
    const auto separator = std::find_if(path.rbegin(), path.rend(), platform::isPathSeparator);
    // The folder keeps its root: "/" for "/log", "C:\\" for "C:\\log".
    const auto at = static_cast<std::size_t>(path.rend() - separator - 1);
    const std::string folder = separator == path.rend()         ? "."
                               : at == 0 || path[at - 1] == ':' ? path.substr(0, at + 1)
                                                                : path.substr(0, at);
    const auto facts = platform::factsOf(folder);
    return facts && facts->isFolder;
}

} // namespace

int TovLog::readTail(std::int32_t maxBytes, std::string& result) {
    result.clear();
    if (outputMode_ != File) return -1;
    if (logFileName().empty()) return -10;
    // Read-only, so that asking for the tail never creates the file: with
    // logging off there is none, and it holds no record of ours.
    if (file_.openFile(TovFile::ReadOnly, true, TovFile::Exclusive, kOpenBudgetMs) != 0)
        return noFileYet(file_.resolvedPath()) ? 0 : -11;
    int code = readOwnRecords(maxBytes, result);
    if (file_.close() != 0 && code == 0) code = -16;
    if (code != 0) result.clear();
    return code;
}

// Reads the newest own stretches that cover maxBytes and one byte more, keeps
// those the file still holds unchanged, and starts at the first line start
// within the last maxBytes (one byte more: when the byte before the cut is a
// line feed the cut is already a line start).
int TovLog::readOwnRecords(std::int32_t maxBytes, std::string& result) {
    const std::optional<FileIdentity> identity = file_.identity();
    const std::int64_t length = file_.length();
    if (!identity || length < 0) return -16;
    const std::vector<LogLedger::Stretch> stretches = ledger_->stretches(*identity);
    const std::int64_t wanted = maxBytes > 0 ? std::int64_t{maxBytes} + 1 : std::numeric_limits<std::int64_t>::max();
    std::size_t first = stretches.size();
    for (std::int64_t covered = 0; first > 0 && covered < wanted; --first)
        covered += stretches[first - 1].end - stretches[first - 1].start;
    std::string text;
    for (std::size_t i = first; i < stretches.size(); ++i) {
        const LogLedger::Stretch& stretch = stretches[i];
        if (stretch.end > length) continue;
        std::string bytes(static_cast<std::size_t>(stretch.end - stretch.start) + 1, '\0');
        std::uint32_t n = static_cast<std::uint32_t>(bytes.size() - 1);
        if (file_.position(stretch.start, TovFile::Start) < 0 || file_.readBytes(std::span<char>(bytes), n) != 0)
            return -16;
        bytes.resize(n);
        if (LogLedger::holds(stretch, bytes)) text += bytes;
    }
    if (maxBytes > 0 && std::int64_t{maxBytes} < static_cast<std::int64_t>(text.size())) {
        const std::size_t cut = text.size() - static_cast<std::size_t>(maxBytes);
        std::size_t start = cut;
        if (text[cut - 1] != '\n') {
            const std::size_t lineFeed = text.find('\n', cut);
            start = lineFeed == std::string::npos ? text.size() : lineFeed + 1;
        }
        text.erase(0, start);
    }
    result = std::move(text);
    return 0;
}

} // namespace vexa
