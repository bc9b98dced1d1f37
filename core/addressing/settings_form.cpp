#include "core/addressing/settings_form.hpp"

#include <algorithm>
#include <charconv>

#include "core/addressing/boot_config_check.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/text_pieces.hpp"
#include "core/addressing/user_option_text.hpp"

namespace anvil {

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A whole decimal number with an optional sign, as a standard integer reader takes it.
std::optional<int> parseWholeNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

SettingsForm::Field fieldOf(ConfigError::Kind kind) {
    using Kind = ConfigError::Kind;
    using Field = SettingsForm::Field;
    switch (kind) {
        case Kind::prefixOutOfBounds:
        case Kind::serverIPIsNetworkOrBroadcast:
        case Kind::serverIPInsideRange: return Field::server;
        case Kind::rangeOutsideSubnet:
        case Kind::rangeReversed:
        case Kind::rangeIncludesNetworkOrBroadcast: return Field::range;
        case Kind::leaseTimeOutOfBounds: return Field::lease;
        case Kind::gatewayOutsideSubnet: return Field::gateway;
        case Kind::tooManyDNSServers: return Field::dns;
        // The form holds no user options: their errors are shown beside their own rows.
        case Kind::optionNotSettable:
        case Kind::optionSetTwice:
        case Kind::optionValueUnfit: return Field::server;
        // The form has no pins field of its own; the message names the pin.
        case Kind::pinDeviceTwice:
        case Kind::pinAddressTwice:
        case Kind::pinOutsideSubnet:
        case Kind::pinIsServerIP:
        case Kind::pinIsNetworkOrBroadcast: return Field::server;
    }
    return Field::server;
}

}  // namespace

std::string_view rawValue(LeasePreset preset) {
    switch (preset) {
        case LeasePreset::oneHour: return "oneHour";
        case LeasePreset::eightHours: return "eightHours";
        case LeasePreset::oneDay: return "oneDay";
        case LeasePreset::sevenDays: return "sevenDays";
        case LeasePreset::custom: return "custom";
    }
    return "custom";
}

std::optional<LeasePreset> leasePresetFromRaw(std::string_view text) {
    for (auto preset : allLeasePresets)
        if (rawValue(preset) == text) return preset;
    return std::nullopt;
}

std::string_view label(LeasePreset preset) {
    switch (preset) {
        case LeasePreset::oneHour: return "1 h";
        case LeasePreset::eightHours: return "8 h";
        case LeasePreset::oneDay: return "24 h";
        case LeasePreset::sevenDays: return "7 d";
        case LeasePreset::custom: return "Custom";
    }
    return "Custom";
}

std::optional<std::uint32_t> presetSeconds(LeasePreset preset) {
    switch (preset) {
        case LeasePreset::oneHour: return 3600;
        case LeasePreset::eightHours: return 28800;
        case LeasePreset::oneDay: return 86400;
        case LeasePreset::sevenDays: return 604800;
        case LeasePreset::custom: return std::nullopt;
    }
    return std::nullopt;
}

SettingsForm SettingsForm::from(const ServerConfig& config) {
    SettingsForm form;
    form.serverIP = config.serverIP.description();
    form.prefix = std::to_string(config.prefixLength);
    form.rangeStart = config.rangeStart.description();
    form.rangeEnd = config.rangeEnd.description();
    form.leasePreset = LeasePreset::custom;
    for (auto preset : allLeasePresets)
        if (presetSeconds(preset) == config.leaseSeconds) form.leasePreset = preset;
    if (form.leasePreset == LeasePreset::custom) form.customLease = std::to_string(config.leaseSeconds) + "s";
    form.router = config.router ? config.router->description() : "";
    for (const auto& server : config.dns) form.dns += (form.dns.empty() ? "" : ", ") + server.description();
    if (config.boot) {
        form.bootEnabled = true;
        form.bootFolder = config.boot->folder;
        form.bootFileForAll = config.boot->fileForAll.value_or("");
        form.bootFiles = config.boot->files;
        form.bootBlockSizeCeiling = config.boot->blockSizeCeiling;
    }
    for (const auto& pin : config.pins) form.pins.push_back({deviceText(pin), pin.ip.description(), pin.label});
    for (const auto& option : config.userOptions)
        form.options.push_back({matchText(option.match), optionText(option.code), valueText(option), option.always});
    form.answerBOOTP = config.answerBOOTP;
    return form;
}

std::optional<std::uint32_t> SettingsForm::leaseSeconds() const {
    if (leasePreset != LeasePreset::custom) return presetSeconds(leasePreset);
    return parseDuration(trimmed(customLease));
}

std::optional<long long> SettingsForm::rangeCount() const {
    auto start = IPv4Address::parse(trimmed(rangeStart));
    auto end = IPv4Address::parse(trimmed(rangeEnd));
    if (!start || !end || *end < *start) return std::nullopt;
    return static_cast<long long>(end->value) - start->value + 1;
}

