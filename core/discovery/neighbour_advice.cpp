#include "core/discovery/neighbour_advice.hpp"

#include "core/addressing/plain_text.hpp"

namespace anvil {

std::string CardAddress::cidr() const { return address.description() + "/" + std::to_string(prefixLength); }

namespace {

// What the device calls itself, else who made it; empty when neither is known.
std::string deviceName(const Neighbour& neighbour) {
    if (neighbour.lldp) {
        if (!neighbour.lldp->model.empty()) return neighbour.lldp->model;
        if (!neighbour.lldp->systemName.empty()) return neighbour.lldp->systemName;
    }
    return neighbour.maker;
}

}  // namespace

std::string adviceSentence(const NeighbourAdvice& advice, const Neighbour& neighbour) {
    if (advice.kind == NeighbourAdvice::Kind::recoveryLoader)
        return "A device at " + advice.device.description() + " is looking for " +
               advice.cardAddress.address.description() + " (a firmware recovery loader?)";
    auto name = deviceName(neighbour);
    return "A device at " + advice.device.description() + (name.empty() ? "" : " (" + plainText(name) + ")") +
           " is on the cable but doesn't ask for an address.";
}

}  // namespace anvil

namespace anvil {

// PLACEHOLDER: replaced by the advice rules.
std::optional<NeighbourAdvice> adviceFor(const Neighbour&, const CableFacts&) { return std::nullopt; }
std::optional<CardAddress> reachAddressFor(IPv4Address, const CableFacts&) { return std::nullopt; }

}  // namespace anvil
