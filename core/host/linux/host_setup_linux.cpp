#if defined(__linux__)
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>

#include "core/host/host_setup.hpp"
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

void HostSetup::runAsAdministrator(std::string_view command) {
    // Room for typing the password, and for nmcli, which waits up to 90 seconds for an activation.
    constexpr std::chrono::milliseconds timeLimit{120'000};
    bool throughPkexec = geteuid() != 0;
    auto output = throughPkexec
                      ? ProcessRunner::run("/usr/bin/pkexec", {"/bin/sh", "-c", std::string(command)}, timeLimit)
                      : ProcessRunner::run("/bin/sh", {"-c", std::string(command)}, timeLimit);
    if (auto error = administratorError(output, throughPkexec)) throw *error;
}

}  // namespace anvil
#endif
