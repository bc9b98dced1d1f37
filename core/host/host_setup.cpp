#include "core/host/host_setup.hpp"

#include <bit>
#include <cctype>

#include "core/addressing/subnet.hpp"

namespace anvil {

namespace {

int prefixOf(IPv4Address mask) {
    if (auto prefix = Subnet::prefixLengthOfMask(mask)) return *prefix;
    return std::popcount(mask.value);
}

std::string trimmed(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// nmcli reads a bare argument as a keyword when it is one ("id", "uuid", "path"): always say which.
std::string profile(std::string_view service) {
    return (isUUID(service) ? "uuid " : "id ") + HostSetup::shellQuote(service);
}

}  // namespace

std::string HostSetup::shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string HostSetup::sudoLine(std::string_view command, Platform platform) {
    if (platform == Platform::macOS) return "sudo " + std::string(command);
    return "sudo sh -c " + shellQuote(command);
}

std::string HostSetup::setManualCommand(SettingsTool tool, std::string_view service, IPv4Address ip, IPv4Address mask) {
    auto quoted = shellQuote(service);
    auto cidr = ip.description() + "/" + std::to_string(prefixOf(mask));
    switch (tool) {
        case SettingsTool::networksetup:
            return std::string(networksetup) + " -setmanual " + quoted + " " + ip.description() + " " +
                   mask.description();
        case SettingsTool::networkManager:
            return "nmcli connection modify " + profile(service) + " ipv4.method manual ipv4.addresses " + cidr +
                   " && nmcli connection up " + profile(service);
        case SettingsTool::ipRoute:
            // Replace, not add beside: an older fixed address would stay first and keep the card failing.
            return "ip -4 address flush dev " + quoted + " && ip address add " + cidr + " dev " + quoted +
                   " && ip link set " + quoted + " up";
    }
    return {};
}

std::string HostSetup::setDHCPCommand(SettingsTool tool, std::string_view service) {
    auto quoted = shellQuote(service);
    switch (tool) {
        case SettingsTool::networksetup: return std::string(networksetup) + " -setdhcp " + quoted;
        case SettingsTool::networkManager:
            return "nmcli connection modify " + profile(service) +
                   " ipv4.method auto ipv4.addresses \"\" && nmcli connection up " + profile(service);
        case SettingsTool::ipRoute: return "ip address flush dev " + quoted;
    }
    return {};
}

HostSetup::SettingsTool HostSetup::settingsTool(const NetworkCard& card, Platform platform) {
    if (platform == Platform::macOS) return SettingsTool::networksetup;
    // Only NetworkManager's profiles carry an identifier; a card it leaves alone is set by hand.
    return card.serviceID ? SettingsTool::networkManager : SettingsTool::ipRoute;
}

namespace {
std::string serviceOf(const NetworkCard& card) {
    return card.serviceID.value_or(card.serviceName.value_or(card.bsdName));
}
}  // namespace

std::string HostSetup::setManualCommand(const NetworkCard& card, IPv4Address ip, IPv4Address mask) {
    return setManualCommand(settingsTool(card), serviceOf(card), ip, mask);
}

std::string HostSetup::setDHCPCommand(const NetworkCard& card) {
    return setDHCPCommand(settingsTool(card), serviceOf(card));
}

std::string HostSetup::addAddressCommand(SettingsTool tool, std::string_view cardName, IPv4Address ip,
                                        int prefixLength) {
    auto quoted = shellQuote(cardName);
    auto cidr = ip.description() + "/" + std::to_string(prefixLength);
    switch (tool) {
        case SettingsTool::networksetup:
            return "/sbin/ifconfig " + quoted + " alias " + ip.description() + " " +
                   Subnet::maskOf(prefixLength).description();
        // The device's active connection only: the profile on disk never learns of this address.
        case SettingsTool::networkManager: return "nmcli device modify " + quoted + " +ipv4.addresses " + cidr;
        case SettingsTool::ipRoute: return "ip address add " + cidr + " dev " + quoted;
    }
    return {};
}

std::string HostSetup::removeAddressCommand(SettingsTool tool, std::string_view cardName, IPv4Address ip,
                                           int prefixLength) {
    auto quoted = shellQuote(cardName);
    auto cidr = ip.description() + "/" + std::to_string(prefixLength);
    switch (tool) {
        case SettingsTool::networksetup: return "/sbin/ifconfig " + quoted + " -alias " + ip.description();
        case SettingsTool::networkManager: return "nmcli device modify " + quoted + " -ipv4.addresses " + cidr;
        case SettingsTool::ipRoute: return "ip address del " + cidr + " dev " + quoted;
    }
    return {};
}

std::string HostSetup::addAddressCommand(const NetworkCard& card, IPv4Address ip, int prefixLength) {
    return addAddressCommand(settingsTool(card), card.bsdName, ip, prefixLength);
}

std::string HostSetup::removeAddressCommand(const NetworkCard& card, IPv4Address ip, int prefixLength) {
    return removeAddressCommand(settingsTool(card), card.bsdName, ip, prefixLength);
}

std::string HostSetup::appleScriptEscaped(std::string_view command) {
    std::string escaped;
    for (char c : command) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else
            escaped += c;
    }
    return escaped;
}

std::string HostSetup::administratorScript(std::string_view command) {
    return "do shell script \"" + appleScriptEscaped(command) + "\" with administrator privileges";
}

HostSetupError HostSetup::administratorError(const std::optional<std::string>& message,
                                             const std::optional<long>& number) {
    return HostSetupError(message.value_or("The command failed."), number && *number == -128);
}

std::optional<HostSetupError> HostSetup::administratorError(const ProcessRunner::Output& output, bool throughPkexec) {
    constexpr int pkexecDismissed = 126;
    if (output.status == 0) return std::nullopt;
    if (output.timedOut) return HostSetupError(output.text, false);
    // The shell or pkexec could not be started: the dialog never appeared.
    if (output.status == -1) return HostSetupError("Could not prepare the administrator dialog.", false);
    auto text = trimmed(output.text);
    bool cancelled = throughPkexec && output.status == pkexecDismissed;
    return HostSetupError(text.empty() ? "The command failed." : text, cancelled);
}

std::optional<std::vector<std::string>> HostSetup::networkSettingsCommand(
    std::string_view currentDesktop, const std::function<std::optional<std::string>(std::string_view)>& find) {
    struct Panel {
        std::string_view desktop, program, argument;
    };
    static constexpr Panel panels[] = {{"GNOME", "gnome-control-center", "network"},
                                       {"Unity", "gnome-control-center", "network"},
                                       {"KDE", "systemsettings", "kcm_networkmanagement"},
                                       {"X-Cinnamon", "cinnamon-settings", "network"}};
    std::string_view rest = currentDesktop;
    while (!rest.empty()) {
        auto colon = rest.find(':');
        auto name = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        for (const auto& panel : panels)
            if (panel.desktop == name)
                if (auto path = find(panel.program))
                    return std::vector<std::string>{*path, std::string(panel.argument)};
    }
    if (auto path = find("nm-connection-editor")) return std::vector<std::string>{*path};
    return std::nullopt;
}

std::optional<std::string> HostSetup::refusal(const NetworkCard& card, bool carriesDefaultRoute, Platform platform) {
    std::string_view computer = platform == Platform::macOS ? "the Mac" : "this computer";
    std::string reason;
    if (card.isPrimary)
        reason = card.bsdName + " is " + std::string(computer) + "'s main internet connection";
    else if (carriesDefaultRoute)
        reason = card.bsdName + " carries a default route, the way from " + std::string(computer) + " to other networks";
    else if (auto stacked = BenchCardRule::stackingRefusal(card.bsdName, card.stacking))
        return *stacked + ". DHCP Anvil leaves its settings alone. Choose the bench adapter instead.";
    else
        return std::nullopt;
    return reason + ": DHCP Anvil leaves its settings alone. Choose the bench adapter instead.";
}

bool HostSetup::mayConfigure(const NetworkCard& card) { return !refusal(card, card.carriesDefaultRoute); }

bool HostSetup::isNotAuthorised(const ProcessRunner::Output& output) {
    // nmcli ends with status 1 (or 4, activation failed) and NetworkManager's PermissionDenied text:
    // "Not authorized to control networking." or "Insufficient privileges".
    if (output.status != 1 && output.status != 4) return false;
    for (std::string_view cue : {"Not authorized", "Insufficient privileges"})
        if (output.text.find(cue) != std::string::npos) return true;
    return false;
}

std::string HostSetup::validatedService(const std::string& service, const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (name == service) return service;
    throw HostSetupError("Unknown network service: " + service, false);
}

}  // namespace anvil
