#include "core/leases/address_blocks.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace anvil {

namespace {

constexpr std::uint64_t fullMask = ~std::uint64_t{0};
constexpr std::uint64_t emptyKey = 0;
constexpr std::uint64_t erasedKey = 1;
constexpr double infinity = std::numeric_limits<double>::infinity();

// A node of `level` covers the addresses that share their bits above this many.
int spanShift(int level) { return 6 * (level + 1); }
std::uint32_t prefixOf(std::uint64_t ip, int level) { return static_cast<std::uint32_t>(ip >> spanShift(level)); }
unsigned childOf(std::uint64_t ip, int level) { return static_cast<unsigned>((ip >> (6 * level)) & 63); }
std::size_t slotHash(std::uint64_t key) { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 29); }

}  // namespace

struct AddressBlocks::Scan {
    const AddressBlocks& blocks;
    std::span<const IPv4Address> own;
    double now;
    const OtherHolderExpiry& otherHolderExpiry;
    const Accepts& accepts;

    struct Result {
        std::optional<IPv4Address> found;
        // Every address walked is held by another client, the earliest until `heldUntil`.
        bool allHeld = true;
        double heldUntil = infinity;
    };

    bool holdsOwn(int level, std::uint32_t prefix) const {
        return std::any_of(own.begin(), own.end(), [&](IPv4Address ip) { return prefixOf(ip.value, level) == prefix; });
    }

    // The addresses from `from` to `to`, all under the node `prefix` of `level`.
    Result walk(int level, std::uint32_t prefix, std::uint64_t from, std::uint64_t to) const {
        Node* node = blocks.find(level, prefix);
        const bool trusted = node && node->heldUntil > now && !holdsOwn(level, prefix);
        const std::uint64_t start = std::uint64_t{prefix} << spanShift(level);
        const std::uint64_t childSize = std::uint64_t{1} << (6 * level);
        Result result;
        for (unsigned child = childOf(from, level); child <= childOf(to, level); ++child) {
            const bool full = node && ((node->mask >> child) & 1);
            if (full && trusted) continue;
            const std::uint64_t childStart = start + child * childSize;
            if (level > 0) {
                auto inner = walk(level - 1, (prefix << 6) | child, std::max(from, childStart),
                                  std::min(to, childStart + childSize - 1));
                if (inner.found) return inner;
                result.allHeld = result.allHeld && inner.allHeld;
                result.heldUntil = std::min(result.heldUntil, inner.heldUntil);
                continue;
            }
            IPv4Address ip{static_cast<std::uint32_t>(childStart)};
            // No offer or binding at all: nobody holds it.
            auto expiry = full ? otherHolderExpiry(ip) : std::nullopt;
            if (expiry) {
                result.heldUntil = std::min(result.heldUntil, *expiry);
                continue;
            }
            if (accepts(ip)) return Result{ip, false, 0};
            result.allHeld = false;
        }
        if (trusted) {
            result.heldUntil = std::min(result.heldUntil, node->heldUntil);
        } else if (node && result.allHeld && from == start && to == start + 64 * childSize - 1) {
            // Walked whole and found held: the next search may skip it until the earliest expiry.
            node->heldUntil = result.heldUntil;
        }
        return result;
    }
};

void AddressBlocks::add(IPv4Address ip, double expiry) {
    bool childBecameFull = true;  // at level 0 the child is the address itself
    double childHeldUntil = expiry;
    for (int level = 0; level < levels; ++level) {
        const std::uint32_t prefix = prefixOf(ip.value, level);
        // A full child that stays full only gained a holder: nothing above it changes.
        if (!childBecameFull) return;
        Node& node = findOrAdd(level, prefix, childHeldUntil);
        node.heldUntil = std::min(node.heldUntil, childHeldUntil);
        const bool wasFull = node.mask == fullMask;
        node.mask |= std::uint64_t{1} << childOf(ip.value, level);
        childBecameFull = !wasFull && node.mask == fullMask;
        childHeldUntil = node.heldUntil;
    }
}

void AddressBlocks::remove(IPv4Address ip, bool lastAtAddress) {
    if (!lastAtAddress) {
        // The address is still held, but perhaps not as long: the bounds above it are forgotten.
        for (int level = 0; level < levels; ++level)
            if (Node* node = find(level, prefixOf(ip.value, level))) node->heldUntil = -infinity;
        return;
    }
    for (int level = 0; level < levels; ++level) {
        Node* node = find(level, prefixOf(ip.value, level));
        if (!node) return;
        const bool wasFull = node->mask == fullMask;
        node->mask &= ~(std::uint64_t{1} << childOf(ip.value, level));
        if (node->mask == 0) erase(*node);
        if (!wasFull) return;
    }
}

std::optional<IPv4Address> AddressBlocks::firstFree(AddressRange range, std::span<const IPv4Address> own, Date now,
                                                    const OtherHolderExpiry& otherHolderExpiry,
                                                    const Accepts& accepts) const {
    if (range.upperBound < range.lowerBound) return std::nullopt;
    Scan scan{*this, own, now.secondsSince1970, otherHolderExpiry, accepts};
    const int top = levels - 1;
    const std::uint64_t lower = range.lowerBound.value, upper = range.upperBound.value;
    for (std::uint32_t prefix = prefixOf(lower, top); prefix <= prefixOf(upper, top); ++prefix) {
        const std::uint64_t start = std::uint64_t{prefix} << spanShift(top);
        const std::uint64_t end = start + (std::uint64_t{1} << spanShift(top)) - 1;
        if (auto result = scan.walk(top, prefix, std::max(lower, start), std::min(upper, end)); result.found)
            return result.found;
    }
    return std::nullopt;
}

AddressBlocks::Node* AddressBlocks::find(int level, std::uint32_t prefix) const {
    if (nodes_.empty()) return nullptr;
    const std::uint64_t key = keyOf(level, prefix);
    const std::size_t mask = nodes_.size() - 1;
    for (std::size_t slot = slotHash(key) & mask; nodes_[slot].key != emptyKey; slot = (slot + 1) & mask)
        if (nodes_[slot].key == key) return &nodes_[slot];
    return nullptr;
}

AddressBlocks::Node& AddressBlocks::findOrAdd(int level, std::uint32_t prefix, double heldUntil) {
    if (Node* node = find(level, prefix)) return *node;
    if ((taken_ + 1) * 4 > nodes_.size() * 3) grow();
    const std::uint64_t key = keyOf(level, prefix);
    const std::size_t mask = nodes_.size() - 1;
    std::size_t slot = slotHash(key) & mask;
    while (nodes_[slot].key != emptyKey && nodes_[slot].key != erasedKey) slot = (slot + 1) & mask;
    if (nodes_[slot].key == emptyKey) ++taken_;
    ++live_;
    nodes_[slot] = Node{key, 0, heldUntil};
    return nodes_[slot];
}

void AddressBlocks::erase(Node& node) {
    node.key = erasedKey;
    --live_;
}

void AddressBlocks::grow() {
    std::size_t size = 16;
    while (size < (live_ + 1) * 2) size *= 2;
    auto old = std::exchange(nodes_, std::vector<Node>(size));
    live_ = taken_ = 0;
    const std::size_t mask = size - 1;
    for (const auto& node : old) {
        if (node.key == emptyKey || node.key == erasedKey) continue;
        std::size_t slot = slotHash(node.key) & mask;
        while (nodes_[slot].key != emptyKey) slot = (slot + 1) & mask;
        nodes_[slot] = node;
        ++live_;
        ++taken_;
    }
}

}  // namespace anvil
