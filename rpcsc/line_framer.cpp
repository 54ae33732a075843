#include "rpcsc/line_framer.h"

#include <utility>

namespace vexa {

LineFramer::Next LineFramer::next(SecureString& line, std::size_t maxLength) {
    line.clear();
    // Bytes before scanned_ are known to hold no LF.
    const std::size_t lf = pending_.find('\n', scanned_);
    if (lf == std::string::npos) {
        scanned_ = pending_.size();
        if (pending_.size() <= maxLength) return Next::needMore;
        clear();
        return Next::tooLong;
    }
    line.assign(pending_, 0, lf);
    pending_.erase(0, lf + 1);
    scanned_ = 0;
    // Every byte counts against the bound, CR included.
    if (line.size() > maxLength) {
        line.clear();
        pending_.clear();
        return Next::tooLong;
    }
    std::erase(line, '\r');
    return Next::line;
}

SecureString LineFramer::takeRest() {
    SecureString rest = std::exchange(pending_, {});
    scanned_ = 0;
    std::erase(rest, '\r');
    return rest;
}

void LineFramer::clear() {
    pending_.clear();
    scanned_ = 0;
}

SecureString LineFramer::frame(std::string_view text, bool cr) {
    SecureString out;
    out.reserve(text.size() + 2);
    out.append(text);
    if (cr) out += '\r';
    out += '\n';
    return out;
}

} // namespace vexa
