#pragma once
// Commands that set a card to the server address or back to DHCP, and running them as administrator.
#include <chrono>
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

// A second address on a card that the user's saved settings never keep: NetworkManager changes the
// active connection only (`nmcli device modify <card> +ipv4.addresses …`), else `ip address add`
// (`ifconfig <card> alias …` on macOS). Removing takes the same address away.
std::string addAddressCommand(SettingsTool tool, std::string_view cardName, IPv4Address ip, int prefixLength);
std::string removeAddressCommand(SettingsTool tool, std::string_view cardName, IPv4Address ip, int prefixLength);
std::string addAddressCommand(const NetworkCard& card, IPv4Address ip, int prefixLength);
std::string removeAddressCommand(const NetworkCard& card, IPv4Address ip, int prefixLength);

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

// Why the settings of `card` must not be changed, or nothing: a card that is this computer's main
// internet connection, carries a default route, or is a port of a bridge or bond or stacked with
// a link that carries one, is left alone, so that no fix can cut the computer off its network. The front ends offer no setup for such a card.
std::optional<std::string> refusal(const NetworkCard& card, bool carriesDefaultRoute,
                                   Platform platform = hostPlatform);
bool mayConfigure(const NetworkCard& card);

// nmcli's answer when NetworkManager (its polkit rules) does not let this user change a profile.
bool isNotAuthorised(const ProcessRunner::Output& output);

// How setup commands reach the system; tests give their own.
struct CommandRunner {
    // Runs a program with this process's rights.
    std::function<ProcessRunner::Output(const std::string& path, const std::vector<std::string>& arguments,
                                        std::chrono::milliseconds timeLimit)>
        run;
    // Root runs the command as it is, with no prompt.
    bool isAdministrator = false;
    std::function<bool(std::string_view cardName)> carriesDefaultRoute;
};

// Host operations.
CommandRunner systemRunner();
std::vector<std::string> knownServiceNames();
// The network settings of this desktop, looked up in $PATH.
std::optional<std::vector<std::string>> networkSettingsCommand();
// Throws HostSetupError when the command fails or the user cancels.
void runAsAdministrator(std::string_view command, const CommandRunner& runner = systemRunner());
// The refusal of `card` as it stands now, with its routes read afresh.
std::optional<std::string> refusalNow(const NetworkCard& card);
// Runs a command that setManualCommand or setDHCPCommand built for `card`, whoever asks: refused
// with a HostSetupError for a card `refusal` names, checked as it is about to run. NetworkManager's
// commands run with the user's own rights first, and through the administrator prompt only when
// NetworkManager answers that the user is not authorised.
void runSetupCommand(const NetworkCard& card, std::string_view command, const CommandRunner& runner = systemRunner());
// Runs a command that addAddressCommand or removeAddressCommand built for `card`: refused as
// runSetupCommand refuses; with the user's own rights first, and as administrator only when the
// system answers that the user may not (NetworkManager's "not authorised", `ip`'s "Operation not
// permitted").
void runAddressCommand(const NetworkCard& card, std::string_view command, const CommandRunner& runner = systemRunner());

}  // namespace HostSetup

}  // namespace anvil
