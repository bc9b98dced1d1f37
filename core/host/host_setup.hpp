#pragma once
// Commands that set a card to the server address or back to DHCP, and running them as administrator.
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/network_card.hpp"
#include "core/host/process_runner.hpp"
#include "core/platform.hpp"

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
// The command as typed in a terminal. On Linux the whole line runs as root (`sudo sh -c '…'`), so
// every step after a `&&` has the rights too.
std::string sudoLine(std::string_view command, Platform platform = hostPlatform);

// With NetworkManager the service is a profile: its UUID (which tells apart profiles of the same
// name) or its name. On Linux without NetworkManager the service is the card's own name, and the
// manual setting replaces every IPv4 address of the card.
std::string setManualCommand(SettingsTool tool, std::string_view service, IPv4Address ip, IPv4Address mask);
std::string setDHCPCommand(SettingsTool tool, std::string_view service);
// The same for a card's service (its `serviceID` when it has one), with the tool that owns it.
SettingsTool settingsTool(const NetworkCard& card, Platform platform = hostPlatform);
std::string setManualCommand(const NetworkCard& card, IPv4Address ip, IPv4Address mask);
std::string setDHCPCommand(const NetworkCard& card);

// The command inside an AppleScript string literal: backslashes doubled, then quotes escaped.
std::string appleScriptEscaped(std::string_view command);
std::string administratorScript(std::string_view command);
// The error an AppleScript error dictionary stands for; -128 is the user's cancel.
HostSetupError administratorError(const std::optional<std::string>& message, const std::optional<long>& number);
// The error a Linux run stands for, if any; through pkexec, status 126 is the user's cancel.
std::optional<HostSetupError> administratorError(const ProcessRunner::Output& output, bool throughPkexec);

// Throws HostSetupError unless `service` is exactly one of `names`.
std::string validatedService(const std::string& service, const std::vector<std::string>& names);

// The desktop's network settings: its own panel when $XDG_CURRENT_DESKTOP names one whose tool
// `find` locates (GNOME's, KDE's, Cinnamon's), else NetworkManager's connection editor; nothing
// when none is installed. `find` gives a program's full path.
std::optional<std::vector<std::string>> networkSettingsCommand(
    std::string_view currentDesktop, const std::function<std::optional<std::string>(std::string_view)>& find);

// Host operations.
std::vector<std::string> knownServiceNames();
// The network settings of this desktop, looked up in $PATH.
std::optional<std::vector<std::string>> networkSettingsCommand();
// Throws HostSetupError when the command fails or the user cancels.
void runAsAdministrator(std::string_view command);

}  // namespace HostSetup

}  // namespace anvil
