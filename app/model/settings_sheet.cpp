// The configuration, its settings sheet and its store.
#include "app/model/settings_sheet.hpp"

#include <algorithm>
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
    auto problems = SettingsForm::from(config_).evaluate().messages();
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
    messages_ = {};
    context_.changed(ModelChange::settings | ModelChange::dialogs);
}

SettingsSheet::Messages SettingsSheet::save(const SettingsForm& form) {
    auto evaluation = form.evaluate();
    auto messages = evaluation.messages();
    if (!evaluation.config || !messages.empty()) return messages;
    store(*evaluation.config);
    open_ = false;
    messages_ = {};
    return {};
}

void SettingsSheet::store(const ServerConfig& config) {
    config_ = config;
    context_.env.settings->setValue(SettingsStore::serverConfigKey, nlohmann::json(config_).dump());
}

const Pin* SettingsSheet::pinFor(const MACAddress& mac) const {
    for (const auto& pin : config_.pins)
        if (pin.mac == mac) return &pin;
    return nullptr;
}

std::optional<std::string> SettingsSheet::pin(const MACAddress& mac, IPv4Address ip, const std::string& label) {
    auto changed = config_;
    auto found = std::find_if(changed.pins.begin(), changed.pins.end(), [&](const Pin& pin) { return pin.mac == mac; });
    if (found != changed.pins.end())
        found->ip = ip;
    else
        changed.pins.push_back(Pin{mac, std::nullopt, ip, label});
    auto problems = changed.validate();
    if (!problems.empty())
        return "Can't pin " + mac.description() + " to " + ip.description() + ": " + problems.front().description();
    store(changed);
    return std::nullopt;
}

std::optional<std::string> SettingsSheet::unpin(const MACAddress& mac) {
    auto changed = config_;
    std::erase_if(changed.pins, [&](const Pin& pin) { return pin.mac == mac; });
    if (changed == config_) return std::nullopt;
    // Taking a pin away cannot make a valid configuration invalid, but a stored one may not be valid.
    auto problems = changed.validate();
    if (!problems.empty()) return "Can't unpin " + mac.description() + ": " + problems.front().description();
    store(changed);
    return std::nullopt;
}

}  // namespace anvil
