#pragma once
// Walking rtnetlink messages and their attributes in a byte buffer (host byte order).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace anvil::netlink {

struct Message {
    std::uint16_t type = 0;
    std::uint16_t flags = 0;
    std::span<const std::uint8_t> payload;
};

struct Attribute {
    std::uint16_t type = 0;  // without the nested and byte-order bits
    std::span<const std::uint8_t> payload;
};

inline constexpr std::uint16_t messageDone = 3;   // NLMSG_DONE
inline constexpr std::uint16_t messageError = 2;  // NLMSG_ERROR

inline std::size_t aligned(std::size_t length) { return (length + 3u) & ~std::size_t{3}; }

// The messages up to the end, the first malformed one, or a done or error message.
inline std::vector<Message> messages(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t headerLength = 16;
    std::vector<Message> found;
    std::size_t offset = 0;
    while (bytes.size() - offset >= headerLength) {
        std::uint32_t length = 0;
        Message message;
        std::memcpy(&length, bytes.data() + offset, 4);
        std::memcpy(&message.type, bytes.data() + offset + 4, 2);
        std::memcpy(&message.flags, bytes.data() + offset + 6, 2);
        if (length < headerLength || length > bytes.size() - offset) break;
        if (message.type == messageDone || message.type == messageError) break;
        message.payload = bytes.subspan(offset + headerLength, length - headerLength);
        found.push_back(message);
        offset += std::min(aligned(length), bytes.size() - offset);
    }
    return found;
}

inline std::vector<Attribute> attributes(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t headerLength = 4;
    std::vector<Attribute> found;
    std::size_t offset = 0;
    while (bytes.size() - offset >= headerLength) {
        std::uint16_t length = 0;
        Attribute attribute;
        std::memcpy(&length, bytes.data() + offset, 2);
        std::memcpy(&attribute.type, bytes.data() + offset + 2, 2);
        if (length < headerLength || length > bytes.size() - offset) break;
        attribute.type &= 0x3fff;
        attribute.payload = bytes.subspan(offset + headerLength, length - headerLength);
        found.push_back(attribute);
        offset += std::min(aligned(length), bytes.size() - offset);
    }
    return found;
}

}  // namespace anvil::netlink
