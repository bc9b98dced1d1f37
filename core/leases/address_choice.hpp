#pragma once
// Which address a client is offered: its previous one, the one it asked for, the first free one,
// or one taken back from an offline holder.
#include <functional>
#include <optional>
#include <span>

#include "core/addressing/date.hpp"
#include "core/addressing/server_config.hpp"
#include "core/leases/lease.hpp"

namespace anvil {

using AddressJudgement = std::function<bool(IPv4Address)>;

// Nothing when the pool is exhausted. A result held by another client means "reclaim it".
std::optional<IPv4Address> chooseAddress(const MACAddress& client, std::optional<IPv4Address> requested,
                                         std::span<const Lease> leases, AddressRange range,
                                         const AddressJudgement& isUsable, const AddressJudgement& holderIsOffline,
                                         Date now);

// Usable, and either held by nobody or by this same client.
bool isAvailable(IPv4Address ip, const MACAddress& client, std::span<const Lease> leases,
                 const AddressJudgement& isUsable, Date now);

}  // namespace anvil
