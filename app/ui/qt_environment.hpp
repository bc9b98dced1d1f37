#pragma once
// The Qt side of the model's environment: main-thread posting, QSettings, URL opening.
#include <memory>

#include "app/app_model.hpp"

namespace anvil {

// The settings store's keys (the configuration, the card, the window's layout) as QSettings values.
std::shared_ptr<SettingsStore> makeQtSettingsStore();

// The real host, with tasks posted to the application's main thread.
AppModel::Environment qtSystemEnvironment(std::shared_ptr<SettingsStore> settings);

// A file dialog modal to the main window, titled `title` as written; the answer goes to `chosen`.
// Returns a call that closes it unanswered.
std::function<void()> chooseFileInWindow(const std::string& title,
                                         std::function<void(std::optional<std::filesystem::path>)> chosen);

// Posts a task to the main thread; safe from any thread.
void postToMainThread(std::function<void()> task);

}  // namespace anvil
