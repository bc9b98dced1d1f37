#include "core/device_logs/log_device.hpp"

#include <algorithm>

namespace anvil {

namespace {

LogDevice fromLease(const Lease& lease, IPv4Address source, const Neighbour* neighbour) {
    return {LogDevice::Kind::lease, source, lease.mac, lease.hostname, neighbour ? neighbour->maker : std::string()};
}

LogDevice byAddress(IPv4Address source, std::optional<MACAddress> mac = std::nullopt) {
    return {LogDevice::Kind::address, source, mac, std::nullopt, {}};
}

LogDevice fromNeighbour(const Neighbour& neighbour, IPv4Address source) {
    std::optional<std::string> name;
    if (neighbour.lldp && !neighbour.lldp->systemName.empty()) name = neighbour.lldp->systemName;
    return {LogDevice::Kind::neighbour, source, neighbour.mac, name, neighbour.maker};
}

const Neighbour* withMAC(std::span<const Neighbour> neighbours, const MACAddress& mac) {
    auto found = std::find_if(neighbours.begin(), neighbours.end(), [&](const Neighbour& n) { return n.mac == mac; });
    return found != neighbours.end() ? &*found : nullptr;
}

// Of the neighbours that claimed the address, the one whose claim is newest in its own list,
// and of those the one heard from last.
const Neighbour* claimant(std::span<const Neighbour> neighbours, IPv4Address source) {
    const Neighbour* best = nullptr;
    std::size_t bestAge = 0;
    for (const auto& neighbour : neighbours) {
        auto found = std::find(neighbour.claims.rbegin(), neighbour.claims.rend(), source);
        if (found == neighbour.claims.rend()) continue;
        auto age = static_cast<std::size_t>(found - neighbour.claims.rbegin());
        if (!best || age < bestAge || (age == bestAge && neighbour.lastSeen > best->lastSeen)) best = &neighbour, bestAge = age;
    }
    return best;
}

}  // namespace

bool sourceSaysNothing(IPv4Address source) {
    return source.isLinkLocal() || source == IPv4Address::zero || (source.value >> 28) >= 0xE;
}

LogDevice attributeSender(IPv4Address source, const std::optional<MACAddress>& frameMAC, const LeaseTable& leases,
                          std::span<const Neighbour> neighbours, Date now) {
    if (sourceSaysNothing(source)) {
        if (!frameMAC) return byAddress(source);
        if (auto lease = leases.lease(*frameMAC)) return fromLease(*lease, source, withMAC(neighbours, *frameMAC));
        if (const auto* neighbour = withMAC(neighbours, *frameMAC)) return fromNeighbour(*neighbour, source);
        return byAddress(source, frameMAC);
    }
    if (const auto* lease = leases.holderAt(source, now)) return fromLease(*lease, source, withMAC(neighbours, lease->mac));
    if (const auto* neighbour = claimant(neighbours, source)) return fromNeighbour(*neighbour, source);
    return byAddress(source);
}

}  // namespace anvil
