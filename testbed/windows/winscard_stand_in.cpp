// winscard.dll for the test bed's Wine only. Wine has no PC/SC service (its
// winscard answers every call with SCARD_F_INTERNAL_ERROR), so this DLL
// carries the calls of the Windows programs to the test bed's vexa-rpcscd,
// and through it to the bed's real pcscd and virtual cards: the local PC/SC
// path of the Windows build then runs against real cards. Wine loads it
// instead of its own with WINEDLLOVERRIDES="winscard=n"; the server is
// VEXA_WINSCARD_SERVER ("127.0.0.1:36303"), read at SCardEstablishContext.
// It is never installed: on Windows the system's winscard serves.
//
// winscard.h declares the functions it stands for as imported, so they are
// defined here under names of their own and winscard.def exports them under
// winscard's names.

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pcsc/pcsc_call.h"
#include "rpcsc/client_error.h"
#include "support/byte_buffer.h"
#include "testbed/windows/handle_table.h"
#include "testbed/windows/pcsc_lite_values.h"

namespace vexa::winscard {
namespace {

constexpr const char* kServerVariable = "VEXA_WINSCARD_SERVER";
// A status wait goes to the server in rounds this long, well inside the
// connection's answer time-out, and SCardCancel takes effect between them.
constexpr DWORD kRoundMs = 250;

const std::int32_t kTimeoutCode = pcsc::code(SCARD_E_TIMEOUT);

HandleTable& table() {
    return HandleTable::instance();
}

// The connection's result as winscard's: the server's PC/SC codes pass; a
// server that cannot be reached or answers nonsense is a missing service.
LONG systemCode(std::int32_t result) {
    if (result == rpcsc::kInternalError) return SCARD_F_INTERNAL_ERROR;
    if (result > 0) return SCARD_E_NO_SERVICE;
    return static_cast<LONG>(result);
}

// Bytes handed to the caller as winscard hands them: only the length when
// no buffer is given, a block of the stand-in's own (freed with
// SCardFreeMemory) for SCARD_AUTOALLOCATE, else a copy when it fits.
LONG handOut(std::span<const std::uint8_t> bytes, void* buffer, DWORD* length) {
    if (length == nullptr) return buffer == nullptr ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
    const DWORD room = *length;
    *length = static_cast<DWORD>(bytes.size());
    if (buffer == nullptr) return SCARD_S_SUCCESS;
    if (room == SCARD_AUTOALLOCATE) {
        void* block = table().allocate(bytes.size());
        std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(block));
        *static_cast<void**>(buffer) = block;
        return SCARD_S_SUCCESS;
    }
    if (room < bytes.size()) return SCARD_E_INSUFFICIENT_BUFFER;
    std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(buffer));
    return SCARD_S_SUCCESS;
}

// An answer into the caller's buffer of *length bytes; *length becomes the
// answer's length, also when it does not fit.
LONG copyAnswer(const ByteBuffer& bytes, void* buffer, DWORD* length) {
    const DWORD room = *length;
    *length = bytes.length();
    if (bytes.length() > room) return SCARD_E_INSUFFICIENT_BUFFER;
    if (bytes.length() != 0) std::memcpy(buffer, bytes.data(), bytes.length());
    return SCARD_S_SUCCESS;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Names as winscard's multi-string: each ends with a NUL, one more ends all.
std::string multiString(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text.append(name).push_back('\0');
    text.push_back('\0');
    return text;
}

std::optional<ServerAddress> configuredServer() {
    const char* text = std::getenv(kServerVariable);
    const auto server = ServerAddress::parse(text ? text : "");
    if (server && server->port != 0) return server;
    std::fprintf(stderr, "winscard stand-in: %s is \"%s\", not \"a.b.c.d:port\"\n", kServerVariable, text ? text : "");
    return std::nullopt;
}

// A card's own connection to the server, with a context there and the card
// connected.
std::int32_t openCard(StandInCard& card, DWORD shareMode, DWORD protocols, DWORD& active) {
    std::int32_t result =
        card.connection.open(card.server.host(), static_cast<std::uint16_t>(card.server.port), card.server.text());
    if (result == 0) result = card.connection.establishContext(SCARD_SCOPE_USER);
    std::uint32_t liteActive = 0;
    if (result == 0) result = card.connection.connect(card.reader, shareMode, protocolsToLite(protocols), liteActive);
    if (result != 0) {
        card.connection.releaseContext();
        card.connection.close();
        return result;
    }
    active = protocolsFromLite(liteActive);
    return 0;
}

// A call on the card behind the handle, under the card's lock.
template <typename Call>
LONG onCard(SCARDHANDLE handle, Call&& call) {
    const auto card = table().card(handle);
    if (!card) return SCARD_E_INVALID_HANDLE;
    std::lock_guard lock(card->mutex);
    return call(*card);
}

// One round of a status wait, under the context's lock.
std::int32_t waitRound(StandInContext& context, DWORD timeoutMs, std::span<const std::string> readers,
                       std::span<SCARD_READERSTATEA> states) {
    std::lock_guard lock(context.mutex);
    return context.connection.getStatusChange(timeoutMs, readers, states);
}

} // namespace
} // namespace vexa::winscard

