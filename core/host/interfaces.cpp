#include "core/host/interfaces.hpp"

#include <algorithm>

#include "core/host/bench_card_rule.hpp"

namespace anvil::Interfaces {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool isCandidate(const NetworkCard& card) {
    return !benchRefusal(card) && !startsWith(card.displayName, "Thunderbolt");
}

void sortForOffer(std::vector<NetworkCard>& cards) {
    std::stable_sort(cards.begin(), cards.end(), [](const NetworkCard& a, const NetworkCard& b) {
        if (a.linkUp != b.linkUp) return a.linkUp;
        return a.displayName < b.displayName;
    });
}

}  // namespace

bool hasServableName(std::string_view bsdName) { return !BenchCardRule::nameProblem(bsdName); }

std::optional<std::string> benchRefusal(const NetworkCard& card) {
    // The kind was made from the link type and the wireless and bridge folders (kindOf).
    BenchCardRule::Card facts;
    facts.name = card.bsdName;
    facts.linkType = card.kind == NetworkCard::Kind::other ? -1 : BenchCardRule::ethernetLinkType;
    facts.wireless = card.kind == NetworkCard::Kind::wifi;
    facts.bridge = card.kind == NetworkCard::Kind::bridge;
    facts.carriesDefaultRoute = card.carriesDefaultRoute;
    facts.stacking = card.stacking;
    return BenchCardRule::refusal(facts);
}

std::vector<NetworkCard> offered(const std::vector<NetworkCard>& cards, bool showDisconnected) {
    std::vector<NetworkCard> kept;
    for (const auto& card : cards)
        if (isCandidate(card) && (card.linkUp || showDisconnected)) kept.push_back(card);
    sortForOffer(kept);
    return kept;
}

std::optional<std::string> preferredCardID(const std::vector<NetworkCard>& cards,
                                           const std::optional<std::string>& current,
                                           const std::optional<MACAddress>& remembered, bool isRunning) {
    if (isRunning) return current;
    auto candidates = offered(cards, true);
    if (current) {
        for (const auto& card : candidates)
            if (card.bsdName == *current) return current;
    }
    if (remembered) {
        for (const auto& card : candidates)
            if (card.mac && *card.mac == *remembered) return card.bsdName;
    }
    for (const auto& card : candidates)
        if (card.linkUp) return card.bsdName;
    return std::nullopt;
}

NetworkCard::Kind kindOf(const std::optional<std::string>& interfaceType) {
    if (!interfaceType) return NetworkCard::Kind::other;
    if (*interfaceType == "Ethernet") return NetworkCard::Kind::ethernet;
    if (*interfaceType == "IEEE80211") return NetworkCard::Kind::wifi;
    if (*interfaceType == "Bridge") return NetworkCard::Kind::bridge;
    return NetworkCard::Kind::other;
}

NetworkCard::Kind kindOf(int hardwareType, bool isWireless, bool isBridge) {
    constexpr int ethernetHardwareType = 1;  // ARPHRD_ETHER
    if (isWireless) return NetworkCard::Kind::wifi;
    if (isBridge) return NetworkCard::Kind::bridge;
    if (hardwareType == ethernetHardwareType) return NetworkCard::Kind::ethernet;
    return NetworkCard::Kind::other;
}

std::optional<std::string> mediaDescription(std::uint32_t activeMediaWord) {
    constexpr std::uint32_t typeMask = 0xe0, ethernetType = 0x20, subtypeMask = 0x000f001f;
    constexpr std::uint32_t fullDuplex = 0x00100000, halfDuplex = 0x00200000;
    if ((activeMediaWord & typeMask) != ethernetType) return std::nullopt;
    std::string text;
    switch (activeMediaWord & subtypeMask) {
        case 3: text = "10baseT"; break;
        case 6: text = "100baseTX"; break;
        case 16: text = "1000baseT"; break;
        case 21: text = "10GBase-T"; break;
        case 22: text = "2500Base-T"; break;
        case 23: text = "5000Base-T"; break;
        default: text = "media " + std::to_string(activeMediaWord & subtypeMask); break;
    }
    if (activeMediaWord & fullDuplex)
        text += " full-duplex";
    else if (activeMediaWord & halfDuplex)
        text += " half-duplex";
    return text;
}

std::optional<std::string> mediaDescription(std::optional<long> speedMbps, std::string_view duplex) {
    if (!speedMbps || *speedMbps <= 0) return std::nullopt;
    std::string text;
    switch (*speedMbps) {
        case 10: text = "10baseT"; break;
        case 100: text = "100baseTX"; break;
        case 1000: text = "1000baseT"; break;
        case 2500: text = "2500Base-T"; break;
        case 5000: text = "5000Base-T"; break;
        case 10000: text = "10GBase-T"; break;
        default: text = "media " + std::to_string(*speedMbps) + "Mb/s"; break;
    }
    if (duplex == "full")
        text += " full-duplex";
    else if (duplex == "half")
        text += " half-duplex";
    return text;
}

NetworkCard::ConfigMethod configMethod(const IPv4Configuration& dictionary) {
    using Method = NetworkCard::ConfigMethod;
    if (!dictionary.configMethod) return Method::none();
    const auto& method = *dictionary.configMethod;
    if (method == "DHCP") return Method::dhcp();
    if (method != "Manual") return Method::other(method);
    if (!dictionary.addresses || !dictionary.subnetMasks || dictionary.addresses->empty() ||
        dictionary.subnetMasks->empty())
        return Method::other("Manual");
    auto ip = IPv4Address::parse(dictionary.addresses->front());
    auto mask = IPv4Address::parse(dictionary.subnetMasks->front());
    if (!ip || !mask) return Method::other("Manual");
    return Method::manual(*ip, *mask);
}

std::vector<NetworkCard> assemble(const std::vector<ListedInterface>& listed,
                                  const std::vector<InterfaceAddress>& addresses, const ServiceMap& services,
                                  const std::optional<std::string>& primary,
                                  const std::function<MediaStatus(const std::string&)>& mediaOf,
                                  const std::vector<std::string>& defaultRouteCards) {
    std::vector<NetworkCard> cards;
    for (const auto& entry : listed) {
        if (!entry.bsdName) continue;
        NetworkCard card;
        card.bsdName = *entry.bsdName;
        card.kind = entry.kind;
        auto media = mediaOf(card.bsdName);
        card.linkUp = media.linkUp;
        card.media = media.linkUp ? media.description : std::nullopt;
        if (auto service = services.find(card.bsdName); service != services.end()) {
            card.serviceName = service->second.serviceName;
            card.configMethod = service->second.method;
            card.serviceID = service->second.serviceID;
        }
        if (entry.hardwareAddress) card.mac = MACAddress::parse(*entry.hardwareAddress);
        card.displayName = entry.displayName.value_or(card.bsdName);
        for (const auto& address : addresses)
            if (address.name == card.bsdName) card.addresses.push_back(address.subnet);
        card.isPrimary = primary && *primary == card.bsdName;
        card.carriesDefaultRoute =
            std::find(defaultRouteCards.begin(), defaultRouteCards.end(), card.bsdName) != defaultRouteCards.end();
        cards.push_back(std::move(card));
    }
    return cards;
}

}  // namespace anvil::Interfaces
