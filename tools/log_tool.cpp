#include "tools/log_tool.h"

#include <algorithm>
#include <deque>
#include <ostream>
#include <string>
#include <string_view>

#include "core/chip_card_plugin.h"
#include "platform/file.h"
#include "support/file_replace.h"
#include "support/option_parser.h"

namespace vexa {
namespace {

constexpr ProgramText kProgram{"vexa log", kVersion, "vexa log on [LEVEL]\nvexa log off\nvexa log show",
                               "on sets the log level (INFO unless LEVEL is given: TRACE, DEBUG, INFO, WARNING,\n"
                               "ERROR, FATAL or LOG) in the user's configuration file, off turns the log\n"
                               "off, show prints the end of the log. Pages opened afterwards log so.\n"
                               "DEBUG and TRACE record every APDU and card answer (PIN digits masked).",
                               2};
constexpr std::size_t kShownLines = 40;
constexpr std::string_view kKey = "LOGLEVEL=";
constexpr int kLockBudgetMs = 400;

// The file with every LOGLEVEL line set to level (one appended when there
// is none); all other lines as they were, Windows line ends included.
std::string withLevel(std::string_view content, std::string_view level) {
    std::string out;
    bool found = false;
    bool crlf = false;
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end == std::string_view::npos ? content.size() : end + 1);
        content.remove_prefix(line.size());
        crlf = crlf || line.ends_with("\r\n");
        if (line.starts_with(kKey)) {
            found = true;
            const std::string_view ending = line.ends_with("\r\n") ? "\r\n" : line.ends_with('\n') ? "\n" : "";
            out.append(kKey).append(level).append(ending.empty() ? "\n" : ending);
        } else {
            out.append(line);
        }
    }
    if (!found) {
        if (!out.empty() && out.back() != '\n') out += crlf ? "\r\n" : "\n";
        out.append(kKey).append(level).append(crlf ? "\r\n" : "\n");
    }
    return out;
}

// Reads, edits and replaces the file under the lock the plug-in's
// configuration files are written under; the file keeps its mode.
bool setLevel(const std::string& path, std::string_view level, std::ostream& err) {
    TovFile file;
    file.setResolvedPath(path);
    // Opening for writing creates a missing file, so there is one to lock.
    if (file.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, kLockBudgetMs) != 0) {
        err << "vexa log: cannot open " << path << '\n';
        return false;
    }
    std::string content;
    char buffer[4096];
    std::uint32_t n = sizeof buffer - 1;
    int result;
    while ((result = file.readBytes(buffer, n)) == 0) {
        content.append(buffer, n);
        n = sizeof buffer - 1;
    }
    const auto facts = platform::factsOf(path);
    const std::uint32_t mode = facts ? facts->permissions : 0600;
    std::optional<FileStamp> stamp;
    const bool saved = result == 4 && replaceFile(path, withLevel(content, level), stamp, mode);
    file.close();
    if (!saved) err << "vexa log: cannot write " << path << '\n';
    return saved;
}

// The last lines of the log, read without creating it.
int show(const std::string& path, std::int32_t level, std::ostream& out, std::ostream& err) {
    TovFile file;
    file.setResolvedPath(path);
    file.setFollowLinks(false);
    if (file.openFile(TovFile::ReadOnly, true, TovFile::Shared, kLockBudgetMs) != 0) {
        if (platform::factsOf(path, false)) {
            err << "vexa log: cannot read " << path << '\n';
            return 1;
        }
        out << "No log at " << path << (level == LOG_OFF ? " (the log is off; 'vexa log on' turns it on)" : "")
            << ".\n";
        return 0;
    }
    // Whole records are at most 64 KiB, so this much from the end holds the
    // last lines unless they are very long.
    const std::int64_t length = file.length();
    const std::int64_t window = std::int64_t{kShownLines + 1} * static_cast<std::int64_t>(TovLog::kMaxRecordBytes);
    const std::int64_t start = std::max<std::int64_t>(0, length - window);
    std::string text;
    if (file.position(start, TovFile::Start) >= 0) {
        char buffer[65536];
        std::uint32_t n = sizeof buffer - 1;
        while (file.readBytes(buffer, n) == 0) {
            text.append(buffer, n);
            n = sizeof buffer - 1;
        }
    }
    std::deque<std::string_view> lines;
    std::string_view rest = text;
    if (start > 0) rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1)); // a partial first line
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (lines.size() > kShownLines) lines.pop_front();
    }
    if (lines.empty()) out << "The log at " << path << " is empty.\n";
    for (std::string_view line : lines) out << line << '\n';
    return 0;
}

// The canonical name of a level that turns the log on; "" for any other.
std::string levelName(std::string_view text) {
    const std::int32_t level = logLevelValue(text);
    return level >= LOG_TRACE && level <= LOG_LOG ? logLevelName(level) : std::string();
}

} // namespace

int runLogTool(std::span<char* const> args, std::ostream& out, std::ostream& err) {
    static constexpr CommandSpec kCommands[] = {{"on", 0, 1}, {"off"}, {"show"}};
    OptionParser parser(kProgram, {});
    parser.setStreams(out, err);
    const auto operands = parser.parseCommand(args, kCommands);
    if (!operands) return parser.exitStatus();
    const std::string_view command = (*operands)[0];

    const PluginSetup setup = readPluginSetup(StartupInputs{});
    const std::string noFile = "no log file: LOGFILE is empty in " + setup.configuration;
    if (command == "show") {
        if (setup.hostLog.empty()) out << "No log (" << noFile << ").\n";
        return setup.hostLog.empty() ? 0 : show(setup.hostLog, setup.logLevel, out, err);
    }

    std::string level = "OFF";
    if (command == "on") {
        level = operands->size() > 1 ? levelName((*operands)[1]) : "INFO";
        if (level.empty())
            return parser.refuse((*operands)[1], "not a log level (TRACE, DEBUG, INFO, WARNING, ERROR, FATAL or LOG)");
    }
    if (!setLevel(setup.configuration, level, err)) return 1;
    if (command == "off") {
        out << "The log is off (" << setup.configuration << ").\n";
        return 0;
    }
    if (setup.hostLog.empty())
        out << "The log is on at " << level << " (" << setup.configuration << "), but there is " << noFile << ".\n";
    else
        out << "The log is on at " << level << " (" << setup.configuration << "); pages opened from now on log to "
            << setup.hostLog << ".\n";
    if (level == "DEBUG" || level == "TRACE")
        out << "Note: at " << level << " the log records every APDU and card answer (PIN digits masked).\n";
    return 0;
}

} // namespace vexa
