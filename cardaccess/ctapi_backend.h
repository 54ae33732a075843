#pragma once

#include "cardaccess/card_backend.h"
#include "cardaccess/ctapi_reader.h"

namespace vexa {

// A CT-API terminal of HBCIKRNL.INI. Connecting resets the card through the
// terminal; APDUs go through CT_data; there is no reader control and a
// transaction is only the connection's flag.
class CtapiBackend final : public CardBackend {
public:
    std::string_view label() const override { return "CTAPI"; }

    std::uint32_t connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                          ByteBuffer& atr) override;
    bool isConnected() const override { return reader_.cardActive(); }
    void releaseCard(std::int32_t disposition) override;
    // Closes the terminal.
    void finishDisconnect() override;
    void close() override;

    // Only a connected terminal says anything about its card.
    bool queriesReaders() const override { return false; }
    ByteBuffer readAtr(const std::string& reader) override;
    std::uint32_t readerState(const std::string& reader) override;
    bool cardRemoved() override;

    void transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                  std::uint32_t& length) override;
    void control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                 std::uint32_t& length) override;
    bool hasControl() const override { return false; }
    // CT-BCS commands are the terminal's.
    bool reachesCard(std::span<const std::uint8_t> command) const override {
        return !CtapiReader::addressesTerminal(command);
    }

    void beginTransaction() override {}
    void endTransaction(std::int32_t) override {}
    // The terminal belongs to one connection from connect to disconnect.
    bool transactionsLock() const override { return false; }

    // The terminal an inventory found (its CtapiSettings), so a connect to
    // its name skips the lookup in HBCIKRNL.INI.
    void select(const std::any& detail) override;
    const CtapiReader& reader() const { return reader_; }

private:
    // Takes the named terminal from HBCIKRNL.INI, or throws.
    void lookUp(const std::string& reader);

    CtapiReader reader_;
};

} // namespace vexa
