#include "cardaccess/ctapi_backend.h"

#include <array>

#include "cardaccess/card_error.h"
#include "cardaccess/ctapi_terminals.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

constexpr std::size_t kResetAnswerSize = 53;
constexpr std::int32_t kCardReset = 0x9001;    // reset successful, asynchronous card
constexpr std::int32_t kNoStatusHere = 0x6A00; // the terminal has no status for the slot

} // namespace

void CtapiBackend::lookUp(const std::string& name) {
    reader_.reset();
    std::vector<CtapiReader> readers;
    std::vector<std::string> failures;
    const std::int32_t result = listCtapiReaders(readers, failures);
    if (result != 0) throw TovException(result, "CTAPI reader list is emtpy on connect to " + name);
    for (auto& reader : readers) {
        if (reader.name() == name) {
            reader_ = std::move(reader);
            return;
        }
    }
    throw TovException(ERR_NO_READER, "CTAPI reader not found in reader list: " + name);
}

std::uint32_t CtapiBackend::connect(const std::string& name, std::int32_t, std::int32_t, ByteBuffer& atr) {
    if (reader_.name() != name) lookUp(name);
    if (const std::int32_t result = reader_.readerInit(); result != 0)
        throw TovException(result, "ctapi.readerInit () unsuccessful");
    std::array<std::uint8_t, kResetAnswerSize> answer{};
    std::uint32_t length = answer.size();
    const std::int32_t result = reader_.readerConnect(answer, length);
    if (!isSuccessCode(result) && result != kCardReset)
        throw TovException(result, "ctapi.readerConnect () to reader " + name + " unsuccessful");
    // The answer is the ATR followed by the status word.
    if (length > 1) length -= 2;
    atr.assign(answer.data(), length);
    return 0;
}

std::int32_t CtapiBackend::releaseCard(std::int32_t) {
    return reader_.readerEject();
}

std::int32_t CtapiBackend::close() {
    reader_.reset();
    return 0;
}

ByteBuffer CtapiBackend::readAtr(const std::string&) {
    throw TovException(ERR_UNKNOWN_INTERFACE);
}

std::uint32_t CtapiBackend::readerState(const std::string&) {
    throw TovException(ERR_UNKNOWN_INTERFACE);
}

std::int32_t CtapiBackend::cardRemoved() {
    std::uint8_t status = 0;
    const std::int32_t result = reader_.readerStatus(status);
    if (result == 0) return status != 0 ? 0 : ERR_CARD_REMOVED;
    return result == kNoStatusHere ? 0 : result;
}

std::int32_t CtapiBackend::transmit(std::uint32_t, std::span<const std::uint8_t> command,
                                    std::span<std::uint8_t> answer, std::uint32_t& length) {
    return reader_.dataExchange(command, answer, length);
}

std::int32_t CtapiBackend::control(std::uint32_t, bool, std::span<const std::uint8_t>, std::span<std::uint8_t>,
                                   std::uint32_t& length) {
    length = 0;
    return ERR_UNKNOWN_INTERFACE;
}

} // namespace vexa
