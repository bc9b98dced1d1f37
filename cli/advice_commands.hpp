#pragma once
// The commands a neighbour notice's action would run, for a terminal that cannot press its button.
#include <cstddef>
#include <functional>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/subnet.hpp"
#include "core/watch/neighbour.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"
#include "core/host/network_card.hpp"

namespace anvil {

struct AdviceCommands {
    NeighbourAdvice advice;
    std::string add;     // as HostSetup builds it for the card, without sudo
    std::string remove;
    friend bool operator==(const AdviceCommands&, const AdviceCommands&) = default;
};

// The neighbours the printed NEIGH events named, newest state of each; a card's cable can grow
// many, so the count is bounded and newcomers past it are not kept.
class KnownNeighbours {
public:
    static constexpr std::size_t capacity = 1024;
    void take(const ServerEvent& event);
    std::vector<Neighbour> all() const;
    const Neighbour* find(const MACAddress& mac) const;

private:
    std::unordered_map<MACAddress, Neighbour> neighbours_;
};

// What this computer uses off the card, as BenchFacts::read gives it.
using HostFacts = std::function<CableFacts(const NetworkCard& card, std::optional<Subnet> served)>;

// Nothing for a notice that names no neighbour, a neighbour not known, or one with no advice.
std::optional<AdviceCommands> adviceCommands(const Notice& notice, const KnownNeighbours& known,
                                             const NetworkCard& card, std::optional<Subnet> served,
                                             const HostFacts& hostFacts);

// The lines printed under the NOTICE line, indented, commands shown with sudo; card text escaped.
std::vector<std::string> adviceLines(const AdviceCommands& commands);

// The notice's JSON line with "addCommand" and "removeCommand" added.
std::string withCommands(const std::string& jsonLine, const AdviceCommands& commands);

// What serve and watch print for each event: its line (or JSON), and under a neighbour notice the
// commands of its action when the card is known.
struct EventPrinting {
    bool json = false;
    std::optional<NetworkCard> card;
    std::optional<Subnet> served;
    KnownNeighbours known;
    // BenchFacts::read when null.
    HostFacts hostFacts;
};
// `line` is the event's text line as the run made it; nothing when it has none.
std::vector<std::string> printedLines(EventPrinting& printing, const ServerEvent& event, Date at,
                                      const std::optional<std::string>& line);

}  // namespace anvil
