#include "core/addressing/user_option_text.hpp"

#include <algorithm>
#include <charconv>

#include "core/addressing/boot_config.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/option_format.hpp"
#include "core/addressing/option_value.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/addressing/reserved_option.hpp"

namespace anvil {

namespace {

using Kind = OptionMatch::Kind;

constexpr std::size_t longestClass = 255;

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

std::string lowered(std::string_view text) {
    std::string word;
    for (char c : text) word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return word;
}

std::string quoted(std::string_view text) { return "\"" + plainText(text) + "\""; }

struct MatchReading {
    std::optional<OptionMatch> match;
    std::string error;
};

MatchReading matchRefused(std::string sentence) { return {std::nullopt, std::move(sentence)}; }

std::string bootKindList() {
    std::string text;
    for (auto kind : allBootKinds) text += (text.empty() ? "" : ", ") + std::string(rawValue(kind));
    return text;
}

MatchReading readMatch(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || lowered(text) == "all") return {OptionMatch{}, {}};
    auto equals = text.find('=');
    auto key = lowered(text.substr(0, equals));
    auto value = equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
    if (key == "mac") {
        auto mac = MACAddress::parse(value);
        if (!mac) return matchRefused("mac= takes a hardware address such as aa:bb:cc:dd:ee:ff.");
        return {OptionMatch{Kind::device, mac->description()}, {}};
    }
    if (key == "maker") {
        auto mac = MACAddress::parse(std::string(value) + ":00:00:00");
        if (!mac) return matchRefused("maker= takes the first three bytes of a hardware address, such as aa:bb:cc.");
        return {OptionMatch{Kind::maker, mac->description().substr(0, 8)}, {}};
    }
    if (key == "vendor" || key == "user") {
        bool vendor = key == "vendor";
        if (value.empty() || value.size() > longestClass || plainText(value) != value)
            return matchRefused(vendor ? "vendor= takes the start of a vendor class, such as APC."
                                       : "user= takes a user class, such as iPXE.");
        return {OptionMatch{vendor ? Kind::vendorClass : Kind::userClass, std::string(value)}, {}};
    }
    if (key == "boot") {
        auto kind = bootKindFromRaw(value);
        if (!kind) return matchRefused("boot= takes a boot kind: " + bootKindList() + ".");
        return {OptionMatch{Kind::bootKind, std::string(rawValue(*kind))}, {}};
    }
    return matchRefused("A match is all, mac=ADDRESS, maker=AA:BB:CC, vendor=PREFIX, user=CLASS or boot=KIND.");
}

struct CodeReading {
    std::optional<std::uint8_t> code;
    std::string error;
};

std::optional<unsigned> number(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

CodeReading readCode(std::string_view text) {
    text = trimmed(text);
    // "42 (NTP Servers)" as optionText writes it: the number counts, the name must agree.
    if (auto open = text.find(" ("); open != std::string_view::npos && text.ends_with(')')) {
        auto code = number(text.substr(0, open));
        auto name = text.substr(open + 2, text.size() - open - 3);
        if (code && *code <= 255 && optionCodeNamed(name) == code) return {static_cast<std::uint8_t>(*code), {}};
    }
    if (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        auto code = number(text);
        if (!code || *code > 255) return {std::nullopt, "Option numbers run from 1 to 254."};
        return {static_cast<std::uint8_t>(*code), {}};
    }
    if (auto code = optionCodeNamed(text)) return {code, {}};
    if (text.empty()) return {std::nullopt, "Give the option's number or name."};
    return {std::nullopt, "No option is called " + quoted(text) + "; give its number."};
}

UserOptionReading refused(std::string sentence) { return {std::nullopt, std::move(sentence)}; }

UserOptionReading readOption(const OptionMatch& match, std::uint8_t code, std::string_view value, bool always) {
    if (auto reason = reservedOptionReason(code)) return refused(*reason);
    auto data = readOptionValue(code, value);
    if (!data.data) return refused(data.error);
    return {UserOption{match, code, std::move(*data.data), always}, {}};
}

// Presets by their plain name: "-" and "_" stand for spaces, case does not count.
std::string presetKey(std::string_view name) {
    auto key = lowered(trimmed(name));
    for (auto& c : key)
        if (c == '-' || c == '_') c = ' ';
    return key;
}

constexpr const char* apcCard = "APC management card";
constexpr const char* ntpServer = "NTP server";
constexpr const char* logServer = "Log server";
constexpr const char* unifi = "UniFi";
constexpr const char* ciscoPhones = "Cisco IP phones";
constexpr const char* polycomPhones = "Polycom phones";

OptionMatch vendor(const char* prefix) { return {Kind::vendorClass, prefix}; }

PresetReading presetRefused(std::string sentence) { return {{}, std::move(sentence)}; }

}  // namespace

UserOptionReading readUserOption(std::string_view match, std::string_view option, std::string_view value, bool always) {
    auto readMatchText = readMatch(match);
    if (!readMatchText.match) return refused(readMatchText.error);
    auto code = readCode(option);
    if (!code.code) return refused(code.error);
    return readOption(*readMatchText.match, *code.code, value, always);
}

UserOptionReading readUserOptionArgument(std::string_view text, bool always) {
    // The option is the first piece without ":" that is followed by "=" and names an option, at the
    // start or after a colon; what comes before it is the match, which may hold colons itself.
    std::optional<std::string> matchError;
    std::optional<std::string> codeError;
    for (std::size_t start = 0; start <= text.size();) {
        auto rest = text.substr(start);
        auto equals = rest.find('=');
        auto colon = rest.find(':');
        if (equals != std::string_view::npos && (colon == std::string_view::npos || colon > equals)) {
            auto code = readCode(rest.substr(0, equals));
            if (code.code) {
                auto match = readMatch(start == 0 ? std::string_view() : text.substr(0, start - 1));
                if (match.match) return readOption(*match.match, *code.code, rest.substr(equals + 1), always);
                if (!matchError) matchError = match.error;
            } else {
                codeError = code.error;
            }
        }
        if (colon == std::string_view::npos) break;
        start += colon + 1;
    }
    if (matchError) return refused(*matchError);
    if (codeError) return refused(*codeError);
    return refused("An option must look like [MATCH:]CODE=VALUE, such as vendor=APC:43=01:04:31:41:50:43.");
}

std::string matchText(const OptionMatch& match) {
    switch (match.kind) {
        case Kind::device: return "mac=" + match.value;
        case Kind::maker: return "maker=" + match.value;
        case Kind::vendorClass: return "vendor=" + match.value;
        case Kind::userClass: return "user=" + match.value;
        case Kind::bootKind: return "boot=" + match.value;
        case Kind::everyDevice: return "all";
    }
    return "all";
}

std::string optionText(std::uint8_t code) {
    auto name = optionDescription(code).name;
    return name.empty() ? std::to_string(code) : std::to_string(code) + " (" + std::string(name) + ")";
}

std::string valueText(const UserOption& option) { return optionValueText(option.code, option.data); }

std::string matchDescription(const OptionMatch& match) {
    switch (match.kind) {
        case Kind::device: return "device " + match.value;
        case Kind::maker: return "maker " + match.value;
        case Kind::vendorClass: return "vendor class " + plainText(match.value);
        case Kind::userClass: return "user class " + plainText(match.value);
        case Kind::bootKind: return "boot kind " + match.value;
        case Kind::everyDevice: return "every device";
    }
    return "every device";
}

std::vector<OptionPreset> optionPresets() {
    return {
        {apcCard, ""},
        {ntpServer, ""},
        {logServer, ""},
        {unifi, "controller address"},
        {ciscoPhones, "TFTP server address"},
        {polycomPhones, "provisioning server"},
    };
}

PresetReading applyPreset(std::string_view name, std::string_view value, IPv4Address serverIP) {
    auto presets = optionPresets();
    auto key = presetKey(name);
    auto preset = std::find_if(presets.begin(), presets.end(), [&](const auto& p) { return presetKey(p.name) == key; });
    if (preset == presets.end()) {
        std::string names;
        for (const auto& p : presets) names += (names.empty() ? "" : ", ") + p.name;
        return presetRefused("No preset is called " + quoted(name) + "; presets are " + names + ".");
    }
    value = trimmed(value);
    auto about = "The preset " + quoted(preset->name);
    if (preset->valuePrompt.empty() && !value.empty()) return presetRefused(about + " takes no value.");
    if (!preset->valuePrompt.empty() && value.empty()) return presetRefused(about + " needs the " + preset->valuePrompt + ".");

    if (preset->name == apcCard) return {{{vendor("APC"), 43, {1, 4, '1', 'A', 'P', 'C'}, true}}, {}};
    if (preset->name == ntpServer) return {{{OptionMatch{}, 42, serverIP.bytes(), false}}, {}};
    if (preset->name == logServer) return {{{OptionMatch{}, 7, serverIP.bytes(), false}}, {}};
    if (preset->name == unifi) {
        // Sub-option 1 of the vendor area: the controller's address, which the device informs.
        auto controller = IPv4Address::parse(value);
        if (!controller) return presetRefused(about + " takes the controller's address, such as 192.168.0.10.");
        Bytes data{1, 4};
        auto four = controller->bytes();
        data.insert(data.end(), four.begin(), four.end());
        return {{{vendor("ubnt"), 43, std::move(data), true}}, {}};
    }
    if (preset->name == ciscoPhones) {
        auto servers = readOptionValue(150, value);
        if (!servers.data) return presetRefused(servers.error);
        return {{{vendor("Cisco Systems, Inc. IP Phone"), 150, std::move(*servers.data), false}}, {}};
    }
    // Polycom phones take the provisioning server from 160, older firmware from 66.
    auto server = readOptionValue(160, value);
    if (!server.data) return presetRefused(server.error);
    return {{{vendor("Polycom"), 66, *server.data, false}, {vendor("Polycom"), 160, *server.data, false}}, {}};
}

}  // namespace anvil
