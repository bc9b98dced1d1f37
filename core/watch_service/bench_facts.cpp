#include "core/watch_service/bench_facts.hpp"

#include <net/if.h>

#include <algorithm>
#include <string>

#include "core/host/interfaces.hpp"
#include "core/host/linux/route_dump_linux.hpp"

namespace anvil {

namespace {

IPv4Address ipv4Of(const std::array<std::uint8_t, 16>& bytes) {
    return IPv4Address{bytes[0], bytes[1], bytes[2], bytes[3]};
}

bool leavesBy(const RouteDump::Route& route, std::uint32_t cardIndex) {
    return !route.hops.empty() && std::all_of(route.hops.begin(), route.hops.end(), [&](const RouteDump::Hop& hop) {
        return hop.interfaceIndex == cardIndex;
    });
}

}  // namespace

CableFacts BenchFacts::from(std::string_view card, std::uint32_t cardIndex, std::optional<Subnet> served,
                            const std::vector<InterfaceAddress>& addresses, const std::vector<RouteDump::Route>& routes) {
    CableFacts facts;
    facts.served = served;
    for (const auto& address : addresses) {
        facts.localAddresses.insert(address.subnet.address);
        if (address.name == card)
            facts.cardAddresses.push_back(address.subnet.address);
        else
            facts.otherNetworks.push_back(address.subnet);
    }
    for (const auto& route : routes) {
        if (route.family != RouteDump::familyIPv4) continue;
        for (const auto& hop : route.hops)
            if (hop.gateway) facts.routeGateways.insert(ipv4Of(*hop.gateway));
        // A network reached another way: an address of it on the bench card would win its traffic.
        if (route.type == RouteDump::unicast && route.destinationLength > 0 && route.destinationLength <= 32 &&
            !leavesBy(route, cardIndex))
            facts.otherNetworks.push_back(Subnet{ipv4Of(route.destination), route.destinationLength});
    }
    return facts;
}

CableFacts BenchFacts::ofCard(const NetworkCard& card, std::optional<Subnet> served) {
    std::vector<InterfaceAddress> addresses;
    for (const auto& subnet : card.addresses) addresses.push_back({card.bsdName, subnet});
    return from(card.bsdName, 0, served, addresses, {});
}

std::vector<RouteDump::Route> BenchFacts::routes() { return RouteDump::readAll().value_or(std::vector<RouteDump::Route>{}); }

CableFacts BenchFacts::read(std::string_view card, std::optional<Subnet> served) {
    auto index = ::if_nametoindex(std::string(card).c_str());
    return from(card, index, served, Interfaces::interfaceAddresses(), routes());
}

CableFacts BenchFacts::read(const NetworkCard& card, std::optional<Subnet> served) {
    auto facts = read(card.bsdName, served);
    for (const auto& subnet : card.addresses)
        if (std::find(facts.cardAddresses.begin(), facts.cardAddresses.end(), subnet.address) == facts.cardAddresses.end())
            facts.cardAddresses.push_back(subnet.address);
    return facts;
}

}  // namespace anvil
