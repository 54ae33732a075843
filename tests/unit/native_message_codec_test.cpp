#include "host/native_message_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using namespace vexa;
using Json = nlohmann::ordered_json;

namespace {

std::string header(std::uint32_t length) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &length, 4);
    return bytes;
}

std::vector<IncomingFrame> decodeInPieces(FrameDecoder& decoder, const std::string& stream, std::size_t piece) {
    std::vector<IncomingFrame> out;
    for (std::size_t pos = 0; pos < stream.size(); pos += piece) {
        decoder.feed(std::span<const char>(stream).subspan(pos, std::min(piece, stream.size() - pos)), out);
    }
    return out;
}

// Splits an over-long answer and checks every message against the limit;
// returns the joined parts.
std::string joinChunks(const std::string& answer, std::size_t limit, const Json& id) {
    const auto messages = splitAnswer(answer, limit);
    EXPECT_GT(messages.size(), 1u);
    std::string joined;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_LE(messages[i].size(), limit) << "chunk " << i;
        const Json chunk = Json::parse(messages[i]);
        EXPECT_EQ(chunk["id"], id);
        EXPECT_EQ(chunk["chunk"], i);
        EXPECT_EQ(chunk["of"], messages.size());
        joined += chunk["part"].get<std::string>();
    }
    return joined;
}

std::string answerWith(const Json& id, const std::string& result) {
    Json answer = Json::object();
    answer["id"] = id;
    answer["result"] = result;
    return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

TEST(NativeMessageCodecTest, FramesSurviveAnySplitOfTheStream) {
    const std::vector<std::string> bodies = {R"({"hello":{}})", "", std::string("\0\xff\x01", 3),
                                             std::string(70000, 'x')};
    std::string stream;
    for (const auto& body : bodies) stream += buildFrame(body);
    EXPECT_EQ(stream.substr(0, 4), header(12));

    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
        FrameDecoder decoder;
        const auto frames = decodeInPieces(decoder, stream, piece);
        ASSERT_EQ(frames.size(), bodies.size()) << "pieces of " << piece;
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            EXPECT_EQ(frames[i].body, bodies[i]);
            EXPECT_EQ(frames[i].error, "");
        }
        EXPECT_EQ(decoder.endOfInput(), "");
    }
}

TEST(NativeMessageCodecTest, OverLongMessageIsRefusedAndSkipped) {
    FrameDecoder decoder(16);
    const std::string stream = header(20) + std::string(20, 'y') + buildFrame("{}");
    const auto frames = decodeInPieces(decoder, stream, 5);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].error, "the message is 20 bytes long; at most 16 bytes are accepted");
    EXPECT_EQ(frames[0].body, "");
    EXPECT_EQ(frames[1].body, "{}");

    // The refusal comes with the header, before any of the 4 GiB arrive.
    FrameDecoder big;
    std::vector<IncomingFrame> out;
    const std::string hugeHeader = header(0xFFFFFFFFu);
    big.feed(hugeHeader, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].error, "the message is 4294967295 bytes long; at most 67108864 bytes are accepted");
    EXPECT_EQ(big.endOfInput(), "the input ended inside a message (0 of 4294967295 bytes)");
}

TEST(NativeMessageCodecTest, EndOfInputInsideAMessageIsReported) {
    std::vector<IncomingFrame> out;
    FrameDecoder inHeader;
    inHeader.feed(std::string_view("\x05\x00", 2), out);
    EXPECT_EQ(inHeader.endOfInput(), "the input ended inside a message's length (2 of 4 bytes)");

    FrameDecoder inBody;
    inBody.feed(header(10) + "abc", out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(inBody.endOfInput(), "the input ended inside a message (3 of 10 bytes)");
}

TEST(NativeMessageCodecTest, AnswerWithinTheLimitGoesOutWhole) {
    const std::string answer = answerWith(7, std::string(100, 'a'));
    EXPECT_EQ(splitAnswer(answer, answer.size()), std::vector<std::string>{answer});
}

TEST(NativeMessageCodecTest, LongResultsComeBackInChunksThatJoinToTheResult) {
    constexpr std::size_t limit = kMaxOutgoingMessageBytes;
    // Plain text, text that escapes to six bytes a character, and characters
    // of two, three and four bytes that must not be cut in half.
    const std::string plain(3 * limit + 17, 'L');
    const std::string controls(limit, '\x01');
    const std::string unit = "a\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80\"\\\n";
    std::string mixed;
    while (mixed.size() < 2 * limit) mixed += unit;

    EXPECT_TRUE(joinChunks(answerWith(1, plain), limit, 1) == plain);
    EXPECT_TRUE(joinChunks(answerWith("call-2", controls), limit, "call-2") == controls);
    EXPECT_TRUE(joinChunks(answerWith(Json::array({1, "x"}), mixed), limit, Json::array({1, "x"})) == mixed);
    // A small limit gives many chunks; the parts still join exactly.
    const std::string shortMixed = mixed.substr(0, 300 * unit.size());
    EXPECT_TRUE(joinChunks(answerWith(nullptr, shortMixed), 200, nullptr) == shortMixed);
}

TEST(NativeMessageCodecTest, AnswerThatCannotBeCutBecomesAnError) {
    constexpr std::size_t limit = 1000;
    // A long error text, and an id that leaves no room for a part.
    Json error = {{"id", 5}, {"error", std::string(2000, 'e')}};
    const std::string hugeId(990, 'i');
    for (const std::string& answer : {error.dump(), answerWith(hugeId, std::string(2000, 'r'))}) {
        const auto messages = splitAnswer(answer, limit);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_LE(messages[0].size(), limit);
        EXPECT_EQ(Json::parse(messages[0])["error"], "the answer is longer than the browser accepts");
    }
    EXPECT_EQ(Json::parse(splitAnswer(error.dump(), limit)[0])["id"], 5);
    EXPECT_TRUE(Json::parse(splitAnswer(answerWith(hugeId, std::string(2000, 'r')), limit)[0])["id"].is_null());
}
