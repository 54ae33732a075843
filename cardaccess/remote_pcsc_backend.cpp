#include "cardaccess/remote_pcsc_backend.h"

#include <PCSC/pcsclite.h>

#include <algorithm>

#include "cardaccess/card_error.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

constexpr std::int32_t kInsufficientBuffer = static_cast<std::int32_t>(0x80100008); // SCARD_E_INSUFFICIENT_BUFFER

// The answer into the caller's buffer. An answer that does not fit is a
// failure, not a silently shortened success.
std::int32_t deliver(std::int32_t result, const ByteBuffer& got, std::span<std::uint8_t> out, std::uint32_t& length) {
    length = got.length();
    if (result != 0) return result;
    if (got.length() > out.size()) return kInsufficientBuffer;
    std::copy(got.bytes().begin(), got.bytes().end(), out.begin());
    return 0;
}

} // namespace

std::uint32_t RemotePcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                         ByteBuffer&) {
    std::uint32_t active = 0;
    std::string server;
    const std::int32_t result = client_.connect(0, reader, static_cast<std::uint32_t>(shareMode),
                                                static_cast<std::uint32_t>(protocols), active, server);
    if (result == 0) return active;
    if (!server.empty()) throw TovException(result, "Cannot connect remote PC/SC server " + server);
    throw TovException(result, "rpcsc.connect () to reader " + reader + " unsuccessful");
}

std::int32_t RemotePcscBackend::releaseCard(std::int32_t disposition) {
    return client_.disconnect(static_cast<std::uint32_t>(disposition));
}

SCARD_READERSTATE RemotePcscBackend::queryReader(const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const std::int32_t result = client_.getStatusChange(0, 0, std::span(&state, 1));
    if (result != 0) throw TovException(result, "rpcsc.getStatusChange () unsuccessful");
    return state;
}

ByteBuffer RemotePcscBackend::readAtr(const std::string& reader) {
    const SCARD_READERSTATE state = queryReader(reader);
    return ByteBuffer(state.rgbAtr, static_cast<std::uint32_t>(std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr)));
}

std::uint32_t RemotePcscBackend::readerState(const std::string& reader) {
    return static_cast<std::uint32_t>(queryReader(reader).dwEventState);
}

std::int32_t RemotePcscBackend::cardRemoved() {
    std::string reader;
    std::uint32_t state = 0, protocol = 0;
    ByteBuffer atr;
    const std::int32_t result = client_.status(reader, state, protocol, atr);
    if (result == PCSC_E_NO_SMARTCARD || result == PCSC_W_REMOVED_CARD) return ERR_CARD_REMOVED;
    if (result != 0) return result;
    return state == SCARD_ABSENT ? ERR_CARD_REMOVED : 0;
}

std::int32_t RemotePcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                                         std::span<std::uint8_t> answer, std::uint32_t& length) {
    ByteBuffer got;
    std::uint32_t receiveProtocol = 0;
    const std::int32_t result =
        client_.transmit(protocol, command, got, static_cast<std::uint32_t>(answer.size()), receiveProtocol);
    return deliver(result, got, answer, length);
}

std::int32_t RemotePcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                                        std::span<std::uint8_t> output, std::uint32_t& length) {
    ByteBuffer got;
    const std::int32_t result = client_.control(code, raw, input, got, static_cast<std::uint32_t>(output.size()));
    return deliver(result, got, output, length);
}

} // namespace vexa
