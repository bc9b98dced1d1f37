#include "core/host/linux/host_values.hpp"

#include <cctype>
#include <charconv>
#include <cstring>

#include "core/addressing/subnet.hpp"
#include "core/addressing/text_pieces.hpp"
#include "core/host/netlink_bytes.hpp"

namespace anvil {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        auto start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) found.push_back(line.substr(start, i - start));
    }
    return found;
}

template <typename T>
std::optional<T> number(std::string_view text, int base) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The text with its ends trimmed and its control characters dropped: a card's name for one line.
std::string oneLine(std::string_view text) {
    std::string line;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) line += c;
    auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return line.substr(first, line.find_last_not_of(' ') - first + 1);
}

// udev's encoding of a device's own strings: "\xHH" for a byte that is unsafe in its database.
std::string decodeUdev(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            if (auto byte = number<unsigned>(text.substr(i + 2, 2), 16)) {
                decoded += static_cast<char>(*byte);
                i += 3;
                continue;
            }
        }
        decoded += text[i];
    }
    return decoded;
}

}  // namespace

std::optional<std::string> LinuxHost::primaryInterface(std::string_view procNetRoute) {
    constexpr unsigned routeUp = 0x1;  // RTF_UP
    std::optional<std::string> best;
    long bestMetric = 0;
    bool header = true;
    for (auto line : splitText(procNetRoute, '\n', EmptyPieces::drop)) {
        if (header) {
            header = false;
            continue;
        }
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        auto parts = words(line);
        if (parts.size() < 8) continue;
        auto destination = number<std::uint32_t>(parts[1], 16);
        auto flags = number<unsigned>(parts[3], 16);
        auto metric = number<long>(parts[6], 10);
        auto mask = number<std::uint32_t>(parts[7], 16);
        if (!destination || !flags || !metric || !mask) continue;
        if (*destination != 0 || *mask != 0 || !(*flags & routeUp)) continue;
        if (!best || *metric < bestMetric) {
            best = std::string(parts[0]);
            bestMetric = *metric;
        }
    }
    return best;
}

std::optional<std::string> LinuxHost::displayName(std::string_view udevData) {
    std::string vendor, model, ownModel;
    for (auto line : splitText(udevData, '\n', EmptyPieces::drop)) {
        constexpr std::string_view vendorKey = "E:ID_VENDOR_FROM_DATABASE=", modelKey = "E:ID_MODEL_FROM_DATABASE=",
                                   ownModelKey = "E:ID_MODEL_ENC=";
        if (line.substr(0, vendorKey.size()) == vendorKey) vendor = oneLine(line.substr(vendorKey.size()));
        if (line.substr(0, modelKey.size()) == modelKey) model = oneLine(line.substr(modelKey.size()));
        if (line.substr(0, ownModelKey.size()) == ownModelKey)
            ownModel = oneLine(decodeUdev(line.substr(ownModelKey.size())));
    }
    if (vendor.empty() && model.empty()) return ownModel.empty() ? std::nullopt : std::optional(ownModel);
    if (vendor.empty()) return model;
    if (model.empty()) return vendor;
    return vendor + " " + model;
}

std::optional<std::string> LinuxHost::usbProductName(std::string_view product) {
    auto line = oneLine(product.substr(0, product.find('\n')));
    if (line.empty()) return std::nullopt;
    return line;
}

std::vector<LinuxHost::KernelAddress> LinuxHost::parseAddresses(std::span<const std::uint8_t> dump) {
    constexpr std::uint16_t newAddress = 20;  // RTM_NEWADDR
    constexpr std::uint8_t inetFamily = 2;
    constexpr std::uint16_t localAttribute = 2, addressAttribute = 1,
                            flagsAttribute = 8;    // IFA_LOCAL, IFA_ADDRESS, IFA_FLAGS
    constexpr std::uint32_t permanentFlag = 0x80;  // IFA_F_PERMANENT
    constexpr std::size_t headerLength = 8;        // struct ifaddrmsg
    std::vector<KernelAddress> found;
    for (const auto& message : netlink::messages(dump)) {
        if (message.type != newAddress || message.payload.size() < headerLength) continue;
        auto header = message.payload;
        if (header[0] != inetFamily || header[1] > 32) continue;
        KernelAddress entry;
        entry.prefixLength = header[1];
        std::uint32_t flags = header[2];
        std::memcpy(&entry.interfaceIndex, header.data() + 4, 4);
        std::optional<IPv4Address> local, address;
        for (const auto& attribute : netlink::attributes(header.subspan(headerLength))) {
            if (attribute.type == localAttribute) local = IPv4Address::fromBytes(attribute.payload);
            if (attribute.type == addressAttribute) address = IPv4Address::fromBytes(attribute.payload);
            // The 32-bit flags supersede the 8-bit ones in the header.
            if (attribute.type == flagsAttribute && attribute.payload.size() == 4)
                std::memcpy(&flags, attribute.payload.data(), 4);
        }
        // On point-to-point links IFA_ADDRESS is the peer; IFA_LOCAL is always our own.
        auto own = local ? local : address;
        if (!own) continue;
        entry.address = *own;
        entry.isPermanent = (flags & permanentFlag) != 0;
        found.push_back(entry);
    }
    return found;
}