using namespace vexa;
using namespace vexa::winscard;

extern "C" {

// Exported as data: declared extern, as a const object would otherwise stay
// inside this file.
extern const SCARD_IO_REQUEST standInT0Pci, standInT1Pci, standInRawPci;
const SCARD_IO_REQUEST standInT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST standInT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST standInRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG WINAPI standInEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    if (context == nullptr) return SCARD_E_INVALID_PARAMETER;
    const auto server = configuredServer();
    if (!server) return SCARD_E_NO_SERVICE;
    auto state = std::make_shared<StandInContext>(*server);
    std::int32_t result =
        state->connection.open(server->host(), static_cast<std::uint16_t>(server->port), server->text());
    if (result == 0) result = state->connection.establishContext(scope);
    if (result != 0) {
        state->connection.close();
        return systemCode(result);
    }
    *context = table().addContext(std::move(state));
    return SCARD_S_SUCCESS;
}

LONG WINAPI standInReleaseContext(SCARDCONTEXT handle) {
    std::vector<std::shared_ptr<StandInCard>> cards;
    const auto context = table().removeContext(handle, cards);
    if (!context) return SCARD_E_INVALID_HANDLE;
    // Cards go with their context, as on pcsc-lite.
    for (const auto& card : cards) {
        std::lock_guard lock(card->mutex);
        card->connection.disconnect(SCARD_LEAVE_CARD);
    }
    std::lock_guard lock(context->mutex);
    const std::int32_t result = context->connection.releaseContext();
    context->connection.close();
    return systemCode(result);
}

