#include "support/tov_conf.h"

#include <algorithm>
#include <cctype>

#include "support/file_replace.h"
#include "support/text.h"
#include "support/tov_log.h"

namespace vexa {
namespace {

constexpr int kReadBudgetMs = 200;
constexpr int kWriteBudgetMs = 400;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int storeValue(ConfParameter& parameter, const std::string& value) {
    switch (parameter.type) {
        case ConfParameter::Text:
            parameter.text = value;
            return TovConf::Ok;
        case ConfParameter::Digits:
            if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return TovConf::WrongType;
            parameter.text = value;
            return TovConf::Ok;
        case ConfParameter::Integer:
            return parseDecimal(value, parameter.number) ? TovConf::Ok : TovConf::SyntaxError;
        case ConfParameter::Named:
            if (!parameter.names) return TovConf::InternalError;
            return parameter.names->find(value, parameter.number) ? TovConf::Ok : TovConf::UnknownValue;
        case ConfParameter::Boolean:
            if (value != "TRUE" && value != "FALSE") return TovConf::SyntaxError;
            parameter.number = value == "TRUE" ? 1 : 0;
            return TovConf::Ok;
        default:
            return TovConf::InternalError;
    }
}

} // namespace

TovFile TovConf::fileAt(const std::string& path) const {
    TovFile file;
    file.setResolvedPath(path);
    file.setFollowLinks(followLinks_);
    file.setTrustRequired(true);
    return file;
}

bool TovConf::readAll(TovFile& file, std::string& text) {
    // Whole blocks, not single characters: a sites list may be megabytes.
    std::string block(std::size_t{64} * 1024, '\0');
    for (;;) {
        std::uint32_t n = static_cast<std::uint32_t>(block.size() - 1);
        const int result = file.readBytes(std::span<char>(block), n);
        if (result == 4) return true;
        if (result != 0) return false;
        text.append(block.data(), n);
    }
}

int TovConf::load(std::string_view directory, std::string_view location, std::string_view fileName,
                  std::span<const ConfParameter> declarations, int& line) {
    if (declarations.empty()) return InternalError;
    parameters_.clear();
    loaded_ = true;
    line = 1;
    refusal_.clear();
    readResult_ = Ok;
    readLine_ = line;

    TovFile named;
    named.set(directory, location, fileName);
    path_ = named.resolvedPath();
    parameters_.assign(declarations.begin(), declarations.end());
    // Taken before reading: a change made while we read shows as a change.
    stamp_ = TovFile::stampOf(path_);
    TovFile file = fileAt(path_);
    if (file.openFile(TovFile::ReadOnly, false, TovFile::OthersRead, kReadBudgetMs) != 0) {
        refusal_ = file.refusal();
        return refusal_.empty() ? CannotOpen : Refused;
    }
    std::string text;
    // A read failure ends reading as the end of the file does.
    readAll(file, text);
    file.close();
    return parseText(text, line);
}

int TovConf::loadText(std::string_view text, std::span<const ConfParameter> declarations, int& line) {
    if (declarations.empty()) return InternalError;
    loaded_ = true;
    line = 1;
    path_.clear();
    stamp_.reset();
    refusal_.clear();
    parameters_.assign(declarations.begin(), declarations.end());
    return parseText(text, line);
}

int TovConf::parseText(std::string_view text, int& line) {
    std::size_t at = 0;
    readResult_ = read(
        [text, &at](char& c) {
            if (at == text.size()) return 4;
            c = text[at++];
            return 0;
        },
        line);
    readLine_ = line;
    return readResult_;
}

// Reads the characters from next into the current set.
int TovConf::read(const CharSource& next, int& line) {
    // A read failure ends reading as the end of the file does.
    int result = Ok;
    char c = 0;
    while (result == Ok) {
        int r;
        while ((r = next(c)) == 0 && isBlank(c)) {
        }
        if (r != 0) break;
        if (c == '#' || c == ';') {
            while ((r = next(c)) == 0 && c != '\n') {
            }
            if (r != 0) break;
            ++line;
        } else if (c == '\n') {
            ++line;
        } else {
            result = readParameterLine(next, c, line);
        }
    }
    return result;
}

int TovConf::readParameterLine(const CharSource& next, char first, int& line) {
    if (first == '=') return SyntaxError;
    std::string key(1, first);
    char c = 0;
    int r;
    while ((r = next(c)) == 0 && c != '=') {
        if (c == '\n') return SyntaxError;
        key += c;
    }
    if (r != 0) return SyntaxError;

    std::string value;
    bool endedWithLineFeed = false;
    while (next(c) == 0) {
        if (c == '\n') {
            endedWithLineFeed = true;
            break;
        }
        value += c;
    }
    ConfParameter* parameter = find(key);
    if (!parameter && !unknownKeysSkipped_) return UnknownParameter;
    int result = parameter ? storeValue(*parameter, value) : Ok;
    if (result == Ok && endedWithLineFeed) ++line;
    return result;
}

int TovConf::renderContent(std::string& content) const {
    for (const auto& p : parameters_) {
        content += p.name + "=";
        switch (p.type) {
            case ConfParameter::Integer:
                content += signedDecimal(p.number);
                break;
            case ConfParameter::Named: {
                std::int32_t value = 0;
                std::string name = p.names ? p.names->nameOf(p.number) : std::string();
                if (!p.names || !p.names->find(name, value)) return InternalError;
                content += name;
                break;
            }
            case ConfParameter::Boolean:
                content += p.number ? "TRUE" : "FALSE";
                break;
            default:
                content += p.text;
                break;
        }
        content += '\n';
    }
    content += '\n';
    return Ok;
}

int TovConf::save(std::string_view directory, std::string_view location, std::string_view fileName) {
    if (parameters_.empty()) return InternalError;
    if (!location.empty() || !fileName.empty()) {
        TovFile named;
        named.set(directory, location, fileName);
        path_ = named.resolvedPath();
    }
    std::string content;
    if (int result = renderContent(content); result != Ok) return result;

    // The exclusive lock on the old file keeps readers and other writers out
    // while it is replaced.
    TovFile target = fileAt(path_);
    refusal_.clear();
    if (target.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, kWriteBudgetMs) != 0) {
        refusal_ = target.refusal();
        return refusal_.empty() ? CannotOpen : Refused;
    }
    bool replaced = replaceFile(path_, content, stamp_);
    target.close();
    return replaced ? Ok : WriteError;
}

