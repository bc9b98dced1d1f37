#if defined(__linux__)
#include <net/if.h>
#include <unistd.h>

#include "core/host/host_setup.hpp"
#include "core/host/linux/network_manager.hpp"

namespace anvil {

HostSetup::SettingsTool HostSetup::settingsTool() {
    return NetworkManager::isRunning() ? SettingsTool::networkManager : SettingsTool::ipRoute;
}

std::vector<std::string> HostSetup::knownServiceNames() {
    if (NetworkManager::isRunning()) return NetworkManager::connectionNames();
    // Without NetworkManager each interface is its own service.
    std::vector<std::string> names;
    if (auto* table = if_nameindex()) {
        for (auto* entry = table; entry->if_index != 0 && entry->if_name; ++entry) names.emplace_back(entry->if_name);
        if_freenameindex(table);
    }
    return names;
}

void HostSetup::runAsAdministrator(std::string_view command) {
    bool throughPkexec = geteuid() != 0;
    auto output = throughPkexec ? ProcessRunner::run("/usr/bin/pkexec", {"/bin/sh", "-c", std::string(command)})
                                : ProcessRunner::run("/bin/sh", {"-c", std::string(command)});
    if (auto error = administratorError(output, throughPkexec)) throw *error;
}

}  // namespace anvil
#endif
