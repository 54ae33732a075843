#include "control/chip_card_control.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "control/codepage.h"
#include "support/version.h"
#include "support/text.h"

namespace vexa {

namespace {

// Counts the controls of this process from 1.
std::atomic<std::uint32_t> controlsMade{0};

} // namespace

ChipCardControl::ChipCardControl(PageConnection& page, const PageIdentity& identity)
    : page_(page),
      number_(++controlsMade),
      pageAddress_(narrowPageAddress(identity.url)),
      pageOrigin_(narrowPageAddress(identity.origin)) {
    inputs_.companyDirectory = "MERIDAN";
    inputs_.productText = kProductText;
    inputs_.configurationFile = "vexa_ie.conf";
    inputs_.logFile = "vexa_ie.log";
    inputs_.clientText = identity.browser;
    startPlugin();
    write(LOG_TRACE, "CTovChipPluginActiveXCtrl::constructor () called for " + logName());
}

ChipCardControl::~ChipCardControl() {
    write(LOG_TRACE, "CTovChipPluginActiveXCtrl:destructor () called for " + logName());
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

std::string ChipCardControl::narrowPageAddress(std::string_view utf8) {
    // Every character beyond U+00FF starts with a byte from 0xC4 up; the
    // Windows conversion gave up on the whole address for one of them.
    const bool beyondLatin1 =
        std::any_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xC4; });
    return beyondLatin1 ? std::string() : utf8ToCp1252(utf8);
}

bool ChipCardControl::askUser(std::string_view caption, std::string_view text) {
    return page_.askUser(caption, text);
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
