#include "control/answer_channel.h"

#include <span>

namespace vexa {

AnswerStreamBuf::int_type AnswerStreamBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize AnswerStreamBuf::xsputn(const char* bytes, std::streamsize n) {
    return static_cast<std::streamsize>(output_.write(std::span(bytes, static_cast<std::size_t>(n))));
}

} // namespace vexa
