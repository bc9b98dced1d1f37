#pragma once
// How urgent a device's log line is, in syslog's eight levels; smaller is more urgent.
#include <optional>
#include <string_view>

namespace anvil {

enum class Severity { emerg, alert, crit, err, warning, notice, info, debug };

// "emerg", "alert", "crit", "err", "warning", "notice", "info", "debug".
std::string_view rawValue(Severity severity);
std::optional<Severity> severityFromRaw(std::string_view text);

// Warnings and worse: what a lease row marks.
constexpr bool isWarningOrWorse(Severity severity) { return severity <= Severity::warning; }

}  // namespace anvil