LONG WINAPI standInIsValidContext(SCARDCONTEXT handle) {
    return table().context(handle) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG WINAPI standInCancel(SCARDCONTEXT handle) {
    const auto context = table().context(handle);
    if (!context) return SCARD_E_INVALID_HANDLE;
    context->cancelled = true;
    return SCARD_S_SUCCESS;
}

LONG WINAPI standInFreeMemory(SCARDCONTEXT, LPCVOID memory) {
    return table().free(memory) ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
}

LONG WINAPI standInListReaders(SCARDCONTEXT handle, LPCSTR groups, LPSTR readers, LPDWORD length) {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    const auto context = table().context(handle);
    if (!context) return SCARD_E_INVALID_HANDLE;
    std::vector<std::string> names;
    std::int32_t result = 0;
    {
        std::lock_guard lock(context->mutex);
        // The first group of the multi-string; the server knows no more.
        result = context->connection.listReaders(groups ? groups : "", names);
    }
    if (result != 0) return systemCode(result);
    if (names.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    return handOut(bytesOf(multiString(names)), readers, length);
}

LONG WINAPI standInGetStatusChange(SCARDCONTEXT handle, DWORD timeoutMs, LPSCARD_READERSTATEA states, DWORD count) {
    const auto context = table().context(handle);
    if (!context) return SCARD_E_INVALID_HANDLE;
    if (count != 0 && states == nullptr) return SCARD_E_INVALID_PARAMETER;
    const std::span<SCARD_READERSTATEA> watched(states, count);
    std::vector<std::string> readers;
    for (const SCARD_READERSTATEA& state : watched) {
        if (state.szReader == nullptr) return SCARD_E_INVALID_PARAMETER;
        readers.emplace_back(state.szReader);
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    context->cancelled = false;
    for (;;) {
        DWORD round = kRoundMs;
        if (timeoutMs != INFINITE) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            round = std::min<DWORD>(round, timeoutMs - std::min<DWORD>(timeoutMs, static_cast<DWORD>(spent)));
        }
        const std::int32_t result = waitRound(*context, round, readers, watched);
        if (result != kTimeoutCode) return systemCode(result);
        if (round < kRoundMs) return SCARD_E_TIMEOUT; // the caller's time is up
        if (context->cancelled) return SCARD_E_CANCELLED;
    }
}

LONG WINAPI standInConnect(SCARDCONTEXT handle, LPCSTR reader, DWORD shareMode, DWORD protocols, LPSCARDHANDLE card,
                           LPDWORD activeProtocol) {
    if (reader == nullptr || card == nullptr || activeProtocol == nullptr) return SCARD_E_INVALID_PARAMETER;
    const auto context = table().context(handle);
    if (!context) return SCARD_E_INVALID_HANDLE;
    auto state = std::make_shared<StandInCard>(context->server, reader);
    DWORD active = 0;
    const std::int32_t result = openCard(*state, shareMode, protocols, active);
    if (result != 0) return systemCode(result);
    const std::uintptr_t added = table().addCard(handle, state);
    if (added == 0) { // the context was released meanwhile
        state->connection.disconnect(SCARD_LEAVE_CARD);
        return SCARD_E_INVALID_HANDLE;
    }
    *card = added;
    *activeProtocol = active;
    return SCARD_S_SUCCESS;
}

// The wire has no reconnect: the card is disconnected with the
// initialization asked for, then connected afresh under the same handle.
LONG WINAPI standInReconnect(SCARDHANDLE handle, DWORD shareMode, DWORD protocols, DWORD initialization,
                             LPDWORD activeProtocol) {
    if (activeProtocol == nullptr) return SCARD_E_INVALID_PARAMETER;
    return onCard(handle, [&](StandInCard& card) {
        std::int32_t result = card.connection.disconnect(initialization);
        DWORD active = 0;
        if (result == 0) result = openCard(card, shareMode, protocols, active);
        if (result == 0) *activeProtocol = active;
        return systemCode(result);
    });
}

LONG WINAPI standInDisconnect(SCARDHANDLE handle, DWORD disposition) {
    const auto card = table().removeCard(handle);
    if (!card) return SCARD_E_INVALID_HANDLE;
    std::lock_guard lock(card->mutex);
    return systemCode(card->connection.disconnect(disposition));
}

LONG WINAPI standInBeginTransaction(SCARDHANDLE handle) {
    return onCard(handle, [](StandInCard& card) { return systemCode(card.connection.beginTransaction()); });
}

LONG WINAPI standInEndTransaction(SCARDHANDLE handle, DWORD disposition) {
    return onCard(handle, [&](StandInCard& card) { return systemCode(card.connection.endTransaction(disposition)); });
}

LONG WINAPI standInStatus(SCARDHANDLE handle, LPSTR readerNames, LPDWORD readerLength, LPDWORD state, LPDWORD protocol,
                          LPBYTE atr, LPDWORD atrLength) {
    return onCard(handle, [&](StandInCard& card) {
        std::string reader;
        std::uint32_t liteState = 0;
        std::uint32_t liteProtocol = 0;
        ByteBuffer atrBytes;
        const std::int32_t result = card.connection.status(reader, liteState, liteProtocol, atrBytes);
        if (result != 0) return systemCode(result);
        if (state) *state = stateFromLite(liteState);
        if (protocol) *protocol = protocolsFromLite(liteProtocol);
        const LONG named = handOut(bytesOf(multiString({reader})), readerNames, readerLength);
        const LONG atrGiven = handOut(atrBytes.bytes(), atr, atrLength);
        return named != SCARD_S_SUCCESS ? named : atrGiven;
    });
}

LONG WINAPI standInTransmit(SCARDHANDLE handle, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command, DWORD commandLength,
                            LPSCARD_IO_REQUEST receivePci, LPBYTE answer, LPDWORD answerLength) {
    if (sendPci == nullptr || command == nullptr || answer == nullptr || answerLength == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    return onCard(handle, [&](StandInCard& card) {
        ByteBuffer answerBytes;
        std::uint32_t liteReceived = 0;
        const std::int32_t result = card.connection.transmit(
            protocolsToLite(sendPci->dwProtocol), {command, commandLength}, answerBytes, *answerLength, liteReceived);
        if (result != 0) return systemCode(result);
        if (receivePci) {
            receivePci->dwProtocol = liteReceived ? protocolsFromLite(liteReceived) : sendPci->dwProtocol;
            receivePci->cbPciLength = sizeof(SCARD_IO_REQUEST);
        }
        return copyAnswer(answerBytes, answer, answerLength);
    });
}

LONG WINAPI standInControl(SCARDHANDLE handle, DWORD controlCode, LPCVOID input, DWORD inputLength, LPVOID output,
                           DWORD outputLength, LPDWORD returned) {
    if (returned == nullptr || (input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0))
        return SCARD_E_INVALID_PARAMETER;
    *returned = 0;
    return onCard(handle, [&](StandInCard& card) {
        const LiteControl lite = controlToLite(controlCode);
        ByteBuffer answerBytes;
        const std::int32_t result = card.connection.control(
            lite.code, lite.raw, {static_cast<const std::uint8_t*>(input), inputLength}, answerBytes, outputLength);
        if (result != 0) return systemCode(result);
        *returned = outputLength;
        return copyAnswer(answerBytes, output, returned);
    });
}

} // extern "C"
