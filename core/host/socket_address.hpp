#pragma once
// An IPv4 address and port as the socket calls take them.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

inline sockaddr_in socketAddress(IPv4Address ip, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip.value);
    return address;
}

}  // namespace anvil
