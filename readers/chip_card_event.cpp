#include "readers/chip_card_event.h"

namespace vexa {

void ChipCardEvent::OnCardReady(std::string_view, std::string_view, std::int32_t, std::string_view) {}
void ChipCardEvent::OnCardError(std::string_view, std::string_view) {}
void ChipCardEvent::OnCardRemoved(std::string_view, std::string_view) {}
void ChipCardEvent::OnReaderAdded(std::string_view, std::string_view) {}
void ChipCardEvent::OnReaderRemoved(std::string_view, std::string_view) {}
void ChipCardEvent::OnCardInuse(std::string_view, std::int32_t, std::string_view) {}
void ChipCardEvent::OnCardUnused(std::string_view, std::string_view) {}

void ChipCardEvent::resetEvents() {
    interruptEventDelivery();
}

} // namespace vexa
