#if defined(__linux__)
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>

#include "core/host/host_setup.hpp"
#include "core/host/linux/default_routes.hpp"
#include "core/host/linux/network_manager.hpp"

namespace anvil {

std::vector<std::string> HostSetup::knownServiceNames() {
    // NetworkManager's profiles, and the interfaces themselves: without NetworkManager, and for the
    // cards it leaves unmanaged, each interface is its own service.
    std::vector<std::string> names;
    if (NetworkManager::isRunning()) names = NetworkManager::connectionNames();
    if (auto* table = if_nameindex()) {
        for (auto* entry = table; entry->if_index != 0 && entry->if_name; ++entry) names.emplace_back(entry->if_name);
        if_freenameindex(table);
    }
    return names;
}

std::optional<std::vector<std::string>> HostSetup::networkSettingsCommand() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    return networkSettingsCommand(desktop ? desktop : "",
                                  [&folders](std::string_view program) -> std::optional<std::string> {
                                      std::size_t start = 0;
                                      while (start <= folders.size()) {
                                          auto end = folders.find(':', start);
                                          if (end == std::string::npos) end = folders.size();
                                          auto folder = folders.substr(start, end - start);
                                          start = end + 1;
                                          if (folder.empty()) continue;
                                          auto candidate = folder + "/" + std::string(program);
                                          if (access(candidate.c_str(), X_OK) == 0) return candidate;
                                      }
                                      return std::nullopt;
                                  });
}

namespace {
// Room for typing the password, and for nmcli, which waits up to 90 seconds for an activation.
constexpr std::chrono::milliseconds setupTimeLimit{120'000};
}  // namespace

HostSetup::CommandRunner HostSetup::systemRunner() {
    return {[](const std::string& path, const std::vector<std::string>& arguments,
               std::chrono::milliseconds timeLimit) { return ProcessRunner::run(path, arguments, timeLimit); },
            geteuid() == 0, [](std::string_view card) { return LinuxHost::carriesDefaultRoute(card); }};
}

void HostSetup::runAsAdministrator(std::string_view command, const CommandRunner& runner) {
    bool throughPkexec = !runner.isAdministrator;
    auto output = throughPkexec
                      ? runner.run("/usr/bin/pkexec", {"/bin/sh", "-c", std::string(command)}, setupTimeLimit)
                      : runner.run("/bin/sh", {"-c", std::string(command)}, setupTimeLimit);
    if (auto error = administratorError(output, throughPkexec)) throw *error;
}

std::optional<std::string> HostSetup::refusalNow(const NetworkCard& card) {
    return refusal(card, LinuxHost::carriesDefaultRoute(card.bsdName));
}

void HostSetup::runSetupCommand(const NetworkCard& card, std::string_view command, const CommandRunner& runner) {
    if (auto reason = refusal(card, runner.carriesDefaultRoute(card.bsdName))) throw HostSetupError(*reason, false);
    if (!runner.isAdministrator && settingsTool(card) == SettingsTool::networkManager) {
        // As GNOME's and KDE's settings do: the user's own NetworkManager rights, no root shell.
        // Untranslated, so that the refusal is recognised.
        auto output = runner.run("/usr/bin/env", {"LC_ALL=C", "/bin/sh", "-c", std::string(command)}, setupTimeLimit);
        if (!isNotAuthorised(output)) {
            if (auto error = administratorError(output, false)) throw *error;
            return;
        }
    }
    runAsAdministrator(command, runner);
}

void HostSetup::runAddressCommand(const NetworkCard& card, std::string_view command, const CommandRunner& runner) {
    if (auto reason = refusal(card, runner.carriesDefaultRoute(card.bsdName))) throw HostSetupError(*reason, false);
    if (!runner.isAdministrator) {
        auto output = runner.run("/usr/bin/env", {"LC_ALL=C", "/bin/sh", "-c", std::string(command)}, setupTimeLimit);
        bool refused = isNotAuthorised(output) || output.text.find("Operation not permitted") != std::string::npos;
        if (!refused) {
            if (auto error = administratorError(output, false)) throw *error;
            return;
        }
    }
    runAsAdministrator(command, runner);
}

}  // namespace anvil
#endif
