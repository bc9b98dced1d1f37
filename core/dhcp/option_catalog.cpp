#include "core/dhcp/option_catalog.hpp"

#include <array>
#include <cstdio>

#include "core/addressing/duration.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_message_type.hpp"
#include "core/dhcp/dhcp_packet.hpp"

namespace anvil {

namespace {

// Never cut: an option holds at most 255 bytes, each at most four characters.
constexpr std::size_t wholeText = 4 * 255;

enum class Kind {
    hex,
    address,      // exactly one address
    addresses,    // one or more
    text,
    seconds,      // unsigned 32-bit time
    signedSeconds,
    byte,
    number16,
    numbers16,
    flag,
    messageType,
    parameterList,
    clientID,
    clientFQDN,
    architecture,
    present,      // no data: the option's presence is its meaning
};

struct Entry {
    const char* name = nullptr;
    Kind kind = Kind::hex;
};

struct Known {
    std::uint8_t code;
    Entry entry;
};

// RFC 2132 and the later registrations a bench device is likely to send or ask for.
constexpr Known known[] = {
    {1, {"Subnet Mask", Kind::address}},
    {2, {"Time Offset", Kind::signedSeconds}},
    {3, {"Router", Kind::addresses}},
    {4, {"Time Server", Kind::addresses}},
    {5, {"Name Server", Kind::addresses}},
    {6, {"Domain Name Server", Kind::addresses}},
    {7, {"Log Server", Kind::addresses}},
    {8, {"Cookie Server", Kind::addresses}},
    {9, {"LPR Server", Kind::addresses}},
    {10, {"Impress Server", Kind::addresses}},
    {11, {"Resource Location Server", Kind::addresses}},
    {12, {"Host Name", Kind::text}},
    {13, {"Boot File Size", Kind::number16}},
    {14, {"Merit Dump File", Kind::text}},
    {15, {"Domain Name", Kind::text}},
    {16, {"Swap Server", Kind::address}},
    {17, {"Root Path", Kind::text}},
    {18, {"Extensions Path", Kind::text}},
    {19, {"IP Forwarding", Kind::flag}},
    {20, {"Non-Local Source Routing", Kind::flag}},
    {21, {"Policy Filter", Kind::addresses}},
    {22, {"Maximum Datagram Reassembly Size", Kind::number16}},
    {23, {"Default IP TTL", Kind::byte}},
    {24, {"Path MTU Aging Timeout", Kind::seconds}},
    {25, {"Path MTU Plateau Table", Kind::numbers16}},
    {26, {"Interface MTU", Kind::number16}},
    {27, {"All Subnets Are Local", Kind::flag}},
    {28, {"Broadcast Address", Kind::address}},
    {29, {"Perform Mask Discovery", Kind::flag}},
    {30, {"Mask Supplier", Kind::flag}},
    {31, {"Perform Router Discovery", Kind::flag}},
    {32, {"Router Solicitation Address", Kind::address}},
    {33, {"Static Route", Kind::addresses}},
    {34, {"Trailer Encapsulation", Kind::flag}},
    {35, {"ARP Cache Timeout", Kind::seconds}},
    {36, {"Ethernet Encapsulation", Kind::flag}},
    {37, {"TCP Default TTL", Kind::byte}},
    {38, {"TCP Keepalive Interval", Kind::seconds}},
    {39, {"TCP Keepalive Garbage", Kind::flag}},
    {40, {"NIS Domain", Kind::text}},
    {41, {"NIS Servers", Kind::addresses}},
    {42, {"NTP Servers", Kind::addresses}},
    {43, {"Vendor Specific Information", Kind::hex}},
    {44, {"NetBIOS Name Server", Kind::addresses}},
    {45, {"NetBIOS Datagram Distribution Server", Kind::addresses}},
    {46, {"NetBIOS Node Type", Kind::byte}},
    {47, {"NetBIOS Scope", Kind::text}},
    {48, {"X Window Font Server", Kind::addresses}},
    {49, {"X Window Display Manager", Kind::addresses}},
    {50, {"Requested IP Address", Kind::address}},
    {51, {"IP Address Lease Time", Kind::seconds}},
    {52, {"Option Overload", Kind::byte}},
    {53, {"DHCP Message Type", Kind::messageType}},
    {54, {"Server Identifier", Kind::address}},
    {55, {"Parameter Request List", Kind::parameterList}},
    {56, {"Message", Kind::text}},
    {57, {"Maximum DHCP Message Size", Kind::number16}},
    {58, {"Renewal Time", Kind::seconds}},
    {59, {"Rebinding Time", Kind::seconds}},
    {60, {"Vendor Class Identifier", Kind::text}},
    {61, {"Client Identifier", Kind::clientID}},
    {62, {"NetWare/IP Domain Name", Kind::text}},
    {64, {"NIS+ Domain", Kind::text}},
    {65, {"NIS+ Servers", Kind::addresses}},
    {66, {"TFTP Server Name", Kind::text}},
    {67, {"Bootfile Name", Kind::text}},
    {68, {"Mobile IP Home Agent", Kind::addresses}},
    {69, {"SMTP Server", Kind::addresses}},
    {70, {"POP3 Server", Kind::addresses}},
    {71, {"NNTP Server", Kind::addresses}},
    {72, {"WWW Server", Kind::addresses}},
    {73, {"Finger Server", Kind::addresses}},
    {74, {"IRC Server", Kind::addresses}},
    {75, {"StreetTalk Server", Kind::addresses}},
    {76, {"StreetTalk Directory Assistance Server", Kind::addresses}},
    {77, {"User Class", Kind::text}},
    {80, {"Rapid Commit", Kind::present}},
    {81, {"Client FQDN", Kind::clientFQDN}},
    {82, {"Relay Agent Information", Kind::hex}},
    {85, {"NDS Servers", Kind::addresses}},
    {86, {"NDS Tree Name", Kind::text}},
    {87, {"NDS Context", Kind::text}},
    {90, {"Authentication", Kind::hex}},
    {91, {"Client Last Transaction Time", Kind::seconds}},
    {92, {"Associated IP", Kind::addresses}},
    {93, {"Client System Architecture", Kind::architecture}},
    {94, {"Client Network Interface Identifier", Kind::hex}},
    {97, {"Client Machine Identifier", Kind::hex}},
    {100, {"POSIX Time Zone", Kind::text}},
    {101, {"Time Zone Database Name", Kind::text}},
    {108, {"IPv6-Only Preferred", Kind::seconds}},
    {114, {"Captive Portal", Kind::text}},
    {116, {"Auto-Configure", Kind::flag}},
    {118, {"Subnet Selection", Kind::address}},
    {119, {"Domain Search", Kind::hex}},
    {121, {"Classless Static Route", Kind::hex}},
    {124, {"Vendor-Identifying Vendor Class", Kind::hex}},
    {125, {"Vendor-Identifying Vendor-Specific Information", Kind::hex}},
    {150, {"TFTP Server Address", Kind::addresses}},
    {175, {"Etherboot", Kind::hex}},
    {209, {"PXELINUX Configuration File", Kind::text}},
    {210, {"PXELINUX Path Prefix", Kind::text}},
    {211, {"PXELINUX Reboot Time", Kind::seconds}},
    {249, {"Classless Static Route (Microsoft)", Kind::hex}},
    {252, {"Web Proxy Auto-Discovery", Kind::text}},
};

constexpr std::array<Entry, 256> table = [] {
    std::array<Entry, 256> entries{};
    for (const auto& item : known) entries[item.code] = item.entry;
    return entries;
}();

// RFC 4578 and IANA's processor architecture types.
constexpr const char* architectures[] = {
    "x86 BIOS",
    "NEC/PC98",
    "Itanium",
    "DEC Alpha",
    "Arc x86",
    "Intel Lean Client",
    "x86 UEFI",
    "x64 UEFI",
    "EFI Xscale",
    "EBC",
    "ARM 32-bit UEFI",
    "ARM 64-bit UEFI",
    "PowerPC Open Firmware",
    "PowerPC ePAPR",
    "POWER OPAL v3",
    "x86 UEFI HTTP",
    "x64 UEFI HTTP",
    "EBC HTTP",
    "ARM 32-bit UEFI HTTP",
    "ARM 64-bit UEFI HTTP",
    "x86 BIOS HTTP",
    "ARM 32-bit U-Boot",
    "ARM 64-bit U-Boot",
    "ARM 32-bit U-Boot HTTP",
    "ARM 64-bit U-Boot HTTP",
    "RISC-V 32-bit UEFI",
    "RISC-V 32-bit UEFI HTTP",
    "RISC-V 64-bit UEFI",
    "RISC-V 64-bit UEFI HTTP",
    "RISC-V 128-bit UEFI",
    "RISC-V 128-bit UEFI HTTP",
    "s390 Basic",
    "s390 Extended",
    "MIPS 32-bit UEFI",
    "MIPS 64-bit UEFI",
    "Sunway 32-bit UEFI",
    "Sunway 64-bit UEFI",
    "LoongArch 32-bit UEFI",
    "LoongArch 32-bit UEFI HTTP",
    "LoongArch 64-bit UEFI",
    "LoongArch 64-bit UEFI HTTP",
    "ARM rpiboot",
};

std::string hexPairs(std::span<const std::uint8_t> data, char separator) {
    std::string text;
    for (auto byte : data) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        if (!text.empty() && separator) text += separator;
        text += pair;
    }
    return text;
}

std::uint32_t bigEndian(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (auto byte : data) value = (value << 8) | byte;
    return value;
}

template <typename Piece>
std::string joined(const std::vector<Piece>& pieces) {
    std::string text;
    for (const auto& piece : pieces) text += (text.empty() ? "" : ", ") + std::string(piece);
    return text;
}

std::optional<std::string> addresses(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() % 4 != 0) return std::nullopt;
    std::vector<std::string> pieces;
    for (std::size_t offset = 0; offset < data.size(); offset += 4)
        pieces.push_back(IPv4Address{bigEndian(data.subspan(offset, 4))}.description());
    return joined(pieces);
}

