#pragma once
// How this computer opens the settings that can lift a block on DHCP broadcasts: the one place
// where the platform decides it.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/platform.hpp"

namespace anvil {

// What an opener may use.
struct NetworkSettingsMeans {
    // False when nothing could open the address.
    std::function<bool(const std::string& url)> openURL;
    // The program (and its arguments) that shows a Linux desktop's network settings; absent when none is installed.
    std::optional<std::vector<std::string>> command;
    // Starts such a program without waiting for it; false when it could not start.
    std::function<bool(const std::vector<std::string>& command)> launch;
    // Runs a task away from the main thread.
    std::function<void(std::function<void()>)> background;
};

// macOS opens its Local Network privacy pane; Linux starts the settings program off the main
// thread. Null when there is nothing to open.
std::function<void()> networkSettingsOpener(Platform platform, NetworkSettingsMeans means);

}  // namespace anvil
