#include "app/network_settings.hpp"

#include <utility>

namespace anvil {

std::function<void()> networkSettingsOpener(Platform platform, NetworkSettingsMeans means) {
    if (platform == Platform::macOS) {
        if (!means.openURL) return nullptr;
        return [openURL = std::move(means.openURL)] {
            if (!openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork"))
                openURL("x-apple.systempreferences:com.apple.preference.security");
        };
    }
    if (!means.command || !means.launch || !means.background) return nullptr;
    // Starting a program is a child process: never on the main thread.
    return [command = std::move(*means.command), launch = std::move(means.launch),
            background = std::move(means.background)] { background([command, launch] { launch(command); }); };
}

}  // namespace anvil
