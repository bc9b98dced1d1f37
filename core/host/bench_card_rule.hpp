#pragma once
// Who and what dhcpanvil-helper serves: users of the group dhcpanvil, and bench cards, the wired
// Ethernet cards that do not carry the computer's own connection. The helper includes this file
// and links nothing of ours, so it stays header-only and uses the standard library alone; the
// card lists of both programs go through the same rule, so they offer exactly what it accepts.
#include <optional>
#include <string>
#include <string_view>

namespace anvil::BenchCardRule {

// The system group whose members may have port 67 of a bench card opened for them.
inline constexpr std::string_view group = "dhcpanvil";

// What a user outside that group is told, by the helper and by both programs.
inline constexpr std::string_view notInGroup =
    "Serving on a card needs membership of the group dhcpanvil, and this user is not in it: run "
    "sudo usermod -aG dhcpanvil \"$USER\", then log out and in again.";

// ARPHRD_ETHER, the kernel's link type of Ethernet cards (/sys/class/net/<name>/type).
inline constexpr int ethernetLinkType = 1;

// A link the card is tied to: its name and its kind ("bridge", "bond", "vlan", "macvlan", ...;
// empty when the kernel names none).
struct Link {
    std::string name;
    std::string kind;

    friend bool operator==(const Link&, const Link&) = default;
};

// How the card sits among the other links, as far as it takes the card off the bench.
struct Stacking {
    std::optional<Link> master;  // the bridge or bond (any master) the card is a port of
    // A link on top of the card (its VLAN, macvlan, ipvlan) that leads to a default route.
    std::optional<Link> routedUpper;
    // The link the card itself is on, when that leads to a default route; `kind` is the card's own.
    std::optional<Link> routedLower;
    // The link that carries that default route, when it is not the upper or lower link itself.
    std::string routeCarrier;

    friend bool operator==(const Stacking&, const Stacking&) = default;
};

// What the rule looks at, all of it read by the caller.
struct Card {
    std::string_view name;
    int linkType = -1;
    bool wireless = false;             // wireless/ or phy80211/ under /sys/class/net/<name>
    bool bridge = false;               // a link of the kind "bridge"
    bool carriesDefaultRoute = false;  // IPv4 or IPv6, in any routing table
    Stacking stacking;
};

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Why a name is not one cards are served under, or nothing. Checked before the name reaches a
// path or a system call.
inline std::optional<std::string> nameProblem(std::string_view name) {
    constexpr std::size_t longestName = 15;  // IFNAMSIZ less the terminator
    if (name.empty()) return "the card name is empty";
    if (name.size() > longestName) return "the card name is longer than 15 bytes";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) return "the card name contains a control character";
        if (c == ' ') return "the card name contains a space";
        if (c == '/') return "the card name contains \"/\"";
    }
    if (name.find("..") != std::string_view::npos) return "the card name contains \"..\"";
    for (unsigned char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return "the card name " + std::string(name) +
                   " contains a character other than a letter, a digit, \"-\" or \"_\"";
#if defined(__APPLE__)
    if (!startsWith(name, "en"))
        return "card " + std::string(name) + " is not offered: only cards named \"en…\" are served";
#else
    if (!startsWith(name, "en") && !startsWith(name, "eth"))
        return "card " + std::string(name) + " is not offered: only cards named \"en…\" or \"eth…\" are served";
#endif
    return std::nullopt;
}

inline std::string kindText(std::string_view kind) {
    if (kind == "vlan") return "VLAN";
    if (kind == "openvswitch") return "Open vSwitch";
    return std::string(kind);
}

// Why the card's place among the links takes it off the bench, or nothing.
inline std::optional<std::string> stackingRefusal(std::string_view cardName, const Stacking& stacking) {
    std::string name(cardName);
    const std::string ownConnection = ": it is part of this computer's own connection, not a bench card";
    auto reached = [&](const Link& link) {
        if (stacking.routeCarrier.empty() || stacking.routeCarrier == link.name)
            return link.name + ", which carries a default route" + ownConnection;
        return link.name + ", and through it " + stacking.routeCarrier + " carries a default route" + ownConnection;
    };
    if (const auto& master = stacking.master) {
        std::string owner = master->kind.empty() ? master->name : "the " + kindText(master->kind) + " " + master->name;
        return "card " + name + " is a port of " + owner + ": what it carries is " + master->name +
               "'s traffic, so it is not a bench card";
    }
    if (const auto& upper = stacking.routedUpper)
        return "card " + name + " is under the " + (upper->kind.empty() ? "link" : kindText(upper->kind)) + " " +
               reached(*upper);
    if (const auto& lower = stacking.routedLower)
        return "card " + name + " is a " + (lower->kind.empty() ? "link" : kindText(lower->kind)) + " on " +
               reached(*lower);
    return std::nullopt;
}

// Why a card is not a bench card, in one line, or nothing when it is one.
inline std::optional<std::string> refusal(const Card& card) {
    if (auto problem = nameProblem(card.name)) return problem;
    std::string name(card.name);
    if (card.wireless) return "card " + name + " is a wireless card, not a wired Ethernet card";
    if (card.bridge) return "card " + name + " is a bridge, not a wired Ethernet card";
    if (card.linkType != ethernetLinkType) return "card " + name + " is not an Ethernet card";
    if (card.carriesDefaultRoute)
        return "card " + name + " carries a default route: it is this computer's own connection, not a bench card";
    return stackingRefusal(card.name, card.stacking);
}

}  // namespace anvil::BenchCardRule
