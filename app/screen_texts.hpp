#pragma once
// The screens' texts that name the system's own features, and the menu bar in the system's
// conventions, in one place: macOS has Local Network privacy, System Settings and an application
// menu; Linux has none of these, and says what is true there.
#include <optional>
#include <string>
#include <vector>

#include "core/platform.hpp"

namespace anvil {

// What a menu entry does; the screens make one action for each.
enum class MenuCommand { about, checkForUpdates, settings, quit, start, stop };

struct MenuEntry {
    MenuCommand command;
    std::string text;
    // In the toolkit's portable notation ("Ctrl+R", "Esc"); Ctrl is the Command key on macOS.
    std::vector<std::string> shortcuts;
    bool separatorBefore = false;
};

struct Menu {
    std::string name;  // for the screens' tests
    std::string title;
    std::vector<MenuEntry> entries;
};

struct ScreenTexts {
    // Under the checklist; absent where no permission is asked for.
    std::optional<std::string> startAccessNote;
    std::string waitingHint;
    // Opens the settings that can lift a block on DHCP broadcasts: in the banner and under the hint.
    std::string bannerSettingsButton;
    std::string hintSettingsButton;
    // Where nothing is selected yet: a card name that exists on the platform.
    std::string fallbackCaptureInterface;
    // The menu bar, left to right.
    std::vector<Menu> menus;

    static ScreenTexts forPlatform(Platform platform) {
        if (platform == Platform::macOS)
            return {.startAccessNote = "Local Network access is requested when you press Start",
                    .waitingHint =
                        "Nothing has arrived for over a minute. Try power-cycling the device, check that "
                        "it uses DHCP, and check Local Network access for DHCP Anvil.",
                    .bannerSettingsButton = "Open System Settings",
                    .hintSettingsButton = "Local Network settings",
                    .fallbackCaptureInterface = "en0",
                    // The application menu holds About, Settings and Quit.
                    .menus = {{"appMenu",
                               "DHCP Anvil",
                               {{MenuCommand::about, "About DHCP Anvil", {}},
                                {MenuCommand::checkForUpdates, "Check for Updates…", {}},
                                {MenuCommand::settings, "Settings", {"Ctrl+,"}},
                                {MenuCommand::quit, "Quit", {"Ctrl+Q"}, true}}},
                              {"serverMenu",
                               "Server",
                               {{MenuCommand::start, "Start", {"Ctrl+R"}}, {MenuCommand::stop, "Stop", {"Ctrl+."}}}}}};
        return {
            .startAccessNote = std::nullopt,
            .waitingHint =
                "Nothing has arrived for over a minute. Try power-cycling the device, check that it "
                "uses DHCP, and check that no firewall on this computer drops DHCP broadcasts.",
            .bannerSettingsButton = "Open Network Settings",
            .hintSettingsButton = "Network settings",
            .fallbackCaptureInterface = "any",
            // The desktop conventions of Linux: File, Edit, Server, Help, each with its mnemonic.
            .menus = {{"fileMenu", "&File", {{MenuCommand::quit, "&Quit", {"Ctrl+Q"}}}},
                      {"editMenu", "&Edit", {{MenuCommand::settings, "&Preferences…", {"Ctrl+,"}}}},
                      {"serverMenu",
                       "&Server",
                       {{MenuCommand::start, "&Start", {"Ctrl+R"}}, {MenuCommand::stop, "S&top", {"Ctrl+T", "Esc"}}}},
                      {"helpMenu",
                       "&Help",
                       {{MenuCommand::checkForUpdates, "Check for Updates…", {}},
                        {MenuCommand::about, "&About DHCP Anvil", {}}}}}};
    }
};

}  // namespace anvil
