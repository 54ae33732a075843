#include "cardaccess/ctapi_reader.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "cardaccess/apdu.h"
#include "cardaccess/card_error.h"
#include "cardaccess/ctbcs_status.h"

namespace vexa {
namespace {

// CT-BCS terminal commands (class 20) for card slot 1.
constexpr std::array<std::uint8_t, 5> kResetCard = {0x20, 0x11, 0x01, 0x01, 0x00};   // RESET CT, whole ATR
constexpr std::array<std::uint8_t, 5> kGetStatus = {0x20, 0x13, 0x01, 0x80, 0x00};   // GET STATUS, ICC status DO
constexpr std::array<std::uint8_t, 6> kEject = {0x20, 0x15, 0x01, 0x00, 0x01, 0x00}; // EJECT ICC, no wait
// CT_data counts in 16 bits.
constexpr std::uint32_t kMaxLength = std::numeric_limits<unsigned short>::max();

} // namespace

CtapiReader& CtapiReader::operator=(const CtapiReader& other) {
    if (this != &other) {
        reset();
        settings_ = other.settings_;
    }
    return *this;
}

CtapiReader::CtapiReader(CtapiReader&& other) noexcept
    : settings_(std::move(other.settings_)),
      module_(std::move(other.module_)),
      init_(std::exchange(other.init_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      close_(std::exchange(other.close_, nullptr)),
      opened_(std::exchange(other.opened_, false)),
      cardActive_(std::exchange(other.cardActive_, false)) {
    other.settings_ = {};
}

CtapiReader& CtapiReader::operator=(CtapiReader&& other) noexcept {
    if (this != &other) {
        reset();
        settings_ = std::exchange(other.settings_, {});
        module_ = std::move(other.module_);
        init_ = std::exchange(other.init_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        close_ = std::exchange(other.close_, nullptr);
        opened_ = std::exchange(other.opened_, false);
        cardActive_ = std::exchange(other.cardActive_, false);
    }
    return *this;
}

bool CtapiReader::loadLibrary() {
    if (settings_.library.empty()) return false;
    if (!module_.valid()) module_ = DynamicLibrary::open(settings_.library);
    if (!module_.valid()) return false;
    init_ = reinterpret_cast<InitFn>(module_.symbol("CT_init"));
    if (init_ == nullptr) return false;
    data_ = reinterpret_cast<DataFn>(module_.symbol("CT_data"));
    if (data_ == nullptr) return false;
    close_ = reinterpret_cast<CloseFn>(module_.symbol("CT_close"));
    return close_ != nullptr;
}

std::int32_t CtapiReader::readerInit() {
    if (opened_) return 0;
    if (init_ == nullptr && !loadLibrary()) return ERR_NO_INIT;
    // A port outside the 16 bits of pn would name another terminal.
    if (settings_.port < 0 || static_cast<std::uint32_t>(settings_.port) > kMaxLength) return ERR_INVALID_VALUE_GIVEN;
    const std::int32_t result = init_(kTerminal, static_cast<unsigned short>(settings_.port));
    if (result == 0) opened_ = true;
    return result;
}

std::int32_t CtapiReader::dataExchange(std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                                       std::uint32_t& length) {
    if (!opened_ || data_ == nullptr) return ERR_NO_INIT;
    if (command.size() > kMaxLength) return ERR_BUFFER_SIZE;
    const auto capacity = static_cast<unsigned short>(std::min({length, kMaxLength, std::uint32_t(answer.size())}));
    unsigned char dad = addressesTerminal(command) ? kTerminalUnit : kCard;
    unsigned char sad = kHost;
    // The classic signature takes the command unconst.
    std::vector<unsigned char> bytes(command.begin(), command.end());
    unsigned short received = capacity;
    const std::int32_t result =
        data_(kTerminal, &dad, &sad, static_cast<unsigned short>(bytes.size()), bytes.data(), &received, answer.data());
    // Never believe a driver that claims more than the buffer holds.
    length = std::min(received, capacity);
    return result;
}

std::int32_t CtapiReader::readerConnect(std::span<std::uint8_t> answer, std::uint32_t& length) {
    if (!opened_) {
        if (const std::int32_t result = readerInit(); result != 0) return result;
    }
    if (cardActive_) {
        length = 0;
        return 0;
    }
    std::int32_t result = dataExchange(kResetCard, answer, length);
    if (result == 0) result = statusWord(answer.first(length));
    cardActive_ = isSuccessCode(result) || result == ctbcs::kCardReset;
    return result;
}

std::int32_t CtapiReader::readerStatus(std::uint8_t& status) {
    status = 0;
    if (!opened_) {
        if (const std::int32_t result = readerInit(); result != 0) return result;
    }
    std::array<std::uint8_t, kAnswerSize> answer{};
    std::uint32_t length = answer.size();
    if (const std::int32_t result = dataExchange(kGetStatus, answer, length); result != 0) return result;
    const std::int32_t answerStatus = statusWord(std::span(answer).first(length));
    if (!isSuccessCode(answerStatus)) return answerStatus;
    if (length > 2) status = answer[length - 3];
    return 0;
}

std::int32_t CtapiReader::readerEject() {
    if (!opened_) return ERR_NO_INIT;
    std::array<std::uint8_t, kAnswerSize> answer{};
    std::uint32_t length = answer.size();
    const std::int32_t result = dataExchange(kEject, answer, length);
    cardActive_ = false;
    return result;
}

std::int32_t CtapiReader::readerClose() {
    if (close_ == nullptr) {
        opened_ = false;
        return ERR_NO_INIT;
    }
    std::int32_t result = 0;
    if (opened_) result = close_(kTerminal);
    opened_ = false;
    return result;
}

void CtapiReader::reset() {
    if (cardActive_) readerEject();
    if (opened_) readerClose();
    init_ = nullptr;
    data_ = nullptr;
    close_ = nullptr;
    module_.close();
    settings_ = {};
    opened_ = cardActive_ = false;
}

} // namespace vexa
