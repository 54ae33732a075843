// Native messages from arbitrary bytes. The first byte picks the piece size
// the stream arrives in, the rest is the stream. The decoder must give the
// same messages whatever the pieces, keep no message over its bound, and
// report a cut-off end exactly when the stream ends inside a message. The
// same bytes, as an answer's result, must come back whole from its chunks,
// each within the limit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/native_message_codec.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kMaxBody = 256;
constexpr std::size_t kLimit = 300;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<vexa::IncomingFrame> decode(std::string_view stream, std::size_t piece, std::string& end) {
    vexa::FrameDecoder decoder(kMaxBody);
    std::vector<vexa::IncomingFrame> frames;
    for (std::size_t pos = 0; pos < stream.size(); pos += piece) {
        decoder.feed(std::span<const char>(stream.data() + pos, std::min(piece, stream.size() - pos)), frames);
    }
    end = decoder.endOfInput();
    return frames;
}

void checkFrames(std::string_view stream, std::size_t piece) {
    std::string endInPieces, endWhole;
    const auto inPieces = decode(stream, piece, endInPieces);
    const auto whole = decode(stream, stream.size() + 1, endWhole);
    check(endInPieces == endWhole);
    check(inPieces.size() == whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        check(inPieces[i].body == whole[i].body && inPieces[i].error == whole[i].error);
        check(whole[i].body.size() <= kMaxBody);
        check(whole[i].error.empty() || whole[i].body.empty());
    }
}

void checkChunks(std::string_view bytes) {
    Json answer = Json::object();
    answer["id"] = 1;
    answer["result"] = std::string(bytes);
    const std::string text = answer.dump(-1, ' ', false, Json::error_handler_t::replace);
    const std::string result = Json::parse(text)["result"];
    const auto messages = vexa::splitAnswer(text, kLimit);
    if (text.size() <= kLimit) {
        check(messages.size() == 1 && messages[0] == text);
        return;
    }
    std::string joined;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        check(messages[i].size() <= kLimit);
        const Json chunk = Json::parse(messages[i]);
        check(chunk["chunk"] == i && chunk["of"] == messages.size() && chunk["id"] == 1);
        joined += chunk["part"].get<std::string>();
    }
    check(joined == result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    checkFrames(stream, data[0] % 16 + 1);
    checkChunks(stream);
    // Whatever arrives, splitting it as an answer must not crash or overflow.
    for (const std::string& message : vexa::splitAnswer(stream, kLimit)) {
        check(message.size() <= std::max(kLimit, stream.size()));
    }
    return 0;
}
