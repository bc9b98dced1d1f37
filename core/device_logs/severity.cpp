#include "core/device_logs/severity.hpp"

#include <array>

namespace anvil {

namespace {

constexpr std::array<std::string_view, 8> names{"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

}  // namespace

std::string_view rawValue(Severity severity) { return names[static_cast<std::size_t>(severity)]; }

std::optional<Severity> severityFromRaw(std::string_view text) {
    for (std::size_t level = 0; level < names.size(); ++level)
        if (names[level] == text) return static_cast<Severity>(level);
    return std::nullopt;
}

}  // namespace anvil
