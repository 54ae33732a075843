#pragma once

#include <any>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/remote_servers.h"
#include "support/byte_buffer.h"
#include "support/call_error.h"

namespace vexa {

// What differs between the interface types (PC/SC, remote PC/SC, CT-API)
// behind one card connection. A back end writes no log lines and keeps no
// result code: TovChipDefaultAccess does both once for all of them.
//
// Every call returns only its value; a failure is thrown as CallError with
// the code and the name of the call that failed. A back end leaves its own
// state consistent before it throws (a handle given up stays given up).
class CardBackend {
public:
    virtual ~CardBackend() = default;

    // The interface's name in log lines: "PC/SC", "remote PC/SC", "CTAPI".
    virtual std::string_view label() const = 0;

    // The configured remote PC/SC servers, for a back end that reaches
    // servers.
    virtual void useServers(const RemoteServers&) {}
    // What a reader inventory of this interface found out about the reader
    // that a following connect names (a CT-API terminal's settings), so the
    // connect need not find it again; empty: forget what was selected.
    virtual void select(const std::any&) {}

    // Connects the card in the named reader; the active protocol. A back end
    // that learns the ATR while connecting stores it in atr.
    virtual std::uint32_t connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                  ByteBuffer& atr) = 0;
    virtual bool isConnected() const = 0;
    // Releases the card. Called only while connected; the card counts as
    // released afterwards even when the call fails.
    virtual void releaseCard(std::int32_t disposition) = 0;
    // What follows every disconnect, card or not (closing a terminal).
    virtual void finishDisconnect() {}
    // Releases everything the back end holds: contexts, servers, drivers.
    virtual void close() = 0;

    // False when the interface cannot look at a reader without a connection.
    virtual bool queriesReaders() const { return true; }
    // The ATR of the card in the named reader, read without connecting.
    virtual ByteBuffer readAtr(const std::string& reader) = 0;
    // The reader's current PC/SC event state.
    virtual std::uint32_t readerState(const std::string& reader) = 0;
    // Whether the connected card is gone: an answer, not a failure.
    virtual bool cardRemoved() = 0;

    // One APDU. length receives the answer's length as the interface reports
    // it, also when the call fails.
    virtual void transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                          std::uint32_t& length) = 0;
    // One reader control request with the final control code; raw tells a
    // back end that passes the code on unconverted. length as for transmit.
    virtual void control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output, std::uint32_t& length) = 0;
    // False when the interface has no reader control.
    virtual bool hasControl() const { return true; }
    // False for a command that the interface answers itself rather than the
    // card; only a card's answer must end with a status word.
    virtual bool reachesCard(std::span<const std::uint8_t>) const { return true; }

    virtual void beginTransaction() = 0;
    virtual void endTransaction(std::int32_t disposition) = 0;
    // False when a transaction keeps nobody else from the card, so an idle
    // one need not end.
    virtual bool transactionsLock() const { return true; }
};

} // namespace vexa
