#include "core/dhcp/option_catalog.hpp"

#include <array>
#include <cstdio>

#include "core/addressing/domain_list.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/option_format.hpp"
#include "core/dhcp/dhcp_message_type.hpp"
#include "core/dhcp/dhcp_packet.hpp"

namespace anvil {

namespace {

// Never cut: an option holds at most 255 bytes, each at most four characters.
constexpr std::size_t wholeText = 4 * 255;

using Kind = OptionFormat;

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
        case Kind::text:
        case Kind::domainName: return DHCPPacket::printable(data, wholeText);
        case Kind::domainList: {
            auto names = decodeDomainList(data);
            if (!names) return std::nullopt;
            return joined(*names);
        }
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
    auto name = optionDescription(code).name;
    return name.empty() ? "Option " + std::to_string(code) : std::string(name);
}

std::string OptionCatalog::value(std::uint8_t code, std::span<const std::uint8_t> data) {
    if (auto text = rendered(optionDescription(code).format, data)) return *text;
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
