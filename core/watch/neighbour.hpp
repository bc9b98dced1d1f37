#pragma once
// One device seen on the bench cable by the frames it sent, whether or not it asked us for an address.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

// What a device says of itself in LLDP. Every text is the device's own (hostile, shown escaped);
// empty when the device did not send it.
struct LLDPIdentity {
    std::string chassisID;  // a hardware address as "aa:bb:cc:dd:ee:ff", a network address, or the device's text
    std::string portID;
    std::string systemName;
    std::string systemDescription;
    std::optional<IPv4Address> managementAddress;
    // LLDP-MED inventory.
    std::string hardwareRevision;
    std::string firmwareRevision;
    std::string softwareRevision;
    std::string serialNumber;
    std::string manufacturer;
    std::string model;
    std::string assetID;

    friend bool operator==(const LLDPIdentity&, const LLDPIdentity&) = default;
};

// An address a device asked for with ARP "who-has", and how often.
struct AskedAddress {
    IPv4Address address;
    unsigned count = 0;
    friend bool operator==(const AskedAddress&, const AskedAddress&) = default;
};

struct Neighbour {
    // Each list keeps the newest entries, at most this many.
    static constexpr std::size_t addressCapacity = 8;

    MACAddress mac;
    // Addresses it named as its own (ARP sender, gratuitous ARP), oldest first.
    std::vector<IPv4Address> claims;
    // Addresses it asked who-has for, oldest first.
    std::vector<AskedAddress> asksFor;
    std::optional<LLDPIdentity> lldp;
    // Its last TFTP read request: the file (the device's text) and the address it was sent to.
    std::optional<std::string> tftpFile;
    std::optional<IPv4Address> tftpServer;
    // From the IEEE registry; empty when unknown.
    std::string maker;
    Date firstSeen;
    Date lastSeen;
    // It holds a lease from this server.
    bool holdsLease = false;

    friend bool operator==(const Neighbour&, const Neighbour&) = default;
};

enum class NeighbourChange { seen, changed, gone };

// "seen", "changed", "gone".
std::string_view rawValue(NeighbourChange change);

}  // namespace anvil