int TovConf::update(std::span<const ConfParameter> declarations, const std::function<void(TovConf&)>& change) {
    if (declarations.empty()) return InternalError;
    TovFile file = fileAt(path_);
    refusal_.clear();
    keepSuffix_.clear();
    // Opening for writing creates a missing file, so there is one to lock.
    // Read as it stands, so that a copy kept is the file byte for byte.
    if (file.openFile(TovFile::ReadWrite, true, TovFile::Exclusive, kWriteBudgetMs) != 0) {
        refusal_ = file.refusal();
        return refusal_.empty() ? CannotOpen : Refused;
    }
    parameters_.assign(declarations.begin(), declarations.end());
    loaded_ = true;
    int line = 1;
    std::string original;
    readAll(file, original);
    parseText(replaceAll(original, "\r\n", "\n"), line);
    change(*this);
    std::string content;
    int result = renderContent(content);
    if (result == Ok && !keepSuffix_.empty()) result = keepCopy(file, original);
    if (result == Ok) result = replaceFile(path_, content, stamp_) ? Ok : WriteError;
    file.close();
    return result;
}

int TovConf::keepCopy(const TovFile& file, std::string_view original) const {
    const auto facts = file.facts();
    std::optional<FileStamp> copied;
    if (!facts || !replaceFile(path_ + keepSuffix_, original, copied, facts->permissions & 0777)) return WriteError;
    return Ok;
}

