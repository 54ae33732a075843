#include "cardaccess/remote_pcsc_backend.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>

#include "cardaccess/card_error.h"
#include "pcsc/service_context.h"

namespace vexa {
namespace {

// The answer into the caller's buffer. An answer that does not fit is a
// failure, not a silently shortened success.
void deliver(std::int32_t result, std::string_view call, const ByteBuffer& got, std::span<std::uint8_t> out,
             std::uint32_t& length) {
    length = got.length();
    throwOnFailure(result, call);
    if (got.length() > out.size()) throw CallError(pcsc::code(SCARD_E_INSUFFICIENT_BUFFER), call);
    std::copy(got.bytes().begin(), got.bytes().end(), out.begin());
}

} // namespace

std::uint32_t RemotePcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                         ByteBuffer&) {
    std::uint32_t active = 0;
    std::string server;
    const std::int32_t result = client_.connect(0, reader, static_cast<std::uint32_t>(shareMode),
                                                static_cast<std::uint32_t>(protocols), active, server);
    // The client names the server when it was the server it could not use.
    if (!server.empty()) throwOnFailure(result, "rpcsc.useServer", server);
    throwOnFailure(result, "rpcsc.connect");
    return active;
}

void RemotePcscBackend::releaseCard(std::int32_t disposition) {
    throwOnFailure(client_.disconnect(static_cast<std::uint32_t>(disposition)), "rpcsc.disconnect");
}

void RemotePcscBackend::close() {
    throwOnFailure(client_.closeAll(), "rpcsc.closeAll");
}

SCARD_READERSTATE RemotePcscBackend::queryReader(const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    throwOnFailure(client_.getStatusChange(0, 0, std::span(&state, 1)), "rpcsc.getStatusChange");
    return state;
}

ByteBuffer RemotePcscBackend::readAtr(const std::string& reader) {
    const SCARD_READERSTATE state = queryReader(reader);
    return ByteBuffer(state.rgbAtr, static_cast<std::uint32_t>(std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr)));
}

std::uint32_t RemotePcscBackend::readerState(const std::string& reader) {
    return static_cast<std::uint32_t>(queryReader(reader).dwEventState);
}

bool RemotePcscBackend::cardRemoved() {
    std::string reader;
    std::uint32_t state = 0, protocol = 0;
    ByteBuffer atr;
    const std::int32_t result = pcsc::cardCallCode(client_.status(reader, state, protocol, atr));
    if (result == pcsc::code(SCARD_E_NO_SMARTCARD) || result == pcsc::code(SCARD_W_REMOVED_CARD)) return true;
    throwOnFailure(result, "rpcsc.status");
    return state == wire::kCardStateAbsent;
}

void RemotePcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                                 std::span<std::uint8_t> answer, std::uint32_t& length) {
    ByteBuffer got;
    std::uint32_t receiveProtocol = 0;
    // A card handle that died with the server's service is a card gone.
    const std::int32_t result = pcsc::cardCallCode(
        client_.transmit(protocol, command, got, static_cast<std::uint32_t>(answer.size()), receiveProtocol));
    deliver(result, "rpcsc.transmit", got, answer, length);
}

void RemotePcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output, std::uint32_t& length) {
    ByteBuffer got;
    const std::int32_t result =
        pcsc::cardCallCode(client_.control(code, raw, input, got, static_cast<std::uint32_t>(output.size())));
    deliver(result, "rpcsc.control", got, output, length);
}

void RemotePcscBackend::beginTransaction() {
    throwOnFailure(pcsc::cardCallCode(client_.beginTransaction()), "rpcsc.beginTransaction");
}

void RemotePcscBackend::endTransaction(std::int32_t disposition) {
    throwOnFailure(pcsc::cardCallCode(client_.endTransaction(static_cast<std::uint32_t>(disposition))),
                   "rpcsc.endTransaction");
}

} // namespace vexa
