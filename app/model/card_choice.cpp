// The card choice and its memory.
#include "app/model/card_choice.hpp"

#include "core/host/interfaces.hpp"

namespace anvil {

const NetworkCard* CardChoice::selected() const {
    if (!selectedID_) return nullptr;
    for (const auto& card : cards_)
        if (card.id() == *selectedID_) return &card;
    return nullptr;
}

std::vector<NetworkCard> CardChoice::offered() const { return Interfaces::offered(cards_, showDisconnected_); }

std::optional<MACAddress> CardChoice::remembered() const {
    auto text = context_.env.settings->value(SettingsStore::selectedCardMACKey);
    return text ? MACAddress::parse(*text) : std::nullopt;
}

void CardChoice::scan(std::function<void(std::optional<std::vector<NetworkCard>>)> then) {
    context_.background.withTimeout<std::optional<std::vector<NetworkCard>>>(
        hostQueryTimeout, std::nullopt, [list = context_.env.listCards] { return std::optional(list()); },
        std::move(then));
}

void CardChoice::select(const std::optional<std::string>& cardID) {
    selectedID_ = cardID;
    remember();
}

void CardChoice::choose(const std::optional<std::string>& cardID) {
    selectedID_ = cardID;
    // With nothing remembered yet, the first card found is as good a memory as any.
    if (!remembered()) remember();
}

void CardChoice::pickAgain(bool serving) {
    auto memory = remembered();
    auto current = selectedID_;
    const auto* card = selected();
    if (!serving && memory && card && card->mac != memory) current.reset();
    auto preferred = Interfaces::preferredCardID(cards_, current, memory, serving);
    if (preferred != selectedID_) choose(preferred);
}

void CardChoice::remember() {
    const auto* card = selected();
    if (card && card->mac)
        context_.env.settings->setValue(SettingsStore::selectedCardMACKey, card->mac->description());
    else if (!selectedID_)
        context_.env.settings->remove(SettingsStore::selectedCardMACKey);
}

}  // namespace anvil
