#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/byte_buffer.h"

namespace vexa {

// What differs between the interface types (PC/SC, remote PC/SC, CT-API)
// behind one card connection. A back end writes no log lines and keeps no
// result code: TovChipDefaultAccess does both once for all of them.
//
// Calls whose failure ends the operation throw TovException with the code and
// the text its log line starts with (an empty text: no log line). Calls whose
// code the connection reports as it is return it.
class CardBackend {
public:
    virtual ~CardBackend() = default;

    // The interface's name in log lines: "PC/SC", "remote PC/SC", "CTAPI".
    virtual std::string_view label() const = 0;

    // Connects the card in the named reader; the active protocol. A back end
    // that learns the ATR while connecting stores it in atr.
    virtual std::uint32_t connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                  ByteBuffer& atr) = 0;
    // False for a connect failure that is no fault (no card presented).
    virtual bool logsConnectFailure(std::int32_t) const { return true; }
    virtual bool isConnected() const = 0;
    // Releases the card; its result. Called only while connected.
    virtual std::int32_t releaseCard(std::int32_t disposition) = 0;
    // What follows every disconnect, card or not (closing a terminal).
    virtual std::int32_t finishDisconnect() { return 0; }
    // Releases everything the back end holds: contexts, servers, drivers.
    virtual std::int32_t close() = 0;

    // The ATR of the card in the named reader, read without connecting.
    virtual ByteBuffer readAtr(const std::string& reader) = 0;
    // The reader's current PC/SC event state.
    virtual std::uint32_t readerState(const std::string& reader) = 0;
    // 0 while the connected card is present, 992315 when it is gone, or the
    // failure of the check.
    virtual std::int32_t cardRemoved() = 0;

    // One APDU; length receives the answer's length. 0 or the code.
    virtual std::int32_t transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                                  std::span<std::uint8_t> answer, std::uint32_t& length) = 0;
    // One reader control request with the final control code; raw tells a
    // back end that passes the code on unconverted. 0 or the code.
    virtual std::int32_t control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                                 std::span<std::uint8_t> output, std::uint32_t& length) = 0;
    // False when the interface has no reader control.
    virtual bool hasControl() const { return true; }

    virtual std::int32_t beginTransaction() = 0;
    virtual std::int32_t endTransaction(std::int32_t disposition) = 0;
};

} // namespace vexa
