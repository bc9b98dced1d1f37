#pragma once
// The screens' texts that name the system's own features, in one place: macOS has Local Network
// privacy and System Settings; Linux has neither, and says what is true there.
#include <optional>
#include <string>

#include "core/platform.hpp"

namespace anvil {

struct ScreenTexts {
    // Under the checklist; absent where no permission is asked for.
    std::optional<std::string> startAccessNote;
    std::string waitingHint;
    // Opens the settings that can lift a block on DHCP broadcasts: in the banner and under the hint.
    std::string bannerSettingsButton;
    std::string hintSettingsButton;
    // Where nothing is selected yet: a card name that exists on the platform.
    std::string fallbackCaptureInterface;

    static ScreenTexts forPlatform(Platform platform) {
        if (platform == Platform::macOS)
            return {"Local Network access is requested when you press Start",
                    "Nothing has arrived for over a minute. Try power-cycling the device, check that it uses DHCP, "
                    "and check Local Network access for DHCP Anvil.",
                    "Open System Settings", "Local Network settings", "en0"};
        return {std::nullopt,
                "Nothing has arrived for over a minute. Try power-cycling the device, check that it uses DHCP, "
                "and check that no firewall on this computer drops DHCP broadcasts.",
                "Open Network Settings", "Network settings", "any"};
    }
};

}  // namespace anvil
