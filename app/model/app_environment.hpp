#pragma once
// Everything the application model asks of the host and the toolkit, so that the model itself
// needs neither: the real one is AppEnvironment::system, tests give fakes.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/settings_store.hpp"
#include "app/updater.hpp"
#include "core/addressing/date.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/addressing/server_config.hpp"
#include "core/host/network_card.hpp"
#include "core/host/preflight.hpp"
#include "core/platform.hpp"
#include "core/run/card_run.hpp"
#include "core/watch/neighbour_advice.hpp"

namespace anvil {

class InterfaceMonitor;

struct AppEnvironment {
    using Task = std::function<void()>;
    using Executor = std::function<void(Task)>;

    Executor mainThread;
    // Runs a task on the main thread after a delay in seconds.
    std::function<void(double, Task)> mainThreadAfter;
    // Runs a task away from the main thread.
    Executor background;
    std::function<Date()> now;
    std::function<std::vector<NetworkCard>()> listCards;
    // What this computer uses off the card, for the advice (BenchFacts::read); the card's own
    // addresses alone when null.
    std::function<CableFacts(const NetworkCard& card, std::optional<Subnet> served)> benchFacts;
    std::function<PreflightInput(const NetworkCard&, const ServerConfig&)> gatherPreflight;
    std::function<std::optional<std::string>()> port67Holder;
    std::function<std::unique_ptr<CardRun>(CardRun::Options)> makeServer;
    // Null when the host's card changes cannot be watched.
    std::function<std::unique_ptr<InterfaceMonitor>(Task onChange)> makeMonitor;
    std::function<std::vector<std::string>()> knownServiceNames;
    // Runs a setup command for a card with the least rights that work; throws HostSetupError.
    std::function<void(const NetworkCard& card, const std::string& command)> runSetupCommand;
    // Adds or removes a second address of the card (HostSetup::runAddressCommand): with the user's
    // rights, and as administrator only when refused and `mayAskAdministrator`; throws HostSetupError.
    std::function<void(const NetworkCard& card, const std::string& command, bool mayAskAdministrator)>
        runAddressCommand;
    // Asks the user for a file on the main thread without waiting: `chosen` gets the answer there
    // later, nothing when cancelled. Returns a call that withdraws the question unanswered.
    std::function<std::function<void()>(const std::string& title,
                                        std::function<void(std::optional<std::filesystem::path>)> chosen)>
        chooseFile;
    // False when nothing could open the address.
    std::function<bool(const std::string& url)> openURL;
    // Picks the wording of texts that name the system's own features.
    Platform platform = hostPlatform;
    // Opens the settings that can lift a block on DHCP broadcasts (networkSettingsOpener), without
    // blocking the main thread; null when there are none, and the buttons that would open them are hidden.
    std::function<void()> openNetworkSettings;
    std::shared_ptr<SettingsStore> settings;
    std::filesystem::path leaseFileURL;
    std::filesystem::path logDirectory;
    // Who made a device's hardware; null when makers are not known.
    MakerLookup maker;
    // Empty where the system has no updater.
    Updater updater;

    // The real host: cards, preflight, servers, pkexec; the caller supplies the executors,
    // the URL opener and the settings store.
    static AppEnvironment system(Executor mainThread, std::function<void(double, Task)> mainThreadAfter,
                                 std::function<bool(const std::string&)> openURL,
                                 std::shared_ptr<SettingsStore> settings);
};

}  // namespace anvil
