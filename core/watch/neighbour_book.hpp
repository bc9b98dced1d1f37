#pragma once
// Every device seen on the cable, by hardware address: a value that frames and leases update and
// time empties. Bounded in the number of devices and in what each may make it keep.
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/watch/neighbour.hpp"
#include "core/watch/watched_frame.hpp"

namespace anvil {

struct NeighbourUpdate {
    NeighbourChange change = NeighbourChange::seen;
    Neighbour neighbour;
    friend bool operator==(const NeighbourUpdate&, const NeighbourUpdate&) = default;
};

// What the book is told besides the frame.
struct NeighbourContext {
    // This computer's own hardware address on the card: its frames are never a neighbour.
    std::optional<MACAddress> ownMAC;
    // Whether a device holds a lease from this server; none when not serving.
    std::function<bool(const MACAddress&)> holdsLease;
    MakerLookup maker;
};

class NeighbourBook {
public:
    static constexpr std::size_t capacity = 256;
    // A device not heard from for this long is gone.
    static constexpr double quietSeconds = 300;

    // Notes a frame; an update when a device is new or what it claims, asks for or says of itself changed.
    // A frame that only refreshes lastSeen updates nothing.
    std::optional<NeighbourUpdate> observe(const WatchedFrame& frame, Date now, const NeighbourContext& context);
    // A device got or lost a lease from us.
    std::optional<NeighbourUpdate> leaseChanged(const MACAddress& mac, bool holdsLease);
    // Devices quiet for quietSeconds, removed and reported gone.
    std::vector<NeighbourUpdate> expire(Date now);

    const Neighbour* find(const MACAddress& mac) const;
    // Whether any device on the cable named `address` as its own.
    bool isClaimed(IPv4Address address) const;
    // Oldest first seen first.
    const std::vector<Neighbour>& neighbours() const { return neighbours_; }

private:
    std::vector<Neighbour> neighbours_;
};

}  // namespace anvil
