#pragma once
// Puts the application model in a state a test needs without producing it the long way: a run as
// the model records it after Start (no server needed to draw it), the server halfway through
// starting or stopping, an error alert, the cards, the checks or the configuration as given.
#include <optional>
#include <string>
#include <vector>

#include "app/app_model.hpp"

namespace anvil {

struct ModelStaging {
    static void running(AppModel& model, std::optional<Date> since) {
        model.serving_.running_ = since.has_value();
        model.serving_.startedAt_ = since;
    }
    static void changing(AppModel& model, bool starting, bool stopping) {
        model.serving_.starting_ = starting;
        model.serving_.stopping_ = stopping;
    }
    static void error(AppModel& model, std::string message, std::optional<std::string> command = std::nullopt) {
        model.alert_.message = std::move(message);
        if (command) model.alert_.failedCommand = std::move(command);
    }
    static void checks(AppModel& model, std::vector<PreflightCheck> checks) {
        model.checks_.checks_ = std::move(checks);
    }
    static void config(AppModel& model, ServerConfig config) { model.settings_.config_ = std::move(config); }
    static void cards(AppModel& model, std::vector<NetworkCard> cards) { model.cards_.take(std::move(cards)); }
};

}  // namespace anvil