std::optional<std::string> numbers16(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() % 2 != 0) return std::nullopt;
    std::vector<std::string> pieces;
    for (std::size_t offset = 0; offset < data.size(); offset += 2)
        pieces.push_back(std::to_string(bigEndian(data.subspan(offset, 2))));
    return joined(pieces);
}

std::string hardwareTypeName(std::uint8_t type) {
    switch (type) {
        case 0: return "type 0";
        case 1: return "Ethernet";
        case 6: return "IEEE 802";
        case 32: return "InfiniBand";
        case 255: return "IAID and DUID";
        default: return "type " + std::to_string(type);
    }
}

// Type byte and the address after it: "Ethernet 00:1a:2b:3c:4d:5e".
std::optional<std::string> clientID(std::span<const std::uint8_t> data) {
    if (data.size() < 2) return std::nullopt;
    auto rest = data.subspan(1);
    if (data[0] == 1 && rest.size() == 6) return "Ethernet " + MACAddress::fromBytes(rest)->description();
    return hardwareTypeName(data[0]) + " " + hexPairs(rest, ':');
}

// A name in DNS wire form (RFC 1035 labels, no compression); nothing when malformed.
std::optional<std::string> wireName(std::span<const std::uint8_t> data) {
    std::string name;
    std::size_t offset = 0;
    while (offset < data.size()) {
        std::size_t length = data[offset++];
        if (length == 0) return offset == data.size() ? std::optional(name) : std::nullopt;
        if (length > 63 || offset + length > data.size()) return std::nullopt;
        if (!name.empty()) name += '.';
        name += DHCPPacket::printable(data.subspan(offset, length), wholeText);
        offset += length;
    }
    return name;  // a partial name (no root label) is allowed
}

