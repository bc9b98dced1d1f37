#pragma once
// rtnetlink messages built byte by byte, as the kernel lays them out (host byte order).
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace anvil::testing {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
void append(Bytes& bytes, T value) {
    auto at = bytes.size();
    bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

inline void padded(Bytes& bytes) {
    while (bytes.size() % 4) bytes.push_back(0);
}

inline Bytes concatenated(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes rtattr(std::uint16_t type, const Bytes& payload) {
    Bytes bytes;
    append(bytes, static_cast<std::uint16_t>(4 + payload.size()));
    append(bytes, type);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    padded(bytes);
    return bytes;
}

inline Bytes u32(std::uint32_t value) {
    Bytes bytes;
    append(bytes, value);
    return bytes;
}

inline Bytes text(std::string_view value) {
    Bytes bytes(value.begin(), value.end());
    bytes.push_back(0);
    return bytes;
}

inline Bytes nlmsg(std::uint16_t type, const Bytes& body) {
    Bytes bytes;
    append(bytes, static_cast<std::uint32_t>(16 + body.size()));
    append(bytes, type);
    append(bytes, std::uint16_t{2});  // NLM_F_MULTI
    append(bytes, std::uint32_t{1});
    append(bytes, std::uint32_t{0});
    bytes.insert(bytes.end(), body.begin(), body.end());
    padded(bytes);
    return bytes;
}

inline Bytes done() { return nlmsg(3, u32(0)); }

// struct rtmsg and its attributes as RTM_NEWROUTE.
inline Bytes routeMessage(std::uint8_t family, std::uint8_t destinationLength, std::uint8_t table, std::uint8_t type,
                          const Bytes& attributes) {
    Bytes body{family, destinationLength, 0, 0, table, 3, 0, type};
    append(body, std::uint32_t{0});
    body.insert(body.end(), attributes.begin(), attributes.end());
    return nlmsg(24, body);
}

// One struct rtnexthop of an RTA_MULTIPATH list.
inline Bytes nexthop(std::int32_t index, const Bytes& attributes) {
    Bytes bytes;
    append(bytes, static_cast<std::uint16_t>(8 + attributes.size()));
    bytes.push_back(0);
    bytes.push_back(0);
    append(bytes, index);
    bytes.insert(bytes.end(), attributes.begin(), attributes.end());
    return bytes;
}

}  // namespace anvil::testing
