#include "core/dhcp_service/source_screen.hpp"

#include "core/addressing/own_source.hpp"

namespace anvil {

std::optional<std::string> sourceRefusal(const DatagramSource& source, const SourceRules& rules,
                                         const std::unordered_set<IPv4Address>& ownAddresses) {
    if (source.port != rules.clientPort)
        return "source port " + std::to_string(source.port) + " is not the client port " +
               std::to_string(rules.clientPort);
    // A client without an address yet sends from 0.0.0.0, which no card of this computer holds.
    if (rules.onCard) return ownSourceRefusal(source.address, ownAddresses);
    return std::nullopt;
}

ArrivalCheck checkArrival(std::optional<std::uint32_t> arrivedOn, std::uint32_t cardIndex, const std::string& cardName,
                          const std::function<std::string(std::uint32_t index)>& nameOf) {
    if (!arrivedOn) return {std::nullopt, "arrival interface check unavailable; relying on SO_BINDTODEVICE"};
    if (*arrivedOn != cardIndex) return {"arrived on " + nameOf(*arrivedOn) + " instead of " + cardName, std::nullopt};
    return {};
}

}  // namespace anvil
