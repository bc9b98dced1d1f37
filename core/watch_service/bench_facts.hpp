#pragma once
// What this computer uses off the bench card, read in one place for every front end that advises
// on the cable's devices: the networks it reaches through other cards, every local address, and
// every route's next hop, in every routing table.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/subnet.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/host/network_card.hpp"
#include "core/host/route_dump.hpp"

namespace anvil::BenchFacts {

// The facts about the card `card` (kernel index `cardIndex`), claims left empty: other cards'
// networks and the destinations routed through them (default routes aside), every gateway.
CableFacts from(std::string_view card, std::uint32_t cardIndex, std::optional<Subnet> served,
                const std::vector<InterfaceAddress>& addresses, const std::vector<RouteDump::Route>& routes);

// The card's own addresses as its record lists them, and nothing of the rest of the host.
CableFacts ofCard(const NetworkCard& card, std::optional<Subnet> served);

// Host operations, read afresh; what cannot be read is left out.
std::vector<RouteDump::Route> routes();
CableFacts read(std::string_view card, std::optional<Subnet> served);
// The same, with the addresses the card's record lists as well.
CableFacts read(const NetworkCard& card, std::optional<Subnet> served);

}  // namespace anvil::BenchFacts
