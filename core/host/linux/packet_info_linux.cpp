#include "core/host/packet_info.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>

namespace anvil {

namespace {

template <typename Value>
Value readAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
    Value value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

constexpr std::size_t alignedLength(std::size_t length) {
    constexpr std::size_t word = sizeof(std::size_t);
    return (length + word - 1) & ~(word - 1);
}

}  // namespace

std::optional<PacketInfo> readPacketInfo(std::span<const std::uint8_t> control) {
    // Each record: a size_t length, then level and type as ints, then data aligned to size_t.
    // The data of IP_PKTINFO: an int index, then the local address and the destination.
    constexpr std::size_t header = alignedLength(sizeof(std::size_t) + 2 * sizeof(int));
    constexpr std::size_t pktinfoLength = sizeof(int) + 2 * sizeof(std::uint32_t);
    std::size_t offset = 0;
    while (control.size() - offset >= header) {
        auto length = readAt<std::size_t>(control, offset);
        if (length < header || length > control.size() - offset) break;
        auto level = readAt<int>(control, offset + sizeof(std::size_t));
        auto type = readAt<int>(control, offset + sizeof(std::size_t) + sizeof(int));
        if (level == IPPROTO_IP && type == IP_PKTINFO && length >= header + pktinfoLength) {
            auto data = offset + header;
            PacketInfo info;
            info.interfaceIndex = static_cast<std::uint32_t>(readAt<int>(control, data));
            info.localAddress = IPv4Address{ntohl(readAt<std::uint32_t>(control, data + sizeof(int)))};
            info.destination =
                IPv4Address{ntohl(readAt<std::uint32_t>(control, data + sizeof(int) + sizeof(std::uint32_t)))};
            return info;
        }
        auto step = alignedLength(length);
        if (step > control.size() - offset) break;
        offset += step;
    }
    return std::nullopt;
}

}  // namespace anvil