bool TovConf::changedOnDisk() const {
    return TovFile::stampOf(path_) != stamp_;
}

ConfParameter* TovConf::find(std::string_view key) {
    auto it = std::find_if(parameters_.begin(), parameters_.end(), [&](const auto& p) { return p.name == key; });
    return it == parameters_.end() ? nullptr : &*it;
}

const ConfParameter* TovConf::find(std::string_view key) const {
    return const_cast<TovConf*>(this)->find(key);
}

int TovConf::getText(std::string_view key, std::string& value) const {
    const ConfParameter* p = find(key);
    if (!p) return UnknownParameter;
    if (p->type != ConfParameter::Text && p->type != ConfParameter::Digits) return WrongType;
    value = p->text;
    return Ok;
}

namespace {

int getNumber(const ConfParameter* p, std::int32_t type, std::int32_t& value) {
    if (!p) return TovConf::UnknownParameter;
    if (p->type != type) return TovConf::WrongType;
    value = p->number;
    return TovConf::Ok;
}

} // namespace

int TovConf::getInteger(std::string_view key, std::int32_t& value) const {
    return getNumber(find(key), ConfParameter::Integer, value);
}

int TovConf::getNamedValue(std::string_view key, std::int32_t& value) const {
    return getNumber(find(key), ConfParameter::Named, value);
}

int TovConf::getBoolean(std::string_view key, bool& value) const {
    std::int32_t number = 0;
    int result = getNumber(find(key), ConfParameter::Boolean, number);
    if (result == Ok) value = number != 0;
    return result;
}

int TovConf::setText(std::string_view key, std::string_view value) {
    ConfParameter* p = find(key);
    if (!p) return UnknownParameter;
    if (p->type != ConfParameter::Text && p->type != ConfParameter::Digits) return WrongType;
    p->text = value;
    return Ok;
}

int TovConf::setInteger(std::string_view key, std::int32_t value) {
    ConfParameter* p = find(key);
    if (!p) return UnknownParameter;
    if (p->type != ConfParameter::Integer) return WrongType;
    p->number = value;
    return Ok;
}

int TovConf::setNamedValue(std::string_view key, std::int32_t value) {
    ConfParameter* p = find(key);
    if (!p) return UnknownParameter;
    if (p->type != ConfParameter::Named) return WrongType;
    if (!p->names || value < 0 || static_cast<std::size_t>(value) >= p->names->size()) return UnknownValue;
    p->number = value;
    return Ok;
}

void TovConf::report(TovLog& log, int result, int line, bool defaultsAcceptable, std::string_view file) const {
    const std::string shown = file.empty() ? path_ : std::string(file);
    const std::string at = "', line " + signedDecimal(line) + ".";
    std::string text;
    switch (result) {
        case Ok:
            return;
        case CannotOpen:
            if (defaultsAcceptable) {
                log.write(LOG_INFO, "Using default values for '" + shown + "'");
                return;
            }
            text = "Cannot open file '" + shown + "'.";
            break;
        case ReadError:
            text = "Read error on file '" + shown + at;
            break;
        case UnknownParameter:
            text = "Unknown parameter in file '" + shown + at;
            break;
        case WrongType:
            text = "Wrong data type in file '" + shown + at;
            break;
        case SyntaxError:
            text = "Syntax error in file '" + shown + at;
            break;
        case UnknownValue:
            text = "Unknown parameter value in file '" + shown + at;
            break;
        case Refused:
            text = "Not using file '" + shown + "': " + refusal_ + ".";
            break;
        case InternalError:
        case WriteError:
            text = "Internal error at file processing (TOVCONF_INTERNAL).";
            break;
        default:
            return;
    }
    log.write(LOG_ERROR, text);
}

void TovConf::clear() {
    refusal_.clear();
    readResult_ = Ok;
    readLine_ = 0;
    parameters_.clear();
    loaded_ = false;
    path_.clear();
    stamp_.reset();
}

} // namespace vexa
