#pragma once
// The frames the cable watch passes (ARP, LLDP, and IPv4 UDP to port 69), read field by field from
// hostile bytes: an Ethernet frame as it arrived, without the frame check sequence.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/watch/neighbour.hpp"

namespace anvil {

// The largest frame the watch relays; longer ones arrive cut to this length.
inline constexpr std::size_t largestWatchedFrame = 1518;

struct ARPFrame {
    MACAddress source;  // the Ethernet source
    bool isRequest = false;  // else a reply
    MACAddress senderMAC;
    IPv4Address senderIP;  // 0.0.0.0 in an address probe
    IPv4Address targetIP;

    // A request or reply whose sender names its own address as the target: an announcement.
    bool isGratuitous() const { return senderIP == targetIP; }
    friend bool operator==(const ARPFrame&, const ARPFrame&) = default;
};

struct LLDPFrame {
    MACAddress source;
    LLDPIdentity identity;
    std::uint16_t timeToLive = 0;  // seconds; 0 says the device is leaving
    friend bool operator==(const LLDPFrame&, const LLDPFrame&) = default;
};

// A TFTP read request in an unfragmented IPv4 UDP datagram to port 69.
struct TFTPReadFrame {
    MACAddress source;
    IPv4Address client;
    std::uint16_t clientPort = 0;
    IPv4Address server;
    std::string file;  // the device's text
    std::string mode;
    friend bool operator==(const TFTPReadFrame&, const TFTPReadFrame&) = default;
};

using WatchedFrame = std::variant<ARPFrame, LLDPFrame, TFTPReadFrame>;

// Why a frame was not read; `reason` is a short plain sentence fragment, never the frame's text.
struct FrameParseError {
    std::string reason;
    friend bool operator==(const FrameParseError&, const FrameParseError&) = default;
};

std::variant<WatchedFrame, FrameParseError> parseWatchedFrame(std::span<const std::uint8_t> frame);

}  // namespace anvil
