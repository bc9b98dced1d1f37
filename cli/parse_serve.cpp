#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "cli/cli_error.hpp"
#include "cli/serve_options.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/pins_file.hpp"
#include "core/addressing/text_pieces.hpp"
#include "core/addressing/user_option_text.hpp"

namespace anvil {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    unsigned long number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc{} || end != text.data() + text.size() || number > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(number);
}

std::optional<std::vector<IPv4Address>> parseAddressList(std::string_view text, char separator) {
    std::vector<IPv4Address> addresses;
    for (auto piece : splitText(text, separator, EmptyPieces::drop)) {
        auto ip = IPv4Address::parse(piece);
        if (!ip) return std::nullopt;
        addresses.push_back(*ip);
    }
    return addresses;
}

constexpr std::size_t longestBootFileName = 127;
constexpr unsigned smallestBlockSizeCeiling = 512;
constexpr unsigned largestBlockSizeCeiling = 65464;

std::string kindList() {
    std::string text;
    for (auto kind : allBootKinds) text += (text.empty() ? "" : ", ") + std::string(rawValue(kind));
    return text;
}

std::string bootFolder(const std::string& text) {
    namespace fs = std::filesystem;
    if (text.empty()) throw CLIError::usage("--boot needs a folder");
    std::error_code error;
    auto status = fs::status(text, error);
    if (error || !fs::exists(status)) throw CLIError::usage("--boot: " + text + " does not exist");
    if (!fs::is_directory(status)) throw CLIError::usage("--boot: " + text + " is not a folder");
    auto absolute = fs::absolute(text, error);
    if (error) throw CLIError::usage("--boot: " + text + " cannot be made absolute: " + error.message());
    auto normal = absolute.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// A boot file is asked for by name over TFTP from inside the boot folder: a name that leaves it,
// or that the TFTP server would read differently, is refused here rather than at the device.
std::string bootFileName(std::string_view name, std::string_view kind) {
    auto about = kind.empty() ? std::string() : " for " + std::string(kind);
    if (name.empty()) throw CLIError::usage("--boot-file: empty name" + about);
    if (name.size() > longestBootFileName)
        throw CLIError::usage("--boot-file: the name" + about + " is longer than 127 bytes");
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            throw CLIError::usage("--boot-file: the name" + about + " holds a control character");
    for (auto piece : splitText(name, '/', EmptyPieces::drop))
        for (auto part : splitText(piece, '\\', EmptyPieces::drop))
            if (part == "..") throw CLIError::usage("--boot-file: the name" + about + " leaves the boot folder (..)");
    return std::string(name);
}

// "NAME" for every kind, or "KIND=NAME,KIND=NAME".
void addBootFiles(BootConfig& boot, const std::string& text) {
    if (text.find('=') == std::string::npos) {
        boot.fileForAll = bootFileName(text, "");
        return;
    }
    std::map<BootKind, std::string> files;
    for (auto pair : splitText(text, ',', EmptyPieces::keep)) {
        auto equals = pair.find('=');
        if (equals == std::string_view::npos)
            throw CLIError::usage("--boot-file: \"" + std::string(pair) + "\" must look like KIND=NAME; kinds are " +
                                  kindList());
        auto kindText = pair.substr(0, equals);
        auto kind = bootKindFromRaw(kindText);
        if (!kind)
            throw CLIError::usage("--boot-file: unknown kind \"" + std::string(kindText) + "\"; kinds are " +
                                  kindList());
        if (files.contains(*kind)) throw CLIError::usage("--boot-file: " + std::string(kindText) + " is named twice");
        files[*kind] = bootFileName(pair.substr(equals + 1), kindText);
    }
    for (auto& [kind, name] : files) boot.files[kind] = std::move(name);
}

std::uint16_t blockSizeCeiling(std::string_view text) {
    auto number = parsePort(text);
    if (!number || *number < smallestBlockSizeCeiling || *number > largestBlockSizeCeiling)
        throw CLIError::usage("--tftp-blksize-max must be a number from 512 to 65464");
    return *number;
}

// "preset:NAME[=VALUE]" or "[MATCH:]CODE=VALUE". Presets name this server, so they are read once
// --server is known; the order of the options stays as given.
struct OptionArgument {
    std::string text;
    bool always = false;
};

std::vector<UserOption> userOptions(const std::vector<OptionArgument>& arguments, IPv4Address serverIP) {
    constexpr std::string_view presetPrefix = "preset:";
    std::vector<UserOption> options;
    for (const auto& argument : arguments) {
        auto flag = argument.always ? "--option-always" : "--option";
        std::string_view text = argument.text;
        if (text.starts_with(presetPrefix)) {
            if (argument.always) throw CLIError::usage("--option-always: a preset says itself whether it is always sent");
            text.remove_prefix(presetPrefix.size());
            auto equals = text.find('=');
            auto value = equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
            auto preset = applyPreset(text.substr(0, equals), value, serverIP);
            if (!preset.error.empty()) throw CLIError::usage(std::string(flag) + ": " + preset.error);
            options.insert(options.end(), preset.options.begin(), preset.options.end());
            continue;
        }
        auto reading = readUserOptionArgument(text, argument.always);
        if (!reading.option) throw CLIError::usage(std::string(flag) + ": " + reading.error);
        options.push_back(std::move(*reading.option));
    }
    return options;
}

// MAC=IP or MAC=IP,label.
Pin pinArgument(const std::string& text) {
    auto equals = text.find('=');
    if (equals == std::string::npos)
        throw CLIError::usage("--pin must look like 02:00:00:00:00:01=192.168.0.50[,label]");
    std::string_view rest = std::string_view(text).substr(equals + 1);
    auto comma = rest.find(',');
    auto label = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    auto reading = readPin(std::string_view(text).substr(0, equals), rest.substr(0, comma), label);
    if (!reading.pin) throw CLIError::usage("--pin " + text + ": " + reading.error);
    return *reading.pin;
}

// Every bad line is named before serving starts, not just the first.
std::vector<Pin> pinsFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw CLIError::failure("--pins: cannot read " + path);
    std::ostringstream text;
    text << stream.rdbuf();
    auto file = readPinsFile(text.str());
    if (!file.errors.empty()) {
        std::string message;
        for (const auto& error : file.errors)
            message += (message.empty() ? "" : "\n") + path + ": " + error.description();
        throw CLIError::failure(message);
    }
    return std::move(file.pins);
}

}  // namespace

