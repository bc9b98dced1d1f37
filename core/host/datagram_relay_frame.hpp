#pragma once
// The messages dhcpanvil-helper and the programs exchange over their socket pairs while the helper
// holds a card's socket: each starts with a kind byte, numbers are in network byte order. The helper
// includes this file and links nothing of ours, so it uses the standard library alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace anvil::RelayFrame {

enum class Kind : std::uint8_t {
    datagram = 1,    // helper to program: a datagram the card's port received
    frame = 2,       // helper to program: a frame the watched card received
    ended = 3,       // helper to program, last: why the helper let go of the card
    send = 4,        // program to helper: a datagram to send from the card's port
    sendResult = 5,  // helper to program: 0 when sent, else the errno of the send
};

// The largest UDP payload IPv4 carries.
inline constexpr std::size_t largestPayload = 65507;
// An ended message's sentence is cut here, so that it stays one line of a log.
inline constexpr std::size_t longestReason = 512;

// Addresses as host-order numbers (10.0.0.1 is 0x0a000001).
struct DatagramHeader {
    std::uint32_t source = 0;
    std::uint16_t sourcePort = 0;
    std::uint32_t interfaceIndex = 0;  // where it arrived (IP_PKTINFO)
    std::uint32_t localAddress = 0;    // the card's address it arrived for
    std::uint32_t destination = 0;     // the header's destination, a broadcast address for a broadcast
    std::uint32_t droppedBefore = 0;   // datagrams dropped since the last one relayed: the program was not reading
    friend bool operator==(const DatagramHeader&, const DatagramHeader&) = default;
};
inline constexpr std::size_t datagramHeaderLength = 1 + 4 + 2 + 4 + 4 + 4 + 4;

struct SendHeader {
    std::uint32_t destination = 0;
    std::uint16_t port = 0;
    friend bool operator==(const SendHeader&, const SendHeader&) = default;
};
inline constexpr std::size_t sendHeaderLength = 1 + 4 + 2;
inline constexpr std::size_t sendResultLength = 1 + 4;

// What one message says; payloads point into the bytes read.
struct Datagram {
    DatagramHeader header;
    std::span<const std::uint8_t> payload;
};
struct Frame {
    std::span<const std::uint8_t> bytes;
};
struct Ended {
    std::string_view reason;
};
struct Send {
    SendHeader header;
    std::span<const std::uint8_t> payload;
};
struct SendResult {
    int code = 0;
};
using Message = std::variant<Datagram, Frame, Ended, Send, SendResult>;

namespace detail {

template <std::size_t N>
void put(std::array<std::uint8_t, N>& bytes, std::size_t at, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

inline std::uint32_t get(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[at + i];
    return value;
}

}  // namespace detail

// The header that goes before a datagram's payload (sent as two pieces, so the payload is not copied).
inline std::array<std::uint8_t, datagramHeaderLength> datagramHeader(const DatagramHeader& header) {
    std::array<std::uint8_t, datagramHeaderLength> bytes{};
    bytes[0] = static_cast<std::uint8_t>(Kind::datagram);
    detail::put(bytes, 1, header.source, 4);
    detail::put(bytes, 5, header.sourcePort, 2);
    detail::put(bytes, 7, header.interfaceIndex, 4);
    detail::put(bytes, 11, header.localAddress, 4);
    detail::put(bytes, 15, header.destination, 4);
    detail::put(bytes, 19, header.droppedBefore, 4);
    return bytes;
}

inline std::array<std::uint8_t, sendHeaderLength> sendHeader(const SendHeader& header) {
    std::array<std::uint8_t, sendHeaderLength> bytes{};
    bytes[0] = static_cast<std::uint8_t>(Kind::send);
    detail::put(bytes, 1, header.destination, 4);
    detail::put(bytes, 5, header.port, 2);
    return bytes;
}

inline std::array<std::uint8_t, 1> frameHeader() { return {static_cast<std::uint8_t>(Kind::frame)}; }

inline std::array<std::uint8_t, sendResultLength> sendResult(int code) {
    std::array<std::uint8_t, sendResultLength> bytes{};
    bytes[0] = static_cast<std::uint8_t>(Kind::sendResult);
    detail::put(bytes, 1, static_cast<std::uint32_t>(code), 4);
    return bytes;
}

inline std::string ended(std::string_view reason) {
    std::string bytes(1, static_cast<char>(Kind::ended));
    bytes += reason.substr(0, longestReason);
    return bytes;
}

// One whole message, or nothing when it is not one: an unknown kind, a short header, a payload
// longer than UDP carries, a reason that is too long or holds a control character.
inline std::optional<Message> read(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    auto rest = bytes.subspan(1);
    switch (static_cast<Kind>(bytes[0])) {
        case Kind::datagram: {
            if (bytes.size() < datagramHeaderLength || bytes.size() - datagramHeaderLength > largestPayload)
                return std::nullopt;
            DatagramHeader header{detail::get(bytes, 1, 4),  static_cast<std::uint16_t>(detail::get(bytes, 5, 2)),
                                  detail::get(bytes, 7, 4),  detail::get(bytes, 11, 4),
                                  detail::get(bytes, 15, 4), detail::get(bytes, 19, 4)};
            return Datagram{header, bytes.subspan(datagramHeaderLength)};
        }
        case Kind::frame:
            if (rest.size() > largestPayload) return std::nullopt;
            return Frame{rest};
        case Kind::ended:
            if (rest.size() > longestReason) return std::nullopt;
            for (auto byte : rest)
                if (byte < 0x20 || byte == 0x7f) return std::nullopt;
            return Ended{std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size())};
        case Kind::send: {
            if (bytes.size() < sendHeaderLength || bytes.size() - sendHeaderLength > largestPayload)
                return std::nullopt;
            SendHeader header{detail::get(bytes, 1, 4), static_cast<std::uint16_t>(detail::get(bytes, 5, 2))};
            return Send{header, bytes.subspan(sendHeaderLength)};
        }
        case Kind::sendResult:
            if (bytes.size() != sendResultLength) return std::nullopt;
            return SendResult{static_cast<int>(detail::get(bytes, 1, 4))};
    }
    return std::nullopt;
}

}  // namespace anvil::RelayFrame
