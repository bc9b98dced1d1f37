#include <cstdio>

#include "cli/card_line.hpp"
#include "cli/runners.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/host/interfaces.hpp"

namespace anvil {

std::string cardLine(const NetworkCard& card) {
    std::string name = plainText(card.bsdName);
    if (name.size() < 6) name.append(6 - name.size(), ' ');
    std::string link = card.linkUp ? "\u25cf link up " + card.media.value_or("") : "\u25cb no link";
    return name + "  " + plainText(card.displayName) + "  service: " + plainText(card.serviceName.value_or("none")) +
           "  " + (card.mac ? card.mac->description() : "-") + "  " + plainText(link) + "  " + card.addressSummary();
}

int runList() {
    auto cards = Interfaces::offered(Interfaces::list(), true);
    if (cards.empty()) {
        std::printf("No wired network cards found.\n");
        return 0;
    }
    for (const auto& card : cards) std::printf("%s\n", cardLine(card).c_str());
    return 0;
}

}  // namespace anvil
