#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::testbed {

using Bytes = std::vector<std::uint8_t>;

// Hex digits, blanks between them allowed ("00A4", "00 a4"); false for
// anything else or an odd digit count.
bool parseHexBytes(std::string_view text, Bytes& bytes);
std::string hexOf(std::span<const std::uint8_t> bytes);

// What the card does with one command.
struct CardAnswer {
    Bytes bytes;
    std::chrono::milliseconds delay{0};
    bool mute = false; // no answer at all: the card leaves after the delay
};

// The behaviour of one virtual card: its ATR, the applications it selects,
// canned answers and a few built-in test commands. Strict: a command that no
// rule covers is recorded as a failure (and answered 6D 00).
//
// Built-in commands, class byte 80:
//   80 EE ..        echo: the data field back, then 90 00
//   80 E0 P1 P2     P1 * 256 + P2 bytes 00 01 02 ..., then 90 00
//   80 E2 ..        the whole command's length (2 bytes), then 90 00
//   80 E4 P1 P2     90 00 after P1 * 256 + P2 milliseconds
// SELECT by DF name (00 A4 04 P2 Lc AID) answers 90 00 (with the FCI, if one
// was given and P2 asks for it) for a known AID and 6A 82 otherwise.
class CardScript {
public:
    CardScript();

    // Back to the default card; keeps nothing of the script or the logs.
    void clear();
    void setAtr(Bytes atr) { atr_ = std::move(atr); }
    const Bytes& atr() const { return atr_; }
    void setMute(bool mute) { mute_ = mute; }
    void addAid(Bytes aid, Bytes fci);
    // prefix: the rule covers every command that starts with pattern.
    void addAnswer(Bytes pattern, bool prefix, Bytes answer, std::chrono::milliseconds delay);
    // The card is pulled in the middle of such a command, after the delay:
    // it leaves the reader instead of answering.
    void addLeave(Bytes pattern, bool prefix, std::chrono::milliseconds delay);

    CardAnswer answer(std::span<const std::uint8_t> command);
    // A fault seen outside the command rules (e.g. a command while unpowered).
    void recordFailure(std::string text);

    const std::vector<std::string>& received() const { return received_; }
    const std::vector<std::string>& failures() const { return failures_; }
    void clearLogs();

    static Bytes defaultAtr();

private:
    struct Canned {
        Bytes pattern;
        bool prefix;
        Bytes answer;
        std::chrono::milliseconds delay;
        bool leave = false;
    };
    struct Application {
        Bytes aid;
        Bytes fci;
    };

    bool cannedAnswer(std::span<const std::uint8_t> command, CardAnswer& out) const;
    bool selectAnswer(std::span<const std::uint8_t> command, CardAnswer& out) const;
    static bool builtInAnswer(std::span<const std::uint8_t> command, CardAnswer& out);

    Bytes atr_;
    bool mute_ = false;
    std::vector<Application> applications_;
    std::vector<Canned> canned_;
    std::vector<std::string> received_;
    std::vector<std::string> failures_;
};

// The data field of a command APDU (short or extended form); empty when the
// command has none.
std::span<const std::uint8_t> commandData(std::span<const std::uint8_t> command);

} // namespace vexa::testbed
