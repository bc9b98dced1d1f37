#pragma once
// Which network card the app serves on: the host's cards as last listed, the user's choice and
// the card remembered for the next launch, and whether cards without a cable are offered.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/model/model_context.hpp"
#include "core/host/network_card.hpp"

namespace anvil {

class CardChoice {
public:
    // How long a host query may take before the model goes on without its answer.
    static constexpr double hostQueryTimeout = 3.0;

    explicit CardChoice(ModelContext& context) : context_(context) {}

    const std::vector<NetworkCard>& cards() const { return cards_; }
    const std::optional<std::string>& selectedID() const { return selectedID_; }
    const NetworkCard* selected() const;
    std::vector<NetworkCard> offered() const;
    bool showsDisconnected() const { return showDisconnected_; }
    std::optional<MACAddress> remembered() const;

    // Lists the cards off the main thread under the host-query timeout; nothing when it timed out.
    void scan(std::function<void(std::optional<std::vector<NetworkCard>>)> then);
    void take(std::vector<NetworkCard> cards) { cards_ = std::move(cards); }
    // The user's choice: remembered for the next launch.
    void select(const std::optional<std::string>& cardID);
    // An automatic pick, which never replaces the user's card in memory.
    void choose(const std::optional<std::string>& cardID);
    // Picks again from freshly listed cards; a card picked automatically gives way to the user's
    // when that one comes back, and the served card stays.
    void pickAgain(bool serving);
    void setShowDisconnected(bool show) { showDisconnected_ = show; }

private:
    void remember();

    ModelContext& context_;
    std::vector<NetworkCard> cards_;
    std::optional<std::string> selectedID_;
    bool showDisconnected_ = false;
};

}  // namespace anvil