// RFC 4702: flags S, O, E, N; two obsolete RCODE bytes; the name, in wire form when E is set.
std::optional<std::string> clientFQDN(std::span<const std::uint8_t> data) {
    if (data.size() < 3) return std::nullopt;
    std::uint8_t flags = data[0];
    std::string letters;
    for (auto [bit, letter] : {std::pair{0x01, "S"}, {0x02, "O"}, {0x04, "E"}, {0x08, "N"}})
        if (flags & bit) {
            if (!letters.empty()) letters += ',';
            letters += letter;
        }
    auto nameBytes = data.subspan(3);
    std::optional<std::string> name =
        (flags & 0x04) ? wireName(nameBytes) : DHCPPacket::printable(nameBytes, wholeText);
    if (!name) return std::nullopt;
    return "flags " + (letters.empty() ? std::string("none") : letters) + ", name " +
           (name->empty() ? std::string("-") : *name);
}

std::optional<std::string> architectureList(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() % 2 != 0) return std::nullopt;
    std::vector<std::string> pieces;
    for (std::size_t offset = 0; offset < data.size(); offset += 2)
        pieces.push_back(OptionCatalog::architectureName(static_cast<std::uint16_t>(bigEndian(data.subspan(offset, 2)))));
    return joined(pieces);
}

