#pragma once
// Which address a client is offered: its previous one, the one it asked for, the first free one,
// or one taken back from an offline holder.
#include <concepts>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/server_config.hpp"
#include "core/leases/lease.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

using AddressJudgement = std::function<bool(IPv4Address)>;

// Leases in table order, not yet a table; a table itself is not one.
template <typename Leases>
concept LeaseList = std::convertible_to<const Leases&, std::span<const Lease>>;
inline std::vector<Lease> tableOrder(std::span<const Lease> leases) { return {leases.begin(), leases.end()}; }

// Nothing when the pool is exhausted. A result held by another client means "reclaim it".
// Blocks of addresses held by others are passed over in one step; only when nothing is free is
// each offer and binding looked at.
std::optional<IPv4Address> chooseAddress(const MACAddress& client, std::optional<IPv4Address> requested,
                                         const LeaseTable& table, AddressRange range, const AddressJudgement& isUsable,
                                         const AddressJudgement& holderIsOffline, Date now);
// The same over a plain list of leases in table order, indexed first.
template <LeaseList Leases>
std::optional<IPv4Address> chooseAddress(const MACAddress& client, std::optional<IPv4Address> requested,
                                         const Leases& leases, AddressRange range, const AddressJudgement& isUsable,
                                         const AddressJudgement& holderIsOffline, Date now) {
    return chooseAddress(client, requested, LeaseTable(tableOrder(leases), {}), range, isUsable, holderIsOffline, now);
}

// Usable, and either held by nobody or by this same client.
bool isAvailable(IPv4Address ip, const MACAddress& client, const LeaseTable& table, const AddressJudgement& isUsable,
                 Date now);
template <LeaseList Leases>
bool isAvailable(IPv4Address ip, const MACAddress& client, const Leases& leases, const AddressJudgement& isUsable,
                 Date now) {
    return isAvailable(ip, client, LeaseTable(tableOrder(leases), {}), isUsable, now);
}

}  // namespace anvil