NetworkCard::ConfigMethod LinuxHost::configMethod(const std::vector<KernelAddress>& addresses,
                                                  std::optional<IPv4Address> preferred) {
    const KernelAddress* chosen = nullptr;
    for (const auto& entry : addresses) {
        if (!entry.isPermanent) continue;
        if (!chosen || (preferred && entry.address == *preferred && chosen->address != *preferred)) chosen = &entry;
    }
    if (chosen) return NetworkCard::ConfigMethod::manual(chosen->address, Subnet::maskOf(chosen->prefixLength));
    if (!addresses.empty()) return NetworkCard::ConfigMethod::dhcp();
    return NetworkCard::ConfigMethod::none();
}

std::vector<std::string> LinuxHost::nmcliFields(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            fields.back() += line[++i];
        } else if (line[i] == ':') {
            fields.emplace_back();
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

std::vector<LinuxHost::NMDevice> LinuxHost::nmcliDevices(std::string_view text) {
    std::vector<NMDevice> devices;
    for (auto line : splitText(text, '\n', EmptyPieces::drop)) {
        auto fields = nmcliFields(line);
        if (fields.size() != 3 || fields[0].empty()) continue;
        devices.push_back({fields[0], fields[1], fields[2] == "--" ? "" : fields[2]});
    }
    return devices;
}

std::vector<LinuxHost::NMProfile> LinuxHost::nmcliProfiles(std::string_view text) {
    std::vector<NMProfile> profiles;
    for (auto line : splitText(text, '\n', EmptyPieces::drop)) {
        auto fields = nmcliFields(line);
        if (fields.size() != 7 || fields[1].empty()) continue;
        NMProfile profile;
        profile.name = fields[0];
        profile.uuid = fields[1];
        profile.type = fields[2];
        profile.autoconnect = fields[3] == "yes";
        profile.priority = number<long>(fields[4], 10).value_or(0);
        profile.timestamp = number<long long>(fields[5], 10).value_or(0);
        profile.activeDevice = fields[6] == "--" ? "" : fields[6];
        profiles.push_back(std::move(profile));
    }
    return profiles;
}

std::map<std::string, std::string, std::less<>> LinuxHost::nmcliSettings(std::string_view text) {
    std::map<std::string, std::string, std::less<>> settings;
    for (auto line : splitText(text, '\n', EmptyPieces::drop)) {
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        auto value = line.substr(colon + 1);
        settings[std::string(line.substr(0, colon))] = value == "--" ? "" : std::string(value);
    }
    return settings;
}

const LinuxHost::NMProfile* LinuxHost::serviceProfile(const NMDevice& device, std::string_view deviceMAC,
                                                      const std::vector<NMProfile>& profiles) {
    if (!device.isManaged()) return nullptr;
    auto sameMAC = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
                return false;
        return true;
    };
    const NMProfile* best = nullptr;
    for (const auto& profile : profiles) {
        if (!device.activeUUID.empty()) {
            if (profile.uuid == device.activeUUID) return &profile;
            continue;
        }
        if (profile.type != "802-3-ethernet" || !profile.autoconnect) continue;
        if (!profile.activeDevice.empty() && profile.activeDevice != device.name) continue;
        if (!profile.interfaceName.empty() && profile.interfaceName != device.name) continue;
        if (!profile.macAddress.empty() && !sameMAC(profile.macAddress, deviceMAC)) continue;
        if (!best || profile.priority > best->priority ||
            (profile.priority == best->priority && profile.timestamp > best->timestamp))
            best = &profile;
    }
    return best;
}

NetworkCard::ConfigMethod LinuxHost::nmcliConfigMethod(std::string_view text) {
    using Method = NetworkCard::ConfigMethod;
    std::optional<std::string> method;
    std::string addresses;
    for (auto line : splitText(text, '\n', EmptyPieces::drop)) {
        auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        auto key = line.substr(0, colon);
        auto value = std::string(line.substr(colon + 1));
        if (key == "ipv4.method") method = value;
        if (key == "ipv4.addresses") addresses = value;
    }
    if (!method || method->empty()) return Method::none();
    if (*method == "auto") return Method::dhcp();
    if (*method != "manual") return Method::other(*method);
    auto first = splitText(addresses, ',', EmptyPieces::drop);
    if (first.empty()) return Method::other("manual");
    auto piece = first.front();
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    auto subnet = Subnet::parse(piece);
    if (!subnet) return Method::other("manual");
    return Method::manual(subnet->address, subnet->mask());
}

}  // namespace anvil
