#if defined(__linux__)
#include "core/host/linux/network_manager.hpp"

#include <unistd.h>

#include "core/addressing/text_pieces.hpp"
#include "core/host/linux/host_values.hpp"
#include "core/host/linux/text_file.hpp"
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

std::map<std::string, std::optional<Interfaces::ServiceConfiguration>, std::less<>> NetworkManager::services() {
    std::map<std::string, std::optional<Interfaces::ServiceConfiguration>, std::less<>> map;
    auto devices = runNmcli({"-t", "-f", "DEVICE,STATE,CON-UUID", "device"});
    if (devices.status != 0) return map;
    auto listed = runNmcli(
        {"-t", "-f", "NAME,UUID,TYPE,AUTOCONNECT,AUTOCONNECT-PRIORITY,TIMESTAMP,DEVICE", "connection", "show"});
    auto profiles = listed.status == 0 ? LinuxHost::nmcliProfiles(listed.text) : std::vector<LinuxHost::NMProfile>{};
    // What ties an Ethernet profile to a card is read only for those that could be a card's service.
    for (auto& profile : profiles) {
        if (profile.type != "802-3-ethernet") continue;
        auto settings =
            LinuxHost::nmcliSettings(runNmcli({"-t", "-f", "connection.interface-name,802-3-ethernet.mac-address",
                                               "connection", "show", "uuid", profile.uuid})
                                         .text);
        profile.interfaceName = settings["connection.interface-name"];
        profile.macAddress = settings["802-3-ethernet.mac-address"];
    }
    for (const auto& device : LinuxHost::nmcliDevices(devices.text)) {
        if (!device.isManaged()) continue;
        auto mac = LinuxHost::readTextFile("/sys/class/net/" + device.name + "/address", 64).value_or("");
        if (auto end = mac.find('\n'); end != std::string::npos) mac.erase(end);
        const auto* profile = LinuxHost::serviceProfile(device, mac, profiles);
        if (!profile) {
            map.emplace(device.name, std::nullopt);
            continue;
        }
        auto settings =
            runNmcli({"-t", "-f", "ipv4.method,ipv4.addresses", "connection", "show", "uuid", profile->uuid});
        auto method =
            settings.status == 0 ? LinuxHost::nmcliConfigMethod(settings.text) : NetworkCard::ConfigMethod::none();
        map.emplace(device.name, Interfaces::ServiceConfiguration{profile->name, method, profile->uuid});
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
