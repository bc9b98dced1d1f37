#pragma once
// What every controller of the application model shares: the host, the way back to the main
// thread, the read-out of serving, the log, the error alert, and the signal that tells the screens
// which parts changed.
#include <functional>
#include <optional>
#include <string>

#include "app/model/app_environment.hpp"
#include "app/model/background.hpp"
#include "app/model/log_buffer.hpp"
#include "app/model_change.hpp"
#include "app/state/anvil_state.hpp"
#include "core/events/event_log.hpp"

namespace anvil {

// The alert the window shows for a failed operation, with the terminal line that would do it by hand.
struct ErrorAlert {
    std::optional<std::string> message;
    std::optional<std::string> failedCommand;
};

struct ModelContext {
    AppEnvironment& env;
    Background& background;
    AnvilState& state;
    LogBuffer& log;
    ErrorAlert& alert;
    std::function<void(ModelChange)> onChange;

    void changed(ModelChange parts) const {
        if (onChange) onChange(parts);
    }
    // Adds an event-log line under `label` without announcing it; the caller names ModelChange::log.
    void logLine(const std::string& label, const std::string& text) const {
        log.add(EventLog::line(label, text, env.now()), LogLine::Kind::other);
    }
};

}  // namespace anvil
