#include "cardaccess/ctapi_backend.h"

#include <array>

#include "cardaccess/card_error.h"
#include "cardaccess/ctapi_terminals.h"
#include "cardaccess/ctbcs_status.h"

namespace vexa {
namespace {

constexpr std::size_t kResetAnswerSize = 53;

} // namespace

void CtapiBackend::select(const std::any& detail) {
    const auto* settings = std::any_cast<CtapiSettings>(&detail);
    reader_ = CtapiReader(settings != nullptr ? *settings : CtapiSettings{});
}

void CtapiBackend::lookUp(const std::string& name) {
    reader_.reset();
    std::vector<CtapiReader> readers;
    std::vector<std::string> failures;
    throwOnFailure(listCtapiReaders(readers, failures), "ctapi.listReaders");
    for (auto& reader : readers) {
        if (reader.name() == name) {
            reader_ = std::move(reader);
            return;
        }
    }
    throw CallError(ERR_NO_READER, "ctapi.findReader");
}

std::uint32_t CtapiBackend::connect(const std::string& name, std::int32_t, std::int32_t, ByteBuffer& atr) {
    if (reader_.name() != name) lookUp(name);
    throwOnFailure(reader_.readerInit(), "ctapi.readerInit");
    std::array<std::uint8_t, kResetAnswerSize> answer{};
    std::uint32_t length = answer.size();
    const std::int32_t result = reader_.readerConnect(answer, length);
    if (!isSuccessCode(result) && result != ctbcs::kCardReset) throw CallError(result, "ctapi.readerConnect");
    // The answer is the ATR followed by the status word.
    if (length > 1) length -= 2;
    atr.assign(answer.data(), length);
    return 0;
}

void CtapiBackend::releaseCard(std::int32_t) {
    throwOnFailure(reader_.readerEject(), "ctapi.readerEject");
}

void CtapiBackend::finishDisconnect() {
    // A terminal never opened (a connect that failed early) has nothing to
    // close and is no failure.
    if (reader_.opened()) throwOnFailure(reader_.readerClose(), "ctapi.readerClose");
}

void CtapiBackend::close() {
    reader_.reset();
}

ByteBuffer CtapiBackend::readAtr(const std::string&) {
    throw CallError(ERR_UNKNOWN_INTERFACE, "ctapi.readAtr");
}

std::uint32_t CtapiBackend::readerState(const std::string&) {
    throw CallError(ERR_UNKNOWN_INTERFACE, "ctapi.readerState");
}

bool CtapiBackend::cardRemoved() {
    std::uint8_t status = 0;
    const std::int32_t result = reader_.readerStatus(status);
    if (result == ctbcs::kWrongUnit) return false; // the terminal has no status for the slot
    throwOnFailure(result, "ctapi.readerStatus");
    return status == 0;
}

void CtapiBackend::transmit(std::uint32_t, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                            std::uint32_t& length) {
    throwOnFailure(reader_.dataExchange(command, answer, length), "ctapi.dataExchange");
}

void CtapiBackend::control(std::uint32_t, bool, std::span<const std::uint8_t>, std::span<std::uint8_t>,
                           std::uint32_t& length) {
    length = 0;
    throw CallError(ERR_UNKNOWN_INTERFACE, "ctapi.control");
}

} // namespace vexa
