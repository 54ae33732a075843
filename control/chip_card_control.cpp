#include "control/chip_card_control.h"

#include <atomic>
#include <cstdint>

#include "support/text.h"

namespace vexa {

namespace {

// Counts the controls of this process from 1.
std::atomic<std::uint32_t> controlsMade{0};

} // namespace

ChipCardControl::ChipCardControl(UserQuestion& question, const PageIdentity& identity)
    : ChipCardPlugin(identity, question), number_(++controlsMade) {
    inputs_.clientText = identity.browser;
    startPlugin();
    log().write(LOG_TRACE, "CTovChipPluginActiveXCtrl::constructor () called for " + logName());
}

ChipCardControl::~ChipCardControl() {
    log().write(LOG_TRACE, "CTovChipPluginActiveXCtrl:destructor () called for " + logName());
    // Stops the event thread while the mailbox it posts to still exists; a
    // pending event dies with the mailbox.
    resetPlugin();
}

void ChipCardControl::startPlugin() {
    mailbox_.open();
    loadConfiguration(inputs_);
}

void ChipCardControl::restartPlugin() {
    startPlugin();
}

// A page reads the log back, so the records name the control by its number,
// never by its address, which would tell the page where the heap lies.
std::string ChipCardControl::logName() const {
    return "control " + unsignedDecimal(number_);
}

CardEvent ChipCardControl::makeEvent(CardEventKind kind, std::string_view reader, std::string_view eventIdentifier) {
    CardEvent event;
    event.kind = kind;
    event.eventReader = reader;
    event.eventIdentifier = eventIdentifier;
    return event;
}

void ChipCardControl::OnCardReady(std::string_view reader, std::string_view atr, std::int32_t protocol,
                                  std::string_view eventIdentifier) {
    CardEvent event = makeEvent(CardEventKind::CardReady, reader, eventIdentifier);
    event.eventAtr = atr;
    event.eventProtocol = protocol;
    mailbox_.post(std::move(event));
}

void ChipCardControl::OnCardError(std::string_view reader, std::string_view eventIdentifier) {
    mailbox_.post(makeEvent(CardEventKind::CardError, reader, eventIdentifier));
}

void ChipCardControl::OnCardRemoved(std::string_view reader, std::string_view eventIdentifier) {
    mailbox_.post(makeEvent(CardEventKind::CardRemoved, reader, eventIdentifier));
}

void ChipCardControl::OnReaderAdded(std::string_view reader, std::string_view eventIdentifier) {
    mailbox_.post(makeEvent(CardEventKind::ReaderAdded, reader, eventIdentifier));
}

void ChipCardControl::OnReaderRemoved(std::string_view reader, std::string_view eventIdentifier) {
    mailbox_.post(makeEvent(CardEventKind::ReaderRemoved, reader, eventIdentifier));
}

void ChipCardControl::OnCardInuse(std::string_view reader, std::int32_t shareMode, std::string_view eventIdentifier) {
    CardEvent event = makeEvent(CardEventKind::CardInuse, reader, eventIdentifier);
    event.eventShareMode = shareMode;
    mailbox_.post(std::move(event));
}

void ChipCardControl::OnCardUnused(std::string_view reader, std::string_view eventIdentifier) {
    mailbox_.post(makeEvent(CardEventKind::CardUnused, reader, eventIdentifier));
}

} // namespace vexa
