#pragma once

#include "cardaccess/card_backend.h"
#include "cardaccess/remote_pcsc_client.h"

namespace vexa {

// PC/SC resource managers on other machines through the remote client. The
// reader name is the full remote name; the server list only says which
// servers such a name may reach.
class RemotePcscBackend final : public CardBackend {
public:
    std::string_view label() const override { return "remote PC/SC"; }

    // Names on servers not in the list give 992401.
    void useServers(const RemoteServers& servers) override { client_.setServers(servers); }

    std::uint32_t connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                          ByteBuffer& atr) override;
    bool isConnected() const override { return client_.isConnected(); }
    void releaseCard(std::int32_t disposition) override;
    void close() override;

    ByteBuffer readAtr(const std::string& reader) override;
    std::uint32_t readerState(const std::string& reader) override;
    bool cardRemoved() override;

    void transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                  std::uint32_t& length) override;
    void control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                 std::uint32_t& length) override;

    void beginTransaction() override;
    void endTransaction(std::int32_t disposition) override;

private:
    // One getStatusChange over the reader with time-out 0.
    SCARD_READERSTATE queryReader(const std::string& reader);

    RemotePcscClient client_;
};

} // namespace vexa
