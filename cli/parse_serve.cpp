#include <charconv>

#include "cli/cli_error.hpp"
#include "cli/serve_options.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/text_pieces.hpp"

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

}  // namespace

ServeOptions parseServe(const std::vector<std::string>& arguments) {
    ServeOptions options;
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
        } else if (option == "--test-loopback") {
            options.loopback = true;
        } else if (option == "--port" || option == "--client-port") {
            auto port = parsePort(value());
            if (!port) throw CLIError::usage(option + " must be a port number");
            (option == "--port" ? options.port : options.clientPort) = *port;
        } else {
            throw CLIError::usage("unknown option " + option);
        }
    }
    if (!options.loopback && !options.interface) throw CLIError::usage("serve needs --iface <bsd> or --test-loopback");
    return options;
}

}  // namespace anvil
