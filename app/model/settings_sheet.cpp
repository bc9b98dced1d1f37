// The configuration, its settings sheet and its store.
#include "app/model/settings_sheet.hpp"

#include <nlohmann/json.hpp>

#include "core/addressing/server_config_json.hpp"

namespace anvil {

namespace {

ServerConfig storedConfig(const SettingsStore& settings) {
    auto text = settings.value(SettingsStore::serverConfigKey);
    if (!text) return defaultServerConfig();
    try {
        return nlohmann::json::parse(*text).get<ServerConfig>();
    } catch (const std::exception&) {
        return defaultServerConfig();
    }
}

}  // namespace

SettingsSheet::SettingsSheet(ModelContext& context) : context_(context), config_(storedConfig(*context.env.settings)) {}

bool SettingsSheet::refusesToServe() {
    // The stored configuration may come from an older version or a hand edit: never serve it unchecked.
    auto problems = SettingsForm::from(config_).evaluate().errors;
    if (problems.empty()) return false;
    messages_ = std::move(problems);
    open_ = true;
    context_.changed(ModelChange::settings | ModelChange::dialogs);
    return true;
}

void SettingsSheet::open() {
    if (open_) return;
    open_ = true;
    context_.changed(ModelChange::settings | ModelChange::dialogs);
}

void SettingsSheet::close() {
    if (!open_ && messages_.empty()) return;
    open_ = false;
    messages_.clear();
    context_.changed(ModelChange::settings | ModelChange::dialogs);
}

SettingsSheet::Messages SettingsSheet::save(const SettingsForm& form) {
    auto evaluation = form.evaluate();
    if (!evaluation.config || !evaluation.errors.empty()) return evaluation.errors;
    config_ = *evaluation.config;
    context_.env.settings->setValue(SettingsStore::serverConfigKey, nlohmann::json(config_).dump());
    open_ = false;
    messages_.clear();
    return {};
}

}  // namespace anvil
