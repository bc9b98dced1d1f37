#include "core/watch/neighbour_advice.hpp"

#include <algorithm>

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

void addClaims(CableFacts& facts, const Neighbour& neighbour) {
    facts.claimed.insert(neighbour.claims.begin(), neighbour.claims.end());
}

bool touchesOtherNetworks(IPv4Address address, int prefixLength, const CableFacts& facts) {
    if (facts.localAddresses.count(address) || facts.routeGateways.count(address)) return true;
    auto added = Subnet{address, prefixLength};
    for (const auto& other : facts.otherNetworks)
        if (other.contains(address) || added.contains(other.network())) return true;
    return false;
}

namespace {

bool contains(const std::vector<IPv4Address>& list, IPv4Address address) {
    return std::find(list.begin(), list.end(), address) != list.end();
}

// An address a device can have on a cable: not 0/8, loopback, multicast, reserved or broadcast.
bool isUnicast(IPv4Address address) {
    auto first = address.value >> 24;
    return first != 0 && first != 127 && first < 224;
}

CardAddress looksFor(IPv4Address address) { return {address, address.isLinkLocal() ? 16 : 24}; }

// An address a recovery loader looks for that we could take: nobody holds it, and it is no address
// of the networks this computer reaches through its other cards.
bool isFree(IPv4Address address, const CableFacts& facts) {
    auto wanted = looksFor(address);
    return isUnicast(address) && !contains(facts.cardAddresses, address) && !facts.claimed.count(address) &&
           !touchesOtherNetworks(address, wanted.prefixLength, facts);
}

std::optional<IPv4Address> recoveryTarget(const Neighbour& neighbour, const CableFacts& facts) {
    if (neighbour.tftpServer && isFree(*neighbour.tftpServer, facts)) return neighbour.tftpServer;
    for (auto ask = neighbour.asksFor.rbegin(); ask != neighbour.asksFor.rend(); ++ask)
        if (ask->count >= recoveryAskCount && isFree(ask->address, facts)) return ask->address;
    return std::nullopt;
}

// `budget` is the number of candidates still to be looked at, shared by all of a device's claims.
std::optional<CardAddress> reachAddressWithin(IPv4Address device, const CableFacts& facts, int& budget) {
    if (!isUnicast(device)) return std::nullopt;
    int prefixLength = device.isLinkLocal() ? 16 : 24;
    auto network = Subnet{device, prefixLength};
    for (auto card : facts.cardAddresses)
        if (network.contains(card)) return std::nullopt;
    if (touchesOtherNetworks(network.network(), prefixLength, facts)) return std::nullopt;
    auto taken = [&](IPv4Address candidate) {
        return candidate == device || facts.claimed.count(candidate) || contains(facts.cardAddresses, candidate) ||
               facts.localAddresses.count(candidate) || facts.routeGateways.count(candidate);
    };
    auto base = network.network().value;
    // RFC 3927 2.1: link-local hosts use 169.254.1.0 to 169.254.254.255; .0 and .255 of each are left alone.
    std::uint32_t highest = prefixLength == 16 ? 254 : 0, lowest = prefixLength == 16 ? 1 : 0;
    for (std::uint32_t high = highest; high >= lowest && high <= highest; --high)
        for (std::uint32_t low = 254; low >= 1; --low) {
            if (budget-- <= 0) return std::nullopt;
            IPv4Address candidate{base | (high << 8) | low};
            if (!taken(candidate)) return CardAddress{candidate, prefixLength};
        }
    return std::nullopt;
}

}  // namespace

std::optional<NeighbourAdvice> adviceFor(const Neighbour& neighbour, const CableFacts& facts) {
    if (neighbour.holdsLease || neighbour.claims.empty()) return std::nullopt;
    auto device = neighbour.claims.back();
    if (auto target = recoveryTarget(neighbour, facts))
        return NeighbourAdvice{NeighbourAdvice::Kind::recoveryLoader, device, looksFor(*target)};
    int budget = candidateLimit;
    for (auto claim = neighbour.claims.rbegin(); claim != neighbour.claims.rend(); ++claim) {
        if (facts.served && facts.served->contains(*claim)) continue;
        if (contains(facts.cardAddresses, *claim)) continue;
        if (auto address = reachAddressWithin(*claim, facts, budget))
            return NeighbourAdvice{NeighbourAdvice::Kind::reachIt, *claim, *address};
    }
    return std::nullopt;
}

// None as well when the card already has an address in the device's network: it is reachable as it is,
// so there is nothing to add.
std::optional<CardAddress> reachAddressFor(IPv4Address device, const CableFacts& facts) {
    int budget = candidateLimit;
    return reachAddressWithin(device, facts, budget);
}

}  // namespace anvil
