#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/name_table.h"
#include "support/tov_file.h"

namespace vexa {

class TovLog;

// One declared key of a configuration file, with its default; after loading
// it holds the value read.
struct ConfParameter {
    enum Type : std::int32_t { Text = 0, Integer = 1, Named = 2, Boolean = 3, Digits = 4 };

    std::string name;
    std::int32_t type = Text;
    std::string text;                 // types 0 and 4
    std::int32_t number = 0;          // types 1, 2 (table value) and 3 (1 TRUE, 0 FALSE)
    const NameTable* names = nullptr; // type 2 only; not owned
};

// Reads and writes small KEY=VALUE files against typed declarations.
class TovConf {
public:
    enum Result : int {
        Ok = 0,
        CannotOpen = 1,
        ReadError = 2,
        UnknownParameter = 3,
        WrongType = 4,
        SyntaxError = 5,
        InternalError = 6,
        UnknownValue = 7,
        WriteError = 8,
        // The file is not used: a link where none is allowed, or it or its
        // folder fails the trust rule (file_trust.h); refusal() says why.
        Refused = 9,
    };

    // False: the file is refused when its name is a symbolic link (a file
    // that is written, which a link could turn into another file's writer).
    void setFollowLinks(bool follow) { followLinks_ = follow; }
    // True: keys that are not declared are passed over instead of ending the
    // load with UnknownParameter (a file that holds other programs' values).
    // Saving writes the declared keys only.
    void setUnknownKeysSkipped(bool skipped) { unknownKeysSkipped_ = skipped; }
    // Why the last load, save or update refused the file ("" when it did not).
    const std::string& refusal() const { return refusal_; }

    // Reads the file into a fresh copy of the declarations; line receives the
    // line at which reading stopped. Files are read and written only when
    // they pass the trust rule (file_trust.h): settings steer the program.
    int load(std::string_view directory, std::string_view location, std::string_view fileName,
             std::span<const ConfParameter> declarations, int& line);
    // Reads text (line ends already joined) as load reads a file's content;
    // no file is named, so nothing is on disk to save to or compare against.
    int loadText(std::string_view text, std::span<const ConfParameter> declarations, int& line);
    // Writes every declared key in order, then one empty line. The new content
    // replaces the old file only once it is completely on disk.
    int save(std::string_view directory = {}, std::string_view location = {}, std::string_view fileName = {});
    // Reads the file at the stored path again, lets change edit the values
    // read, and saves them, all under one exclusive lock, so that updates of
    // one file from several objects or processes each keep their change. A
    // missing or faulty file is read as load reads it; the change then goes
    // onto the values read. 0, 1 when the file cannot be locked, 8 when it
    // cannot be written, or 9 when it is refused.
    int update(std::span<const ConfParameter> declarations, const std::function<void(TovConf&)>& change);
    // Called from an update's change: the file as it was read is kept beside
    // it as <path><suffix> (with the file's own permission bits; an older
    // copy of that name is replaced) before the new content replaces it. When
    // the copy cannot be written, neither is the file (8).
    void keepOriginal(std::string_view suffix) { keepSuffix_ = suffix; }
    // What reading the file's content gave in the last load or update, and
    // the line at which reading stopped: 0 when the whole file was read (or
    // there was none to read).
    int readResult() const { return readResult_; }
    int readLine() const { return readLine_; }
    // True when the file is not as it was when last read or written here
    // (replaced, rewritten, created or removed since).
    bool changedOnDisk() const;

    int getText(std::string_view key, std::string& value) const;
    int getInteger(std::string_view key, std::int32_t& value) const;
    int getNamedValue(std::string_view key, std::int32_t& value) const;
    int getBoolean(std::string_view key, bool& value) const;
    int setText(std::string_view key, std::string_view value);
    int setInteger(std::string_view key, std::int32_t value);
    int setNamedValue(std::string_view key, std::int32_t value);

    // One log record for a load result: nothing for 0, INFO for a missing file
    // when defaults are acceptable, ERROR otherwise (for a refused file with
    // the reason).
    // The file shown is the given name, or the resolved path when it is empty.
    void report(TovLog& log, int result, int line, bool defaultsAcceptable, std::string_view file = {}) const;

    bool isLoaded() const { return loaded_; }
    const std::string& resolvedPath() const { return path_; }
    // Back to the empty state: nothing loaded, every accessor answers 3. The
    // link setting stays.
    void clear();
    // The content save writes: every declared key in order, then one empty
    // line. 0, or 6 when a named value has no name.
    int renderContent(std::string& content) const;

private:
    ConfParameter* find(std::string_view key);
    const ConfParameter* find(std::string_view key) const;
    // Yields the next character: 0 with one, anything else at the end.
    using CharSource = std::function<int(char&)>;

    int read(const CharSource& next, int& line);
    int readParameterLine(const CharSource& next, char first, int& line);
    TovFile fileAt(const std::string& path) const;
    // The open file's content; false on a read error.
    static bool readAll(TovFile& file, std::string& text);
    int parseText(std::string_view text, int& line);
    // Writes the original beside the file for keepOriginal: 0 or 8.
    int keepCopy(const TovFile& file, std::string_view original) const;

    std::vector<ConfParameter> parameters_;
    bool loaded_ = false;
    std::string path_;
    std::optional<FileStamp> stamp_;
    bool followLinks_ = true;
    bool unknownKeysSkipped_ = false;
    std::string refusal_;
    int readResult_ = Ok;
    int readLine_ = 0;
    std::string keepSuffix_;
};

} // namespace vexa
