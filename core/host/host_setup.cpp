#include "core/host/host_setup.hpp"

#include <bit>

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

std::string HostSetup::sudoLine(std::string_view command) { return "sudo " + std::string(command); }

std::string HostSetup::setManualCommand(SettingsTool tool, std::string_view service, IPv4Address ip, IPv4Address mask) {
    auto quoted = shellQuote(service);
    auto cidr = ip.description() + "/" + std::to_string(prefixOf(mask));
    switch (tool) {
        case SettingsTool::networksetup:
            return std::string(networksetup) + " -setmanual " + quoted + " " + ip.description() + " " +
                   mask.description();
        case SettingsTool::networkManager:
            return "nmcli connection modify " + quoted + " ipv4.method manual ipv4.addresses " + cidr +
                   " && nmcli connection up " + quoted;
        case SettingsTool::ipRoute:
            return "ip address replace " + cidr + " dev " + quoted + " && ip link set " + quoted + " up";
    }
    return {};
}

std::string HostSetup::setDHCPCommand(SettingsTool tool, std::string_view service) {
    auto quoted = shellQuote(service);
    switch (tool) {
        case SettingsTool::networksetup: return std::string(networksetup) + " -setdhcp " + quoted;
        case SettingsTool::networkManager:
            return "nmcli connection modify " + quoted +
                   " ipv4.method auto ipv4.addresses \"\" && nmcli connection up " + quoted;
        case SettingsTool::ipRoute: return "ip address flush dev " + quoted;
    }
    return {};
}

std::string HostSetup::setManualCommand(std::string_view service, IPv4Address ip, IPv4Address mask) {
    return setManualCommand(settingsTool(), service, ip, mask);
}

std::string HostSetup::setDHCPCommand(std::string_view service) { return setDHCPCommand(settingsTool(), service); }

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
    // The shell or pkexec could not be started: the dialog never appeared.
    if (output.status == -1) return HostSetupError("Could not prepare the administrator dialog.", false);
    auto text = trimmed(output.text);
    bool cancelled = throughPkexec && output.status == pkexecDismissed;
    return HostSetupError(text.empty() ? "The command failed." : text, cancelled);
}

std::string HostSetup::validatedService(const std::string& service, const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (name == service) return service;
    throw HostSetupError("Unknown network service: " + service, false);
}

}  // namespace anvil
