#pragma once
// The host's network cards: host queries and the pure logic over their results.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/mac_address.hpp"
#include "core/addressing/subnet.hpp"
#include "core/host/network_card.hpp"

namespace anvil::Interfaces {

struct MediaStatus {
    bool linkUp = false;
    std::optional<std::string> description;

    friend bool operator==(const MediaStatus&, const MediaStatus&) = default;
};

// Host operations: each reads the system afresh; failures give empty or absent values.
std::vector<NetworkCard> list();
std::vector<InterfaceAddress> interfaceAddresses();
std::optional<std::string> bsdName(const MACAddress& forMAC);
MediaStatus mediaStatus(std::string_view bsdName);
std::optional<std::string> primaryInterface();
// The cards with an IPv4 or IPv6 default route.
std::vector<std::string> defaultRouteCards();

// The cards that may be served on, linked first, then by display name: the bench cards, as
// dhcpanvil-helper decides them (core/host/bench_card_rule.hpp).
std::vector<NetworkCard> offered(const std::vector<NetworkCard>& cards, bool showDisconnected);
std::optional<std::string> preferredCardID(const std::vector<NetworkCard>& cards,
                                           const std::optional<std::string>& current,
                                           const std::optional<MACAddress>& remembered, bool isRunning);
// Whether a kernel name is one of the wired names cards are offered under ("en…", and "eth…" on Linux).
bool hasServableName(std::string_view bsdName);
// Why the helper would refuse this card, or nothing when it is a bench card.
std::optional<std::string> benchRefusal(const NetworkCard& card);

// The interface type as SystemConfiguration names it ("Ethernet", "IEEE80211", "Bridge").
NetworkCard::Kind kindOf(const std::optional<std::string>& interfaceType);
// The kind from /sys/class/net: the ARP hardware type and the wireless and bridge subfolders.
NetworkCard::Kind kindOf(int hardwareType, bool isWireless, bool isBridge);

// The text of an active BSD media word; absent unless it is Ethernet.
std::optional<std::string> mediaDescription(std::uint32_t activeMediaWord);
// The text of a Linux link speed in Mb/s and the duplex word; absent when the speed is unknown.
std::optional<std::string> mediaDescription(std::optional<long> speedMbps, std::string_view duplex);

// An IPv4 configuration dictionary of the network settings, as far as the method needs it.
// A list is absent when it is missing or is not a list of texts.
struct IPv4Configuration {
    std::optional<std::string> configMethod;
    std::optional<std::vector<std::string>> addresses;
    std::optional<std::vector<std::string>> subnetMasks;
};
NetworkCard::ConfigMethod configMethod(const IPv4Configuration& dictionary);

struct ServiceConfiguration {
    std::string serviceName;
    NetworkCard::ConfigMethod method;
    std::optional<std::string> serviceID;
};
// Service configurations by kernel interface name.
using ServiceMap = std::map<std::string, ServiceConfiguration, std::less<>>;

// One interface as the system lists it, before it becomes a card.
struct ListedInterface {
    std::optional<std::string> bsdName;
    NetworkCard::Kind kind = NetworkCard::Kind::other;
    std::optional<std::string> hardwareAddress;
    std::optional<std::string> displayName;
};
// Merges what list() gathered into cards, in the listed order.
std::vector<NetworkCard> assemble(const std::vector<ListedInterface>& listed,
                                  const std::vector<InterfaceAddress>& addresses, const ServiceMap& services,
                                  const std::optional<std::string>& primary,
                                  const std::function<MediaStatus(const std::string&)>& mediaOf,
                                  const std::vector<std::string>& defaultRouteCards = {});

}  // namespace anvil::Interfaces
