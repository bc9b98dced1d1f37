#include "core/host/arp_table.hpp"

#include <cstring>

#include "core/host/netlink_bytes.hpp"

namespace anvil {

ARPEntries ARPTable::parse(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t headerLength = 92, shortestMessage = 100;
    constexpr std::uint8_t inetFamily = 2, linkFamily = 18;
    ARPEntries table;
    std::size_t offset = 0;
    while (bytes.size() - offset >= 2) {
        std::uint16_t length = 0;
        std::memcpy(&length, bytes.data() + offset, sizeof length);
        if (length == 0 || length > bytes.size() - offset) break;
        auto message = bytes.subspan(offset, length);
        offset += length;
        if (message.size() < shortestMessage) continue;
        auto first = message.subspan(headerLength);
        // A record too short to hold an address would have it read from the record after it.
        if (first[1] != inetFamily || first[0] < 8) continue;
        IPv4Address ip(first[4], first[5], first[6], first[7]);
        std::size_t firstLength = first[0] == 0 ? 4 : (first[0] + 3u) / 4u * 4u;
        std::size_t link = headerLength + firstLength;
        if (link + 8 > message.size()) continue;
        if (message[link + 1] != linkFamily || message[link + 6] != 6) continue;
        std::size_t macStart = link + 8 + message[link + 5];
        if (macStart + 6 > message.size()) continue;
        auto mac = MACAddress::fromBytes(message.subspan(macStart, 6));
        if (mac) table.insert_or_assign(ip, *mac);
    }
    return table;
}

ARPEntries ARPTable::parseNeighbours(std::span<const std::uint8_t> bytes) {
    constexpr std::uint16_t newNeighbour = 28;                 // RTM_NEWNEIGH
    constexpr std::uint8_t inetFamily = 2;                     // AF_INET
    constexpr std::uint16_t destination = 1, linkAddress = 2;  // NDA_DST, NDA_LLADDR
    // NUD_REACHABLE, NUD_STALE, NUD_DELAY, NUD_PROBE, NUD_PERMANENT: a neighbour that answered or was set.
    constexpr std::uint16_t usableStates = 0x02 | 0x04 | 0x08 | 0x10 | 0x80;
    constexpr std::size_t neighbourHeaderLength = 12;  // struct ndmsg
    ARPEntries table;
    for (const auto& message : netlink::messages(bytes)) {
        if (message.type != newNeighbour || message.payload.size() < neighbourHeaderLength) continue;
        auto header = message.payload;
        if (header[0] != inetFamily) continue;
        std::uint16_t state = 0;
        std::memcpy(&state, header.data() + 8, sizeof state);
        if ((state & usableStates) == 0) continue;
        std::optional<IPv4Address> ip;
        std::optional<MACAddress> mac;
        for (const auto& attribute : netlink::attributes(header.subspan(neighbourHeaderLength))) {
            if (attribute.type == destination) ip = IPv4Address::fromBytes(attribute.payload);
            if (attribute.type == linkAddress) mac = MACAddress::fromBytes(attribute.payload);
        }
        if (ip && mac) table.insert_or_assign(*ip, *mac);
    }
    return table;
}

}  // namespace anvil
