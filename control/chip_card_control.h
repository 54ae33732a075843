#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/event_mailbox.h"
#include "control/script_host.h"
#include "core/chip_card_plugin.h"

namespace vexa {

// What the control needs from the page's connection.
class PageConnection {
public:
    virtual ~PageConnection() = default;

    // Asks the user the modal OK/Cancel question (narrow texts); true for OK.
    virtual bool askUser(std::string_view caption, std::string_view text) = 0;
};

// Who embeds the control, as the connection's first message tells it (UTF-8).
struct PageIdentity {
    std::string url;         // address of the frame whose script embeds the object
    std::string browser;     // browser name and version
    std::string origin = {}; // the browser's origin of that frame; "" when not given
};

// The plug-in object a page embeds: one per page object and host process.
// It starts the plug-in for its page, answers Reset for the dispatcher, and
// hands the events of the event thread over a one-slot mailbox to the
// host's thread, which fires them to the page.
class ChipCardControl : public ChipCardPlugin, public ScriptHost {
public:
    ChipCardControl(PageConnection& page, const PageIdentity& identity);
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

    // The page address (or origin) Open checks: the UTF-8 text in
    // Windows-1252, or "" when it holds a character beyond U+00FF.
    static std::string narrowPageAddress(std::string_view utf8);

protected:
    std::string pageAddress() override { return pageAddress_; }
    std::string pageOrigin() override { return pageOrigin_; }
    bool askUser(std::string_view caption, std::string_view text) override;
    void interruptEventDelivery() override { mailbox_.close(); }

private:
    void startPlugin();
    static CardEvent makeEvent(CardEventKind kind, std::string_view reader, std::string_view eventIdentifier);
    std::string logName() const;

    PageConnection& page_;
    // Tells this control's records from those of the host's other controls.
    const std::uint32_t number_;
    StartupInputs inputs_;
    std::string pageAddress_;
    std::string pageOrigin_;
    EventMailbox mailbox_;
};

} // namespace vexa
