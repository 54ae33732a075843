#include "testbed/card_script.h"

#include <algorithm>

namespace vexa::testbed {
namespace {

constexpr std::size_t kMaxLogged = 4096; // commands kept for the control channel

Bytes statusWord(std::uint8_t sw1, std::uint8_t sw2) {
    return {sw1, sw2};
}

void appendStatus(Bytes& bytes, std::uint8_t sw1, std::uint8_t sw2) {
    bytes.push_back(sw1);
    bytes.push_back(sw2);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint32_t p1p2(std::span<const std::uint8_t> command) {
    return command[2] * 256u + command[3];
}

} // namespace

bool parseHexBytes(std::string_view text, Bytes& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ') {
            if (high >= 0) return false;
            continue;
        }
        const int d = hexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0;
}

std::string hexOf(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::span<const std::uint8_t> commandData(std::span<const std::uint8_t> command) {
    if (command.size() <= 5) return {};
    if (command[4] != 0) { // short Lc (ISO 7816-4, 5.1)
        const std::size_t lc = command[4];
        return command.size() >= 5 + lc ? command.subspan(5, lc) : std::span<const std::uint8_t>{};
    }
    if (command.size() < 7) return {}; // extended Le alone
    const std::size_t lc = command[5] * 256u + command[6];
    return command.size() >= 7 + lc ? command.subspan(7, lc) : std::span<const std::uint8_t>{};
}

// T=1 only (TD1 = 01), historical bytes "VEXACARD", TCK last.
Bytes CardScript::defaultAtr() {
    Bytes atr = {0x3B, 0x88, 0x80, 0x01, 'V', 'E', 'X', 'A', 'C', 'A', 'R', 'D'};
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

CardScript::CardScript() {
    clear();
}

void CardScript::clear() {
    atr_ = defaultAtr();
    mute_ = false;
    applications_.clear();
    canned_.clear();
    clearLogs();
}

void CardScript::clearLogs() {
    received_.clear();
    failures_.clear();
}

void CardScript::addAid(Bytes aid, Bytes fci) {
    applications_.push_back({std::move(aid), std::move(fci)});
}

void CardScript::addAnswer(Bytes pattern, bool prefix, Bytes answer, std::chrono::milliseconds delay) {
    canned_.push_back({std::move(pattern), prefix, std::move(answer), delay});
}

void CardScript::addLeave(Bytes pattern, bool prefix, std::chrono::milliseconds delay) {
    canned_.push_back({std::move(pattern), prefix, {}, delay, true});
}

void CardScript::recordFailure(std::string text) {
    if (failures_.size() < kMaxLogged) failures_.push_back(std::move(text));
}

CardAnswer CardScript::answer(std::span<const std::uint8_t> command) {
    if (received_.size() < kMaxLogged) received_.push_back(hexOf(command));
    CardAnswer out;
    if (mute_) {
        out.mute = true;
        return out;
    }
    if (cannedAnswer(command, out) || selectAnswer(command, out) || builtInAnswer(command, out)) return out;
    recordFailure("unexpected command " + hexOf(command));
    out.bytes = statusWord(0x6D, 0x00);
    return out;
}

bool CardScript::cannedAnswer(std::span<const std::uint8_t> command, CardAnswer& out) const {
    for (const auto& rule : canned_) {
        const bool matches = rule.prefix ? command.size() >= rule.pattern.size() &&
                                               std::equal(rule.pattern.begin(), rule.pattern.end(), command.begin())
                                         : std::ranges::equal(rule.pattern, command);
        if (!matches) continue;
        out.bytes = rule.answer;
        out.delay = rule.delay;
        out.mute = rule.leave;
        return true;
    }
    return false;
}

bool CardScript::selectAnswer(std::span<const std::uint8_t> command, CardAnswer& out) const {
    // SELECT by DF name: CLA 00, INS A4, P1 04 (ISO 7816-4, 11.2.2).
    if (command.size() < 5 || command[0] != 0x00 || command[1] != 0xA4 || command[2] != 0x04) return false;
    const auto aid = commandData(command);
    const auto app = std::find_if(applications_.begin(), applications_.end(),
                                  [&](const Application& a) { return std::ranges::equal(a.aid, aid); });
    if (aid.empty() || app == applications_.end()) {
        out.bytes = statusWord(0x6A, 0x82);
        return true;
    }
    // P2 0C: no response data wanted.
    if (command[3] != 0x0C) out.bytes = app->fci;
    appendStatus(out.bytes, 0x90, 0x00);
    return true;
}

bool CardScript::builtInAnswer(std::span<const std::uint8_t> command, CardAnswer& out) {
    if (command.size() < 4 || command[0] != 0x80) return false;
    switch (command[1]) {
        case 0xEE: {
            const auto data = commandData(command);
            out.bytes.assign(data.begin(), data.end());
            break;
        }
        case 0xE0:
            for (std::uint32_t i = 0; i < p1p2(command); ++i) out.bytes.push_back(static_cast<std::uint8_t>(i));
            break;
        case 0xE2:
            out.bytes = {static_cast<std::uint8_t>(command.size() >> 8), static_cast<std::uint8_t>(command.size())};
            break;
        case 0xE4:
            out.delay = std::chrono::milliseconds(p1p2(command));
            break;
        default:
            return false;
    }
    appendStatus(out.bytes, 0x90, 0x00);
    return true;
}

} // namespace vexa::testbed
