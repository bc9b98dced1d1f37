#include "core/discovery/neighbour_book.hpp"

namespace anvil {

// PLACEHOLDER: replaced by the book.
std::optional<NeighbourUpdate> NeighbourBook::observe(const WatchedFrame&, Date, const NeighbourContext&) {
    return std::nullopt;
}
std::optional<NeighbourUpdate> NeighbourBook::leaseChanged(const MACAddress&, bool) { return std::nullopt; }
std::vector<NeighbourUpdate> NeighbourBook::expire(Date) { return {}; }
const Neighbour* NeighbourBook::find(const MACAddress&) const { return nullptr; }
bool NeighbourBook::isClaimed(IPv4Address) const { return false; }

}  // namespace anvil