template <typename Report>
std::optional<BootConfig> SettingsForm::evaluateBoot(Report report) const {
    BootConfig boot;
    boot.folder = std::string(trimmed(bootFolder));
    boot.blockSizeCeiling = bootBlockSizeCeiling;
    bool usable = true;
    auto check = [&](std::optional<std::string> problem, std::string_view prefix = {}) {
        if (!problem) return;
        report(std::string(prefix) + *problem);
        usable = false;
    };
    check(bootFolderProblem(boot.folder));
    // Blanks around a name are a slip of the keyboard: no boot ROM asks for " ipxe.efi".
    if (auto all = trimmed(bootFileForAll); !all.empty()) {
        check(bootFileNameProblem(all), "For all: ");
        boot.fileForAll = std::string(all);
    }
    for (const auto& [kind, name] : bootFiles) {
        auto text = trimmed(name);
        if (text.empty()) continue;
        check(bootFileNameProblem(text), std::string(rawValue(kind)) + ": ");
        boot.files[kind] = std::string(text);
    }
    check(blockSizeCeilingProblem(boot.blockSizeCeiling));
    if (!usable) return std::nullopt;
    return boot;
}

bool SettingsForm::evaluateRows(ServerConfig& config, std::vector<std::size_t>& pinRows,
                                std::vector<std::size_t>& optionRows, Evaluation& result) const {
    bool read = true;
    for (std::size_t row = 0; row < pins.size(); ++row) {
        const auto& typed = pins[row];
        auto device = trimmed(typed.device), address = trimmed(typed.address), name = trimmed(typed.label);
        if (device.empty() && address.empty() && name.empty()) continue;
        auto reading = readPin(device, address, name);
        if (!reading.pin) {
            result.pinErrors[row].push_back(reading.error);
            read = false;
            continue;
        }
        config.pins.push_back(*reading.pin);
        pinRows.push_back(row);
    }
    for (std::size_t row = 0; row < options.size(); ++row) {
        const auto& typed = options[row];
        auto match = trimmed(typed.match), option = trimmed(typed.option), value = trimmed(typed.value);
        if (match.empty() && option.empty() && value.empty()) continue;
        auto reading = readUserOption(match, option, value, typed.always);
        if (!reading.option) {
            result.optionErrors[row].push_back(reading.error);
            read = false;
            continue;
        }
        config.userOptions.push_back(*reading.option);
        optionRows.push_back(row);
    }
    return read;
}

SettingsForm::Evaluation SettingsForm::evaluate() const {
    Evaluation result;
    auto add = [&](Field field, std::string message) { result.errors[field].push_back(std::move(message)); };

    auto server = IPv4Address::parse(trimmed(serverIP));
    if (!server) add(Field::server, "Server IP must look like 192.168.0.1.");
    auto prefixLength = parseWholeNumber(trimmed(prefix));
    if (!prefixLength) add(Field::server, "Prefix must be a number such as 24.");
    auto start = IPv4Address::parse(trimmed(rangeStart));
    auto end = IPv4Address::parse(trimmed(rangeEnd));
    if (!start || !end) add(Field::range, "Range must be two IPv4 addresses.");
    auto lease = leaseSeconds();
    if (!lease) add(Field::lease, "Lease time must look like 90m, 24h or 7d.");

    std::optional<IPv4Address> gateway;
    if (auto text = trimmed(router); !text.empty()) {
        gateway = IPv4Address::parse(text);
        if (!gateway) add(Field::gateway, "Gateway must be an IPv4 address, or empty for off.");
    }

    std::vector<IPv4Address> servers;
    bool dnsValid = true;
    for (auto piece : splitText(dns, ',', EmptyPieces::drop)) {
        auto text = trimmed(piece);
        if (text.empty()) continue;
        auto address = IPv4Address::parse(text);
        if (address) servers.push_back(*address);
        else dnsValid = false;
    }
    if (!dnsValid) add(Field::dns, "DNS must be IPv4 addresses separated by commas, or empty for off.");

    std::optional<BootConfig> boot;
    if (bootEnabled) boot = evaluateBoot([&](std::string message) { add(Field::boot, std::move(message)); });

    ServerConfig config;
    config.answerBOOTP = answerBOOTP;
    std::vector<std::size_t> pinRows, optionRows;
    bool rowsRead = evaluateRows(config, pinRows, optionRows, result);
    if (!result.errors.empty() || !rowsRead) return result;
    config.serverIP = *server;
    config.prefixLength = *prefixLength;
    config.rangeStart = *start;
    config.rangeEnd = *end;
    config.leaseSeconds = *lease;
    config.router = gateway;
    config.dns = servers;
    config.boot = boot;

    // An error that goes away without a row belongs beside that row (both rows of a pair set twice);
    // this holds whatever kinds of error the rows can cause.
    auto problems = config.validate();
    std::vector<bool> placed(problems.size(), false);
    auto placeWithout = [&](auto member, std::size_t index, std::size_t row, auto& rowErrors) {
        auto without = config;
        auto& items = without.*member;
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
        auto remaining = without.validate();
        for (std::size_t i = 0; i < problems.size(); ++i) {
            if (std::find(remaining.begin(), remaining.end(), problems[i]) != remaining.end()) continue;
            rowErrors[row].push_back(problems[i].description());
            placed[i] = true;
        }
    };
    if (!problems.empty()) {
        for (std::size_t i = 0; i < pinRows.size(); ++i)
            placeWithout(&ServerConfig::pins, i, pinRows[i], result.pinErrors);
        for (std::size_t i = 0; i < optionRows.size(); ++i)
            placeWithout(&ServerConfig::userOptions, i, optionRows[i], result.optionErrors);
    }
    for (std::size_t i = 0; i < problems.size(); ++i)
        if (!placed[i]) add(fieldOf(problems[i].kind), problems[i].description());
    if (problems.empty()) result.config = config;
    return result;
}

}  // namespace anvil
