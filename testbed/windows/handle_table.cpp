#include "testbed/windows/handle_table.h"

#include <utility>

namespace vexa::winscard {

HandleTable& HandleTable::instance() {
    static HandleTable table;
    return table;
}

std::uintptr_t HandleTable::addContext(std::shared_ptr<StandInContext> context) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t handle = next_++;
    contexts_.emplace(handle, std::move(context));
    return handle;
}

std::shared_ptr<StandInContext> HandleTable::context(std::uintptr_t handle) const {
    std::lock_guard lock(mutex_);
    const auto it = contexts_.find(handle);
    return it == contexts_.end() ? nullptr : it->second;
}

std::shared_ptr<StandInContext> HandleTable::removeContext(std::uintptr_t handle,
                                                           std::vector<std::shared_ptr<StandInCard>>& cards) {
    std::lock_guard lock(mutex_);
    const auto it = contexts_.find(handle);
    if (it == contexts_.end()) return nullptr;
    std::shared_ptr<StandInContext> context = std::move(it->second);
    contexts_.erase(it);
    for (auto card = cards_.begin(); card != cards_.end();) {
        if (card->second.context != handle) {
            ++card;
            continue;
        }
        cards.push_back(std::move(card->second.card));
        card = cards_.erase(card);
    }
    return context;
}

std::uintptr_t HandleTable::addCard(std::uintptr_t context, std::shared_ptr<StandInCard> card) {
    std::lock_guard lock(mutex_);
    if (!contexts_.contains(context)) return 0;
    const std::uintptr_t handle = next_++;
    cards_.emplace(handle, CardEntry{context, std::move(card)});
    return handle;
}

std::shared_ptr<StandInCard> HandleTable::card(std::uintptr_t handle) const {
    std::lock_guard lock(mutex_);
    const auto it = cards_.find(handle);
    return it == cards_.end() ? nullptr : it->second.card;
}

std::shared_ptr<StandInCard> HandleTable::removeCard(std::uintptr_t handle) {
    std::lock_guard lock(mutex_);
    const auto it = cards_.find(handle);
    if (it == cards_.end()) return nullptr;
    std::shared_ptr<StandInCard> card = std::move(it->second.card);
    cards_.erase(it);
    return card;
}

void* HandleTable::allocate(std::size_t n) {
    auto block = std::make_unique<std::uint8_t[]>(n == 0 ? 1 : n);
    void* address = block.get();
    std::lock_guard lock(mutex_);
    blocks_.emplace(address, std::move(block));
    return address;
}

bool HandleTable::free(const void* block) {
    std::lock_guard lock(mutex_);
    return blocks_.erase(block) != 0;
}

} // namespace vexa::winscard
