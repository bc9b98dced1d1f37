#if defined(__linux__)
#include "core/host/linux/network_manager.hpp"

#include <unistd.h>

#include "core/addressing/text_pieces.hpp"
#include "core/host/linux/host_values.hpp"
#include "core/host/process_runner.hpp"

namespace anvil {

namespace {

const std::string nmcli = "/usr/bin/nmcli";

// nmcli translates words such as "running" into the user's language; the parsers read the untranslated ones.
ProcessRunner::Output runNmcli(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"LC_ALL=C", nmcli});
    return ProcessRunner::run("/usr/bin/env", arguments);
}

}  // namespace

bool NetworkManager::isRunning() {
    if (access(nmcli.c_str(), X_OK) != 0) return false;
    auto output = runNmcli({"-t", "-f", "RUNNING", "general"});
    return output.status == 0 && output.text.substr(0, 7) == "running";
}

Interfaces::ServiceMap NetworkManager::services() {
    Interfaces::ServiceMap map;
    auto devices = runNmcli({"-t", "-f", "DEVICE,CONNECTION", "device"});
    if (devices.status != 0) return map;
    for (const auto& [device, connection] : LinuxHost::nmcliDeviceConnections(devices.text)) {
        auto settings = runNmcli({"-t", "-f", "ipv4.method,ipv4.addresses", "connection", "show", "id", connection});
        auto method =
            settings.status == 0 ? LinuxHost::nmcliConfigMethod(settings.text) : NetworkCard::ConfigMethod::none();
        map.emplace(device, Interfaces::ServiceConfiguration{connection, method});
    }
    return map;
}

std::vector<std::string> NetworkManager::connectionNames() {
    std::vector<std::string> names;
    auto output = runNmcli({"-t", "-f", "NAME", "connection", "show"});
    if (output.status != 0) return names;
    for (auto line : splitText(output.text, '\n', EmptyPieces::drop)) {
        auto fields = LinuxHost::nmcliFields(line);
        if (!fields.empty() && !fields[0].empty()) names.push_back(fields[0]);
    }
    return names;
}

}  // namespace anvil
#endif
