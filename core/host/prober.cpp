#include "core/host/prober.hpp"

namespace anvil {

Bytes Prober::echoRequest(std::uint16_t identifier, std::uint16_t sequence) {
    Bytes bytes{8, 0, 0, 0};
    for (auto byte : bigEndianBytes(identifier)) bytes.push_back(byte);
    for (auto byte : bigEndianBytes(sequence)) bytes.push_back(byte);
    for (char c : std::string_view("dhcpanvil")) bytes.push_back(static_cast<std::uint8_t>(c));
    auto checksum = internetChecksum(bytes);
    bytes[2] = static_cast<std::uint8_t>(checksum >> 8);
    bytes[3] = static_cast<std::uint8_t>(checksum);
    return bytes;
}

std::uint16_t Prober::internetChecksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) sum += (std::uint32_t{bytes[i]} << 8) | bytes[i + 1];
    if (bytes.size() % 2) sum += std::uint32_t{bytes.back()} << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

bool Prober::isEchoReply(std::span<const std::uint8_t> datagram, IPv4Address source, IPv4Address ip) {
    constexpr std::uint8_t echoReply = 0;
    if (source != ip || datagram.empty()) return false;
    // Raw sockets deliver the IPv4 header, ping sockets do not.
    if ((datagram[0] >> 4) == 4) {
        std::size_t headerLength = std::size_t{datagram[0] & 0x0fu} * 4;
        if (datagram.size() <= headerLength) return false;
        datagram = datagram.subspan(headerLength);
    }
    return datagram[0] == echoReply;
}

}  // namespace anvil
