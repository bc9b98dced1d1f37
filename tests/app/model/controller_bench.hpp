#pragma once
// What a controller of the application model needs around it, without the rest of the model: an
// environment whose main thread and timers are queues the test runs, and the shared context.
#include <deque>
#include <memory>
#include <vector>

#include "app/model/model_context.hpp"

namespace anvil {

struct ControllerBench {
    std::deque<AppEnvironment::Task> mainThread;
    std::deque<AppEnvironment::Task> timers;
    // Background work waits here until the test lets it run.
    std::deque<AppEnvironment::Task> away;
    Date clock{1'700'000'000};
    std::vector<ModelChange> told;
    AppEnvironment env = [this] {
        AppEnvironment made;
        made.mainThread = [this](AppEnvironment::Task task) { mainThread.push_back(std::move(task)); };
        made.mainThreadAfter = [this](double, AppEnvironment::Task task) { timers.push_back(std::move(task)); };
        made.background = [this](AppEnvironment::Task task) { away.push_back(std::move(task)); };
        made.now = [this] { return clock; };
        made.settings = std::make_shared<MemorySettingsStore>();
        return made;
    }();
    std::unique_ptr<Background> background = std::make_unique<Background>(env);
    AnvilState state;
    LogBuffer log;
    ErrorAlert alert;
    ModelContext context{env, *background, state, log, alert, [this](ModelChange parts) { told.push_back(parts); }};

    static void runAll(std::deque<AppEnvironment::Task>& tasks) {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            task();
        }
    }
    // The background work, then what it sent back to the main thread.
    void settle() {
        runAll(away);
        runAll(mainThread);
    }
};

}  // namespace anvil
