#pragma once
// Dates in the lease file's text form: UTC with whole seconds, as 2025-01-02T03:04:05Z.
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"

namespace anvil {

// Drops any fraction of a second; years outside 0000-9999 are clamped so the text always reads back.
std::string formatInternetDate(Date date);
// Nothing unless exactly YYYY-MM-DDTHH:MM:SSZ naming a real calendar moment.
std::optional<Date> parseInternetDate(std::string_view text);

}  // namespace anvil
