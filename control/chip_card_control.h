#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/event_mailbox.h"
#include "control/script_host.h"
#include "core/chip_card_plugin.h"

namespace vexa {

// The plug-in object a page embeds: one per page object and host process.
// It starts the plug-in for its page, as the connection's first message
// tells who embeds it, answers Reset for the dispatcher, and hands the
// events of the event thread over a one-slot mailbox to the host's thread,
// which fires them to the page.
class ChipCardControl : public ChipCardPlugin, public ScriptHost {
public:
    // question: how the host asks its user; it must outlive the control.
    ChipCardControl(UserQuestion& question, const PageIdentity& identity);
    ~ChipCardControl() override;

    // Reset's second half: empty the mailbox and start the plug-in again.
    void restartPlugin() override;

    EventMailbox& mailbox() { return mailbox_; }

    void OnCardReady(std::string_view reader, std::string_view atr, std::int32_t protocol,
                     std::string_view eventIdentifier) override;
    void OnCardError(std::string_view reader, std::string_view eventIdentifier) override;
    void OnCardRemoved(std::string_view reader, std::string_view eventIdentifier) override;
    void OnReaderAdded(std::string_view reader, std::string_view eventIdentifier) override;
    void OnReaderRemoved(std::string_view reader, std::string_view eventIdentifier) override;
    void OnCardInuse(std::string_view reader, std::int32_t shareMode, std::string_view eventIdentifier) override;
    void OnCardUnused(std::string_view reader, std::string_view eventIdentifier) override;

protected:
    void interruptEventDelivery() override { mailbox_.close(); }

private:
    void startPlugin();
    static CardEvent makeEvent(CardEventKind kind, std::string_view reader, std::string_view eventIdentifier);
    std::string logName() const;

    // Tells this control's records from those of the host's other controls.
    const std::uint32_t number_;
    StartupInputs inputs_;
    EventMailbox mailbox_;
};

} // namespace vexa
