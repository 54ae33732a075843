#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/secure_string.h"

namespace vexa {

// LF-terminated text lines cut from bytes as they arrive, and lines framed
// for sending. Knows nothing of sockets or time: whoever feeds it keeps the
// deadlines. A line is bounded as it arrives, so a peer that never sends LF
// costs one line's worth of memory, not more. Lines carry APDUs in hex, PINs
// among them: every buffer here is wiped before it goes back.
class LineFramer {
public:
    enum class Next {
        line,     // a whole line was taken
        needMore, // no LF yet: feed more bytes
        tooLong,  // more than maxLength bytes before the LF, CRs included;
                  // everything buffered is dropped
    };

    // Buffers bytes that arrived.
    void feed(std::string_view bytes) { pending_.append(bytes); }
    // The next line without its LF and without any CR.
    Next next(SecureString& line, std::size_t maxLength);
    // Whether bytes of a next line are buffered.
    bool empty() const { return pending_.empty(); }
    // What is buffered, without CRs, and an empty buffer: the part line of a
    // peer that hung up.
    SecureString takeRest();
    void clear();

    // text, CR when asked, and LF.
    static SecureString frame(std::string_view text, bool cr);

private:
    SecureString pending_;    // bytes received after the last line taken
    std::size_t scanned_ = 0; // pending_ holds no LF before this offset
};

} // namespace vexa
