#include "core/leases/address_choice.hpp"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

namespace anvil {

namespace {

const Lease* holderOf(IPv4Address ip, std::span<const Lease> leases, Date now) {
    for (const auto& lease : leases)
        if (lease.ip == ip && lease.holdsAddress(now)) return &lease;
    return nullptr;
}

bool isFreeFor(IPv4Address ip, const MACAddress& client, std::span<const Lease> leases, Date now) {
    const Lease* holder = holderOf(ip, leases, now);
    return holder == nullptr || holder->mac == client;
}

// Addresses in the range whose holder (the first holding lease in table order) is another
// client, ascending. Built once so the walk costs one step per address instead of a table scan.
std::vector<std::uint32_t> addressesHeldByOthers(const MACAddress& client, std::span<const Lease> leases,
                                                 AddressRange range, Date now) {
    struct Holding {
        std::uint32_t ip;
        std::size_t position;
        bool isOthers;
    };
    std::vector<Holding> holdings;
    holdings.reserve(leases.size());
    for (std::size_t position = 0; position < leases.size(); ++position) {
        const auto& lease = leases[position];
        if (lease.holdsAddress(now) && range.contains(lease.ip))
            holdings.push_back({lease.ip.value, position, lease.mac != client});
    }
    std::sort(holdings.begin(), holdings.end(), [](const Holding& left, const Holding& right) {
        return std::tie(left.ip, left.position) < std::tie(right.ip, right.position);
    });
    std::vector<std::uint32_t> blocked;
    blocked.reserve(holdings.size());
    for (std::size_t index = 0; index < holdings.size(); ++index) {
        bool firstForAddress = index == 0 || holdings[index - 1].ip != holdings[index].ip;
        if (firstForAddress && holdings[index].isOthers) blocked.push_back(holdings[index].ip);
    }
    return blocked;
}

std::optional<IPv4Address> firstFreeAddress(const MACAddress& client, std::span<const Lease> leases, AddressRange range,
                                            const AddressJudgement& isUsable, Date now) {
    if (range.upperBound < range.lowerBound) return std::nullopt;
    auto blocked = addressesHeldByOthers(client, leases, range, now);
    auto next = blocked.begin();
    // 64-bit counter: a range ending at 255.255.255.255 must not wrap around.
    for (std::uint64_t value = range.lowerBound.value; value <= range.upperBound.value; ++value) {
        while (next != blocked.end() && *next < value) ++next;
        if (next != blocked.end() && *next == value) continue;
        IPv4Address candidate{static_cast<std::uint32_t>(value)};
        if (isUsable(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<IPv4Address> reclaimableAddress(const MACAddress& client, std::span<const Lease> leases,
                                              const AddressJudgement& isUsable, const AddressJudgement& holderIsOffline,
                                              Date now) {
    const Lease* oldest = nullptr;
    for (const auto& lease : leases) {
        if (lease.mac == client || !lease.holdsAddress(now)) continue;
        if (!isUsable(lease.ip) || !holderIsOffline(lease.ip)) continue;
        // Strictly older, or as old at a lower address; a full tie keeps the earlier lease.
        if (oldest == nullptr || lease.lastSeen < oldest->lastSeen ||
            (lease.lastSeen == oldest->lastSeen && lease.ip < oldest->ip))
            oldest = &lease;
    }
    if (oldest == nullptr) return std::nullopt;
    return oldest->ip;
}

}  // namespace

std::optional<IPv4Address> chooseAddress(const MACAddress& client, std::optional<IPv4Address> requested,
                                         std::span<const Lease> leases, AddressRange range,
                                         const AddressJudgement& isUsable, const AddressJudgement& holderIsOffline,
                                         Date now) {
    auto previous = std::find_if(leases.begin(), leases.end(), [&](const Lease& lease) { return lease.mac == client; });
    if (previous != leases.end() && isUsable(previous->ip) && isFreeFor(previous->ip, client, leases, now))
        return previous->ip;
    if (requested && isUsable(*requested) && isFreeFor(*requested, client, leases, now)) return requested;
    if (auto free = firstFreeAddress(client, leases, range, isUsable, now)) return free;
    return reclaimableAddress(client, leases, isUsable, holderIsOffline, now);
}

bool isAvailable(IPv4Address ip, const MACAddress& client, std::span<const Lease> leases,
                 const AddressJudgement& isUsable, Date now) {
    return isUsable(ip) && isFreeFor(ip, client, leases, now);
}

}  // namespace anvil
