#include "core/dhcp/dhcp_packet.hpp"

#include <algorithm>
#include <cstdio>

#include "core/addressing/plain_text.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp/packet_error.hpp"

namespace anvil {

namespace {

constexpr std::size_t chaddrLength = 16;
constexpr std::size_t snameLength = 64;
constexpr std::size_t fileOffset = DHCPPacket::headerLength - DHCPPacket::fileFieldLength;
constexpr std::size_t optionsOffset = DHCPPacket::headerLength + DHCPPacket::magicCookie.size();
constexpr std::size_t hostnameLimit = 64;

// Reads fixed-width numbers in network byte order; the caller has checked the length.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8() { return bytes_[offset_++]; }
    std::uint16_t u16() {
        auto high = u8();
        return static_cast<std::uint16_t>((high << 8) | u8());
    }
    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = (value << 8) | u8();
        return value;
    }
    IPv4Address address() { return IPv4Address{u32()}; }
    Bytes take(std::size_t count) {
        Bytes out(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(offset_ + count));
        offset_ += count;
        return out;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

std::optional<std::string> printableOption(const DHCPPacket& packet, std::uint8_t code) {
    auto data = packet.option(code);
    if (!data) return std::nullopt;
    return DHCPPacket::printable(*data, hostnameLimit);
}

std::optional<IPv4Address> addressOption(const DHCPPacket& packet, std::uint8_t code) {
    auto data = packet.option(code);
    if (!data) return std::nullopt;
    return IPv4Address::fromBytes(*data);
}

}  // namespace

DHCPPacket DHCPPacket::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < optionsOffset) throw PacketError::tooShort(bytes.size());

    DHCPPacket packet;
    Reader reader(bytes);
    packet.op = reader.u8();
    packet.htype = reader.u8();
    packet.hlen = reader.u8();
    packet.hops = reader.u8();
    packet.xid = reader.u32();
    packet.secs = reader.u16();
    packet.flags = reader.u16();
    packet.ciaddr = reader.address();
    packet.yiaddr = reader.address();
    packet.siaddr = reader.address();
    packet.giaddr = reader.address();
    // The whole field is kept whatever hlen claims; mac() decides what to trust.
    packet.chaddr = reader.take(chaddrLength);

    if (!std::equal(magicCookie.begin(), magicCookie.end(), bytes.begin() + headerLength)) {
        throw PacketError::badMagicCookie();
    }

    // sname and file are never searched for options: the server never needs the extra room.
    std::size_t offset = optionsOffset;
    while (offset < bytes.size()) {
        std::uint8_t code = bytes[offset];
        if (code == OptionCode::pad) {
            ++offset;
            continue;
        }
        if (code == OptionCode::end) break;
        if (offset + 1 >= bytes.size()) throw PacketError::optionOverrun(code);
        std::size_t length = bytes[offset + 1];
        std::size_t dataStart = offset + 2;
        if (dataStart + length > bytes.size()) throw PacketError::optionOverrun(code);
        auto data = bytes.subspan(dataStart, length);
        packet.options.push_back({code, Bytes(data.begin(), data.end())});
        offset = dataStart + length;
    }
    // Option 52 value 1 or 3 says the file field holds options, so it names no file.
    auto overload = packet.option(OptionCode::overload);
    bool fileHoldsOptions = overload && overload->size() == 1 && ((*overload)[0] & 1);
    if (!fileHoldsOptions) {
        auto field = bytes.subspan(fileOffset, fileFieldLength);
        // A name is a NUL-terminated string; a field without the NUL holds no name.
        auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
        if (end != field.end()) packet.file.assign(field.begin(), end);
    }
    return packet;
}

Bytes DHCPPacket::serialize(std::size_t minimumLength) const {
    Bytes out;
    out.reserve(std::max(minimumLength, optionsOffset + 1));
    out.push_back(op);
    out.push_back(htype);
    out.push_back(hlen);
    out.push_back(hops);
    append(out, bigEndianBytes(xid));
    append(out, bigEndianBytes(secs));
    append(out, bigEndianBytes(flags));
    for (auto address : {ciaddr, yiaddr, siaddr, giaddr}) append(out, bigEndianBytes(address.value));
    for (std::size_t i = 0; i < chaddrLength; ++i) out.push_back(i < chaddr.size() ? chaddr[i] : 0);
    out.insert(out.end(), snameLength, 0);
    auto fileStart = out.size();
    out.insert(out.end(), fileFieldLength, 0);
    if (file.size() < fileFieldLength) std::copy(file.begin(), file.end(), out.begin() + static_cast<std::ptrdiff_t>(fileStart));
    out.insert(out.end(), magicCookie.begin(), magicCookie.end());
    for (const auto& field : options) {
        // The length byte cannot say more than 255; longer data is cut so the framing stays sound.
        auto length = std::min(field.data.size(), maximumOptionLength);
        out.push_back(field.code);
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), field.data.begin(), field.data.begin() + static_cast<std::ptrdiff_t>(length));
    }
    out.push_back(OptionCode::end);
    if (out.size() < minimumLength) out.resize(minimumLength, 0);
    return out;
}

std::size_t DHCPPacket::encodedLength() const {
    std::size_t length = optionsOffset + 1;
    for (const auto& field : options) length += 2 + std::min(field.data.size(), maximumOptionLength);
    return length;
}

std::optional<Bytes> DHCPPacket::option(std::uint8_t code) const {
    auto found = std::find_if(options.begin(), options.end(), [code](const auto& field) { return field.code == code; });
    if (found == options.end()) return std::nullopt;
    return found->data;
}

void DHCPPacket::setOption(std::uint8_t code, Bytes data) {
    if (data.size() > maximumOptionLength) data.resize(maximumOptionLength);
    auto found = std::find_if(options.begin(), options.end(), [code](const auto& field) { return field.code == code; });
    if (found != options.end()) {
        found->data = std::move(data);
    } else {
        options.push_back({code, std::move(data)});
    }
}

std::string DHCPPacket::printable(std::span<const std::uint8_t> bytes, std::size_t limit) {
    std::string text;
    for (auto byte : bytes) {
        std::string piece;
        if (byte >= 0x20 && byte <= 0x7E)
            piece = static_cast<char>(byte);
        else
            appendEscapedByte(piece, byte);
        if (text.size() + piece.size() > limit) break;
        text += piece;
    }
    return text;
}

std::optional<DHCPMessageType> DHCPPacket::messageType() const {
    auto data = option(OptionCode::messageType);
    if (!data || data->size() != 1) return std::nullopt;
    return messageTypeFromRaw((*data)[0]);
}

std::optional<MACAddress> DHCPPacket::mac() const {
    if (hlen != 6 || chaddr.size() < 6) return std::nullopt;
    return MACAddress::fromBytes(std::span(chaddr).first(6));
}

std::optional<std::string> DHCPPacket::hostname() const { return printableOption(*this, OptionCode::hostname); }

std::optional<std::string> DHCPPacket::vendorClass() const { return printableOption(*this, OptionCode::vendorClass); }

std::optional<std::string> DHCPPacket::clientID() const {
    auto data = option(OptionCode::clientID);
    if (!data) return std::nullopt;
    std::string text;
    for (std::size_t i = 0; i < data->size(); ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", (*data)[i]);
        if (i > 0) text += ':';
        text += pair;
    }
    return text;
}

std::optional<IPv4Address> DHCPPacket::requestedIP() const { return addressOption(*this, OptionCode::requestedIP); }

std::optional<IPv4Address> DHCPPacket::serverID() const { return addressOption(*this, OptionCode::serverID); }

}  // namespace anvil
