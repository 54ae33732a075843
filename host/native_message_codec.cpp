#include "host/native_message_codec.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace vexa {
namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& message) {
    return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Bytes of the UTF-8 character that starts with lead. Parsed JSON strings
// are valid UTF-8, so the lead byte alone decides.
std::size_t characterBytes(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Bytes one character takes in a JSON string as dump() writes it: the
// short escapes, \u00XX for the other control characters, everything else
// as it is.
std::size_t escapedBytes(unsigned char lead, std::size_t bytes) {
    switch (lead) {
        case '"':
        case '\\':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
            return 2;
        default:
            return lead < 0x20 ? 6 : bytes;
    }
}

// Cuts text into pieces of at most budget bytes once escaped, between
// characters. budget must hold the longest escape (6 bytes).
std::vector<std::string_view> cutParts(std::string_view text, std::size_t budget) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    std::size_t escaped = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        const std::size_t bytes = std::min(characterBytes(lead), text.size() - pos);
        const std::size_t cost = escapedBytes(lead, bytes);
        if (escaped + cost > budget) {
            parts.push_back(text.substr(start, pos - start));
            start = pos;
            escaped = 0;
        }
        escaped += cost;
        pos += bytes;
    }
    if (start < text.size() || parts.empty()) parts.push_back(text.substr(start));
    return parts;
}

Json chunkMessage(const Json& id, std::uint64_t index, std::uint64_t count, std::string_view part) {
    Json message = Json::object();
    message["id"] = id;
    message["chunk"] = index;
    message["of"] = count;
    message["part"] = part;
    return message;
}

std::string tooLongAnswer(const Json& id, std::size_t limit) {
    Json answer = Json::object();
    // An id that alone would crowd the message out cannot be echoed.
    answer["id"] = dump(id).size() <= limit / 4 ? id : Json();
    answer["error"] = "the answer is longer than the browser accepts";
    return dump(answer);
}

} // namespace

std::string buildFrame(std::string_view body) {
    if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a native message holds at most 4 GiB");
    }
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame(kFrameHeaderBytes, '\0');
    std::memcpy(frame.data(), &length, kFrameHeaderBytes);
    frame.append(body);
    return frame;
}

void FrameDecoder::feed(std::span<const char> bytes, std::vector<IncomingFrame>& out) {
    while (!bytes.empty()) {
        const std::size_t used = state_ == State::Header ? takeHeader(bytes, out) : takeBody(bytes, out);
        bytes = bytes.subspan(used);
    }
}

std::size_t FrameDecoder::takeHeader(std::span<const char> bytes, std::vector<IncomingFrame>& out) {
    const std::size_t used = std::min(bytes.size(), kFrameHeaderBytes - headerFill_);
    std::copy_n(bytes.begin(), used, header_.begin() + static_cast<std::ptrdiff_t>(headerFill_));
    headerFill_ += used;
    if (headerFill_ < kFrameHeaderBytes) return used;

    headerFill_ = 0;
    std::memcpy(&declared_, header_.data(), kFrameHeaderBytes);
    received_ = 0;
    body_.clear();
    if (declared_ > maxBody_) {
        out.push_back({{},
                       "the message is " + std::to_string(declared_) + " bytes long; at most " +
                           std::to_string(maxBody_) + " bytes are accepted"});
        state_ = State::Skip;
    } else if (declared_ == 0) {
        out.push_back({});
    } else {
        state_ = State::Body;
    }
    return used;
}

std::size_t FrameDecoder::takeBody(std::span<const char> bytes, std::vector<IncomingFrame>& out) {
    const std::size_t used = std::min<std::size_t>(bytes.size(), declared_ - received_);
    if (state_ == State::Body) body_.append(bytes.data(), used);
    received_ += static_cast<std::uint32_t>(used);
    if (received_ == declared_) {
        if (state_ == State::Body) out.push_back({std::move(body_), {}});
        body_ = {};
        state_ = State::Header;
    }
    return used;
}

std::string FrameDecoder::endOfInput() const {
    if (state_ == State::Header) {
        if (headerFill_ == 0) return {};
        return "the input ended inside a message's length (" + std::to_string(headerFill_) + " of " +
               std::to_string(kFrameHeaderBytes) + " bytes)";
    }
    return "the input ended inside a message (" + std::to_string(received_) + " of " + std::to_string(declared_) +
           " bytes)";
}

std::vector<std::string> splitAnswer(std::string_view answer, std::size_t limit) {
    if (answer.size() <= limit) return {std::string(answer)};
    const Json parsed = Json::parse(answer, nullptr, false);
    if (!parsed.is_object()) return {tooLongAnswer(Json(), limit)};
    const Json id = parsed.contains("id") ? parsed["id"] : Json();
    const auto result = parsed.find("result");
    if (result == parsed.end() || !result->is_string()) return {tooLongAnswer(id, limit)};

    // Room for the part: what the envelope with the widest numbers leaves,
    // halved so every message stays well inside the limit.
    const auto widest = std::numeric_limits<std::uint64_t>::max();
    const std::size_t envelope = dump(chunkMessage(id, widest, widest, "")).size();
    const std::size_t budget = envelope < limit ? (limit - envelope) / 2 : 0;
    if (budget < 6) return {tooLongAnswer(id, limit)};

    const auto parts = cutParts(result->get_ref<const std::string&>(), budget);
    std::vector<std::string> messages;
    messages.reserve(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        messages.push_back(dump(chunkMessage(id, i, parts.size(), parts[i])));
    }
    return messages;
}

} // namespace vexa