std::optional<std::string> rendered(Kind kind, std::span<const std::uint8_t> data) {
    switch (kind) {
        case Kind::hex: return std::nullopt;
        case Kind::address:
            if (data.size() != 4) return std::nullopt;
            return IPv4Address{bigEndian(data)}.description();
        case Kind::addresses: return addresses(data);
        case Kind::text: return DHCPPacket::printable(data, wholeText);
        case Kind::seconds:
            if (data.size() != 4) return std::nullopt;
            if (bigEndian(data) == 0xFFFFFFFF) return "infinite";
            return formatDuration(bigEndian(data));
        case Kind::signedSeconds: {
            if (data.size() != 4) return std::nullopt;
            auto offset = static_cast<std::int32_t>(bigEndian(data));
            auto magnitude = offset < 0 ? 0u - static_cast<std::uint32_t>(offset) : static_cast<std::uint32_t>(offset);
            std::string text(1, offset < 0 ? '-' : '+');
            return text += formatDuration(magnitude);
        }
        case Kind::byte:
            if (data.size() != 1) return std::nullopt;
            return std::to_string(data[0]);
        case Kind::number16:
            if (data.size() != 2) return std::nullopt;
            return std::to_string(bigEndian(data));
        case Kind::numbers16: return numbers16(data);
        case Kind::flag:
            if (data.size() != 1 || data[0] > 1) return std::nullopt;
            return data[0] ? "on" : "off";
        case Kind::messageType: {
            if (data.size() != 1 || data[0] < 1 || data[0] > 8) return std::nullopt;
            return description(DHCPMessageType(data[0]));
        }
        case Kind::parameterList: return joined(OptionCatalog::names(data));
        case Kind::clientID: return clientID(data);
        case Kind::clientFQDN: return clientFQDN(data);
        case Kind::architecture: return architectureList(data);
        case Kind::present:
            if (!data.empty()) return std::nullopt;
            return "yes";
    }
    return std::nullopt;
}

}  // namespace

std::string OptionCatalog::name(std::uint8_t code) {
    const auto& entry = table[code];
    return entry.name ? entry.name : "Option " + std::to_string(code);
}

std::string OptionCatalog::value(std::uint8_t code, std::span<const std::uint8_t> data) {
    if (auto text = rendered(table[code].kind, data)) return *text;
    return hexPairs(data, ' ');
}

RenderedOption OptionCatalog::render(const DHCPOptionField& field) {
    return {field.code, name(field.code), value(field.code, field.data)};
}

std::vector<std::string> OptionCatalog::names(std::span<const std::uint8_t> codes) {
    std::vector<std::string> list;
    list.reserve(codes.size());
    for (auto code : codes) list.push_back(name(code));
    return list;
}

std::string OptionCatalog::architectureName(std::uint16_t type) {
    if (type < std::size(architectures)) return architectures[type];
    return "architecture " + std::to_string(type);
}

}  // namespace anvil
