#pragma once
// What a technician can do about a device that does not ask for an address: reach it from a second
// address on the card, or serve the file its recovery loader is looking for.
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/subnet.hpp"
#include "core/watch/neighbour.hpp"

namespace anvil {

// An address to add to the card, with its prefix length.
struct CardAddress {
    IPv4Address address;
    int prefixLength = 24;
    std::string cidr() const;  // "192.168.1.254/24"
    friend bool operator==(const CardAddress&, const CardAddress&) = default;
};

struct NeighbourAdvice {
    enum class Kind {
        // It names an address outside the served subnet and holds no lease.
        reachIt,
        // It keeps asking for an address nobody on the cable holds (or sent a TFTP request to one).
        recoveryLoader,
    };
    Kind kind = Kind::reachIt;
    IPv4Address device;         // the address it claims
    CardAddress cardAddress;    // what to add: a free address of its network, or the address it looks for
    friend bool operator==(const NeighbourAdvice&, const NeighbourAdvice&) = default;
};

// What the cable and this computer say about the addresses in play. An address the advice gives
// may go on the bench card only: never one this computer already uses elsewhere.
struct CableFacts {
    std::optional<Subnet> served;                     // the subnet this server hands out; none when only watching
    std::vector<IPv4Address> cardAddresses;           // the bench card's own addresses
    std::unordered_set<IPv4Address> claimed;          // every address a device on the cable named as its own
    std::vector<Subnet> otherNetworks = {};               // the networks of this computer's other cards
    std::unordered_set<IPv4Address> localAddresses = {};  // every address of this computer, loopback included
    std::unordered_set<IPv4Address> routeGateways = {};   // every gateway or next hop, in every routing table
};

// Adds what a device claims to the facts' claimed addresses.
void addClaims(CableFacts& facts, const Neighbour& neighbour);

// The facts advice is decided on, for every front end: what this computer uses off the card
// (`host`, claims left empty) with every address the cable's devices claim. `devices` holds
// Neighbours, or pairs whose second is one (a map keyed by hardware address).
template <typename Devices>
CableFacts cableFacts(CableFacts host, const Devices& devices) {
    for (const auto& device : devices) {
        if constexpr (requires { device.second; })
            addClaims(host, device.second);
        else
            addClaims(host, device);
    }
    return host;
}

// Whether `address`, with the network of `prefixLength` it would add, would take over something this
// computer uses off the bench: inside (or around) another card's network, a local address, a gateway.
bool touchesOtherNetworks(IPv4Address address, int prefixLength, const CableFacts& facts);

// Who-has requests for one address before a device counts as looking for it.
inline constexpr unsigned recoveryAskCount = 3;

std::optional<NeighbourAdvice> adviceFor(const Neighbour& neighbour, const CableFacts& facts);

// Candidates looked at for one device before the search gives up, so a crowded cable costs a
// bounded amount per device.
inline constexpr int candidateLimit = 256;

// An address of the device's network nobody claims: .254 of its /24 first, then down; a /16
// link-local address for 169.254.x.x. None when the network is full or the address is not usable,
// when the network touches another card's, or when candidateLimit candidates were all taken.
std::optional<CardAddress> reachAddressFor(IPv4Address device, const CableFacts& facts);

// "A device at 192.168.1.1 (TP-Link) is on the cable but doesn't ask for an address."
// "A device at 192.168.0.86 is looking for 192.168.0.66 (a firmware recovery loader?)"
// The device's name (LLDP model or system name, else maker) is shown escaped.
std::string adviceSentence(const NeighbourAdvice& advice, const Neighbour& neighbour);

}  // namespace anvil
