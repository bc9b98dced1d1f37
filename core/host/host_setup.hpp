#pragma once
// Commands that set a card to the server address or back to DHCP, and running them as administrator.
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/process_runner.hpp"

namespace anvil {

struct HostSetupError : std::exception {
    std::string message;
    bool isCancellation = false;

    HostSetupError(std::string message, bool isCancellation)
        : message(std::move(message)), isCancellation(isCancellation) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string description() const { return message; }

    friend bool operator==(const HostSetupError& a, const HostSetupError& b) {
        return a.message == b.message && a.isCancellation == b.isCancellation;
    }
};

namespace HostSetup {

inline constexpr std::string_view networksetup = "/usr/sbin/networksetup";

// The tool that owns a card's IPv4 settings.
enum class SettingsTool { networksetup, networkManager, ipRoute };

// The text as one single-quoted shell word.
std::string shellQuote(std::string_view text);
std::string sudoLine(std::string_view command);

// On Linux without NetworkManager the service is the card's own name.
std::string setManualCommand(SettingsTool tool, std::string_view service, IPv4Address ip, IPv4Address mask);
std::string setDHCPCommand(SettingsTool tool, std::string_view service);
// The same with the host's tool.
std::string setManualCommand(std::string_view service, IPv4Address ip, IPv4Address mask);
std::string setDHCPCommand(std::string_view service);

// The command inside an AppleScript string literal: backslashes doubled, then quotes escaped.
std::string appleScriptEscaped(std::string_view command);
std::string administratorScript(std::string_view command);
// The error an AppleScript error dictionary stands for; -128 is the user's cancel.
HostSetupError administratorError(const std::optional<std::string>& message, const std::optional<long>& number);
// The error a Linux run stands for, if any; through pkexec, status 126 is the user's cancel.
std::optional<HostSetupError> administratorError(const ProcessRunner::Output& output, bool throughPkexec);

// Throws HostSetupError unless `service` is exactly one of `names`.
std::string validatedService(const std::string& service, const std::vector<std::string>& names);

// Host operations.
SettingsTool settingsTool();
std::vector<std::string> knownServiceNames();
// Throws HostSetupError when the command fails or the user cancels.
void runAsAdministrator(std::string_view command);

}  // namespace HostSetup

}  // namespace anvil
