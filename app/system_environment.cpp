#include <filesystem>
#include <thread>

#include "app/model/app_environment.hpp"
#include "app/network_settings.hpp"
#include "core/addressing/system_clock.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interface_monitor.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/process_runner.hpp"
#include "core/host/system_makers.hpp"
#include "core/leases/lease_file.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/watch_service/bench_facts.hpp"

namespace anvil {

AppEnvironment AppEnvironment::system(Executor mainThread, std::function<void(double, Task)> mainThreadAfter,
                                      std::function<bool(const std::string&)> openURL,
                                      std::shared_ptr<SettingsStore> settings) {
    AppEnvironment env;
    env.mainThread = std::move(mainThread);
    env.mainThreadAfter = std::move(mainThreadAfter);
    // Host queries are short and rare; a detached thread per query keeps a hung one from blocking others.
    env.background = [](Task task) { std::thread(std::move(task)).detach(); };
    env.now = systemNow;
    env.listCards = [] { return Interfaces::list(); };
    env.benchFacts = [](const NetworkCard& card, std::optional<Subnet> served) { return BenchFacts::read(card, served); };
    env.gatherPreflight = [](const NetworkCard& card, const ServerConfig& config) {
        return Preflight::gather(card, config);
    };
    env.port67Holder = [] { return Preflight::port67Holder(); };
    env.makeServer = [](CardRun::Options options) { return std::make_unique<CardRun>(std::move(options)); };
    env.makeMonitor = [](Task onChange) { return std::make_unique<InterfaceMonitor>(std::move(onChange)); };
    env.knownServiceNames = [] { return HostSetup::knownServiceNames(); };
    env.runSetupCommand = [](const NetworkCard& card, const std::string& command) {
        HostSetup::runSetupCommand(card, command);
    };
    env.runAddressCommand = [](const NetworkCard& card, const std::string& command, bool mayAskAdministrator) {
        if (mayAskAdministrator) return HostSetup::runAddressCommand(card, command);
        // No prompt: the administrator's way is refused as if the user dismissed it.
        auto runner = HostSetup::systemRunner();
        auto run = runner.run;
        runner.run = [run](const std::string& path, const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeLimit) {
            auto name = std::filesystem::path(path).filename().string();
            if (name == "pkexec" || name == "osascript" || name == "sudo")
                return ProcessRunner::Output{-1, "not asked for the administrator's password", false};
            return run(path, arguments, timeLimit);
        };
        HostSetup::runAddressCommand(card, command, runner);
    };
    env.openURL = std::move(openURL);
    env.openNetworkSettings = networkSettingsOpener(
        env.platform,
        {env.openURL, HostSetup::networkSettingsCommand(),
         [](const std::vector<std::string>& command) {
             return !command.empty() && ProcessRunner::launch(command.front(), {command.begin() + 1, command.end()});
         },
         env.background});
    env.settings = std::move(settings);
    env.leaseFileURL = LeaseFile::defaultURL();
    env.logDirectory = LogFileWriter::defaultDirectory();
    env.maker = SystemMakers::lookup;
    // No update framework on Linux: the updater stays empty.
    return env;
}

}  // namespace anvil