ServeOptions parseServe(const std::vector<std::string>& arguments) {
    ServeOptions options;
    // Boot flags may come in any order; they only count with --boot.
    std::optional<std::string> bootFolderText;
    BootConfig boot;
    bool bootFlagSeen = false;
    std::vector<OptionArgument> optionArguments;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        auto value = [&]() -> const std::string& {
            if (index + 1 >= arguments.size()) throw CLIError::usage(option + " needs a value");
            return arguments[++index];
        };

        if (option == "--iface") {
            options.interface = value();
        } else if (option == "--server") {
            auto subnet = Subnet::parse(value());
            if (!subnet) throw CLIError::usage("--server must look like 192.168.0.1/24");
            options.config.serverIP = subnet->address;
            options.config.prefixLength = subnet->prefixLength;
        } else if (option == "--range") {
            auto pieces = parseAddressList(value(), '-');
            if (!pieces || pieces->size() != 2)
                throw CLIError::usage("--range must look like 192.168.0.100-192.168.0.200");
            options.config.rangeStart = (*pieces)[0];
            options.config.rangeEnd = (*pieces)[1];
        } else if (option == "--lease") {
            auto seconds = parseDuration(value());
            if (!seconds) throw CLIError::usage("--lease must look like 90s, 15m, 24h or 7d");
            options.config.leaseSeconds = *seconds;
        } else if (option == "--router") {
            auto router = IPv4Address::parse(value());
            if (!router) throw CLIError::usage("--router must be an IPv4 address");
            options.config.router = router;
        } else if (option == "--dns") {
            auto servers = parseAddressList(value(), ',');
            if (!servers) throw CLIError::usage("--dns must be IPv4 addresses separated by commas");
            options.config.dns = *servers;
        } else if (option == "--leases") {
            options.leasePath = value();
        } else if (option == "--json") {
            options.json = true;
        } else if (option == "--no-watch") {
            options.watch = false;
        } else if (option == "--pin") {
            options.config.pins.push_back(pinArgument(value()));
        } else if (option == "--pins") {
            auto pins = pinsFile(value());
            options.config.pins.insert(options.config.pins.end(), pins.begin(), pins.end());
        } else if (option == "--no-bootp") {
            options.config.answerBOOTP = false;
        } else if (option == "--option" || option == "--option-always") {
            optionArguments.push_back({value(), option == "--option-always"});
        } else if (option == "--test-loopback") {
            options.loopback = true;
        } else if (option == "--port" || option == "--client-port") {
            auto port = parsePort(value());
            if (!port) throw CLIError::usage(option + " must be a port number");
            (option == "--port" ? options.port : options.clientPort) = *port;
        } else if (option == "--boot") {
            bootFolderText = value();
        } else if (option == "--boot-file") {
            addBootFiles(boot, value());
            bootFlagSeen = true;
        } else if (option == "--tftp-blksize-max") {
            boot.blockSizeCeiling = blockSizeCeiling(value());
            bootFlagSeen = true;
        } else {
            throw CLIError::usage("unknown option " + option);
        }
    }
    options.config.userOptions = userOptions(optionArguments, options.config.serverIP);
    if (bootFolderText) {
        boot.folder = bootFolder(*bootFolderText);
        options.config.boot = std::move(boot);
    } else if (bootFlagSeen) {
        throw CLIError::usage("--boot-file and --tftp-blksize-max need --boot <folder>");
    }
    if (!options.loopback && !options.interface) throw CLIError::usage("serve needs --iface <bsd> or --test-loopback");
    return options;
}

WatchOptions parseWatch(const std::vector<std::string>& arguments) {
    WatchOptions options;
    bool cardGiven = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        if (option == "--iface") {
            if (index + 1 >= arguments.size()) throw CLIError::usage(option + " needs a value");
            options.interface = arguments[++index];
            cardGiven = true;
        } else if (option == "--json") {
            options.json = true;
        } else {
            throw CLIError::usage("unknown option " + option);
        }
    }
    if (!cardGiven) throw CLIError::usage("watch needs --iface <bsd>");
    return options;
}

}  // namespace anvil
