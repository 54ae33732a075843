// The line framer on its own (bytes in, lines out) and the line channel's
// deadline over a scripted stream, without sockets.
#include "rpcsc/line_framer.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "rpcsc/line_channel.h"
#include "rpcsc/winsock_error.h"

namespace vexa {
namespace {

using Next = LineFramer::Next;

struct FramerCase {
    const char* name;
    std::vector<std::string> pieces; // fed one after another
    std::size_t maxLength;
    std::vector<Next> expected;     // what next() gives after all pieces, in turn
    std::vector<std::string> lines; // the lines among them
};

TEST(LineFramerTest, CutsLinesFromPiecesAndBoundsThem) {
    const std::string atBound(8, 'A');
    const FramerCase cases[] = {
        {"split across reads", {"01", "02\r", "0", "3\r\n"}, 100, {Next::line, Next::needMore}, {"010203"}},
        {"two lines in one read", {"AB\nCD\n"}, 100, {Next::line, Next::line, Next::needMore}, {"AB", "CD"}},
        {"empty line", {"\r\n"}, 100, {Next::line, Next::needMore}, {""}},
        {"at the bound", {atBound + "\n"}, 8, {Next::line}, {atBound}},
        // Every byte counts, CRs too; what follows the long line goes as well.
        {"over the bound by a CR", {atBound + "\r\nAB\n"}, 8, {Next::tooLong, Next::needMore}, {}},
        {"no LF beyond the bound", {atBound, "A"}, 8, {Next::tooLong, Next::needMore}, {}},
    };
    for (const FramerCase& c : cases) {
        LineFramer framer;
        for (const std::string& piece : c.pieces) framer.feed(piece);
        std::vector<std::string> lines;
        for (const Next expected : c.expected) {
            SecureString line("stale");
            const Next got = framer.next(line, c.maxLength);
            EXPECT_EQ(got, expected) << c.name;
            if (got == Next::line)
                lines.emplace_back(line.view());
            else
                EXPECT_EQ(line, "") << c.name;
        }
        EXPECT_EQ(lines, c.lines) << c.name;
    }
}

TEST(LineFramerTest, ALineArrivingByteByByteIsScannedOnceAndTheRestKeepsItsCrsOut) {
    LineFramer framer;
    SecureString line;
    for (const char byte : std::string("0A\r0B")) {
        framer.feed({&byte, 1});
        EXPECT_EQ(framer.next(line, 100), Next::needMore);
    }
    EXPECT_FALSE(framer.empty());
    EXPECT_EQ(framer.takeRest(), "0A0B"); // a peer that hung up mid-line
    EXPECT_TRUE(framer.empty());
    EXPECT_EQ(LineFramer::frame("0A", true), "0A\r\n");
    EXPECT_EQ(LineFramer::frame("", false), "\n");
}

// A stream that hands out scripted pieces, one per read, and records the
// deadline of every read; WSAEWOULDBLOCK once the script is done.
class ScriptedStream final : public ByteStream {
public:
    ScriptedStream(std::deque<std::string> pieces, std::vector<Clock::time_point>& deadlines)
        : pieces_(std::move(pieces)), deadlines_(deadlines) {}
    std::int32_t readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) override {
        deadlines_.push_back(deadline);
        got = 0;
        if (pieces_.empty()) return WSAEWOULDBLOCK;
        got = pieces_.front().copy(into.data(), into.size());
        pieces_.pop_front();
        return 0;
    }
    std::int32_t writeAll(std::string_view, Clock::time_point) override { return 0; }
    void shutdownBoth() noexcept override {}
    std::int32_t close() noexcept override { return 0; }

private:
    std::deque<std::string> pieces_;
    std::vector<Clock::time_point>& deadlines_;
};

TEST(LineFramerTest, EveryReadOfOneLineHasTheDeadlineOfThatLine) {
    std::vector<ByteStream::Clock::time_point> deadlines;
    LineChannel channel(std::make_unique<ScriptedStream>(std::deque<std::string>{"0", "1", "\n", "0", "2"}, deadlines));
    SecureString line;
    ASSERT_EQ(channel.receiveLine(line, 60000, 100), 0);
    EXPECT_EQ(line, "01");
    ASSERT_EQ(deadlines.size(), 3u);
    EXPECT_EQ(deadlines[0], deadlines[1]); // a trickling peer gains no time
    EXPECT_EQ(deadlines[0], deadlines[2]);
    // The next line starts a deadline of its own and fails when it passes.
    EXPECT_EQ(channel.receiveLine(line, 120000, 100), WSAEWOULDBLOCK);
    ASSERT_EQ(deadlines.size(), 6u);
    EXPECT_GT(deadlines[3], deadlines[2] + std::chrono::seconds(30));
    EXPECT_EQ(deadlines[3], deadlines[5]);
}

} // namespace
} // namespace vexa
