#include "support/tov_log.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "support/date_time.h"
#include "support/text.h"

namespace vexa {

namespace {

constexpr std::size_t kLevelWidth = 7;
// 20 tries, 20 ms apart.
constexpr int kOpenBudgetMs = 400;
constexpr std::string_view kSemicolonHeader = "Date;Time;Client;Class;Code;Transaction;Process;Testcase;Text;\n";

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

// Appends one column: blank-separated lines leave out empty columns, semicolon
// lines keep every column and turn a ";" inside a value into a blank.
void appendColumn(std::string& out, std::string_view value, bool semicolonFormat) {
    if (semicolonFormat) {
        out += replaceAll(std::string(value), ";", " ");
        out += ';';
    } else if (!value.empty()) {
        out += value;
        out += ' ';
    }
}

std::string nonZeroDecimal(std::int32_t value) {
    return value == 0 ? std::string() : signedDecimal(value);
}

int writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -14;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
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
    : outputMode_(outputMode), threshold_(threshold), semicolonFormat_(semicolonFormat) {}

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
      testcase_(other.testcase_) {}

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
    return *this;
}

void TovLog::setLogFile(std::string_view directory, std::string_view location, std::string_view name, int year,
                        int month, int day) {
    file_.set(directory, location, name);
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
    if (outputMode_ == File && file_.resolvedPath().empty()) return -10;
    opened_ = true;
    return 0;
}

int TovLog::write(std::int32_t level, std::string_view text, std::string_view code) {
    if (text.empty()) return 0;
    if (!opened_) return -12;
    currentLevel_ = level;
    // OFF silences everything, even levels above it that have no name.
    if (level < threshold_ || threshold_ >= LOG_OFF) return 0;
    switch (outputMode_) {
        case File:
            return writeToFile(level, text, code);
        case Stdout:
            return writeToStandardError(level, text, code);
        default:
            return -13;
    }
}

// The whole record goes out in one write while the file is locked, so
// records of several writers never mix.
int TovLog::writeToFile(std::int32_t level, std::string_view text, std::string_view code) {
    if (file_.openFile(TovFile::Append, true, TovFile::Exclusive, kOpenBudgetMs) != 0) return -11;
    file_.position(0, TovFile::End);
    std::string record;
    if (semicolonFormat_ && file_.length() == 0) record = kSemicolonHeader;
    int result = composeRecord(record, level, text, code);
    if (file_.writeText(record) != 0 && result == 0) result = -14;
    if (file_.close() != 0 && result == 0) result = -14;
    return result;
}

// stdout carries the host's protocol, so the console log goes to stderr.
int TovLog::writeToStandardError(std::int32_t level, std::string_view text, std::string_view code) const {
    std::string record;
    const int result = composeRecord(record, level, text, code);
    const int written = writeAll(STDERR_FILENO, record);
    return result != 0 ? result : written;
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
        out += semicolon ? replaceAll(std::string(text), ";", " ") : std::string(text);
    }
    out += semicolon ? ";;\n" : " \n";
    return result;
}

int TovLog::readTail(std::int32_t maxBytes, std::string& result) {
    result.clear();
    if (outputMode_ != File) return -1;
    if (file_.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, kOpenBudgetMs) != 0) return -11;
    int code = readOpenTail(maxBytes, result);
    if (file_.close() != 0 && code == 0) code = -16;
    if (code != 0) result.clear();
    return code;
}

// Reads from the first line start within the last maxBytes (the whole file
// when maxBytes is not positive or not smaller than the file).
int TovLog::readOpenTail(std::int32_t maxBytes, std::string& result) {
    const std::int64_t length = file_.length();
    if (length <= 0) return length == 0 ? 0 : -16;
    std::int64_t remaining = length;
    if (maxBytes > 0 && maxBytes < length) {
        // Start one byte before the cut: when that byte is a line feed the
        // cut is already a line start and no line is lost.
        remaining = std::int64_t{maxBytes} + 1;
        if (file_.position(length - remaining, TovFile::Start) < 0) return -16;
        // Drop the partial line the cut falls into.
        char c = 0;
        do {
            const int code = file_.readChar(c);
            if (code == 4) return 0;
            if (code != 0) return -16;
            --remaining;
        } while (c != '\n');
    } else if (file_.position(0, TovFile::Start) < 0) {
        return -16;
    }
    if (remaining >= std::numeric_limits<std::uint32_t>::max()) return -16;
    std::string buffer(static_cast<std::size_t>(remaining) + 1, '\0');
    std::uint32_t n = static_cast<std::uint32_t>(remaining);
    if (file_.readBytes(std::span<char>(buffer), n) != 0 || n != remaining) return -16;
    buffer.resize(n);
    result = std::move(buffer);
    return 0;
}

} // namespace vexa
