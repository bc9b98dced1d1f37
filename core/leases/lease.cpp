#include "core/leases/lease.hpp"

namespace anvil {

std::string_view rawValue(Lease::State state) {
    switch (state) {
        case Lease::State::offered: return "offered";
        case Lease::State::bound: return "bound";
        case Lease::State::released: return "released";
        case Lease::State::reclaimed: return "reclaimed";
    }
    return "offered";
}

std::string stateText(const Lease& lease) {
    std::string text(rawValue(lease.state));
    return lease.bootp ? text + " (BOOTP)" : text;
}

std::optional<Lease::State> leaseStateFromRaw(std::string_view text) {
    for (auto state : {Lease::State::offered, Lease::State::bound, Lease::State::released, Lease::State::reclaimed})
        if (rawValue(state) == text) return state;
    return std::nullopt;
}

}  // namespace anvil
