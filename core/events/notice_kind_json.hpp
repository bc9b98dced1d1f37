#pragma once
// JSON coding of a notice kind: stored as its raw value.
#include <nlohmann/json_fwd.hpp>

#include "core/events/notice.hpp"

namespace anvil {

void to_json(nlohmann::json& json, NoticeKind kind);
// Throws DecodingError "Not a notice kind: <text>".
void from_json(const nlohmann::json& json, NoticeKind& kind);

}  // namespace anvil
