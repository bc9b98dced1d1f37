#pragma once
// Which addresses carry an offer or binding, summarised in nested blocks of 64 so that a run of
// addresses held by others is passed over a block at a time.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/server_config.hpp"

namespace anvil {

class AddressBlocks {
public:
    // The expiry of the lease that holds `ip` at the search's time for another client, or nothing
    // when the address is free for the client searching.
    using OtherHolderExpiry = std::function<std::optional<double>(IPv4Address)>;
    using Accepts = std::function<bool(IPv4Address)>;

    // An offer or binding at `ip`, holding it until `expiry` at the latest.
    void add(IPv4Address ip, double expiry);
    // An offer or binding at `ip` left the summary; `lastAtAddress` when no other is left there.
    void remove(IPv4Address ip, bool lastAtAddress);
    void clear() { nodes_.clear(), live_ = taken_ = 0; }

    // The first address of `range` that is free for the client and that `accepts` takes. `own`
    // are the addresses of the client's own offers and bindings, whose blocks are walked address
    // by address. Blocks wholly held by others are skipped while their bound says so; a block
    // walked and found wholly held learns its new bound, so reads change the summary (one reader
    // at a time, like the table).
    std::optional<IPv4Address> firstFree(AddressRange range, std::span<const IPv4Address> own, Date now,
                                         const OtherHolderExpiry& otherHolderExpiry, const Accepts& accepts) const;

private:
    static constexpr int levels = 5;
    struct Node {
        std::uint64_t key = 0;
        // Level 0: addresses with an offer or binding; above: children whose mask is full.
        std::uint64_t mask = 0;
        // Every address under a full mask bit is held by someone before this time.
        double heldUntil = 0;
    };
    struct Scan;
    static std::uint64_t keyOf(int level, std::uint32_t prefix) {
        return (std::uint64_t{static_cast<std::uint32_t>(level) + 1} << 32) | prefix;
    }
    Node* find(int level, std::uint32_t prefix) const;
    Node& findOrAdd(int level, std::uint32_t prefix, double heldUntil);
    void erase(Node& node);
    void grow();

    // Open addressing; a key of 0 is an empty slot and of 1 an erased one.
    mutable std::vector<Node> nodes_;
    std::size_t live_ = 0;
    std::size_t taken_ = 0;
};

}  // namespace anvil
