#pragma once
// JSON form of a server configuration: "router" is left out when absent.
#include <nlohmann/json_fwd.hpp>

#include "core/addressing/server_config.hpp"

namespace anvil {

void to_json(nlohmann::json& json, const ServerConfig& config);
// Throws DecodingError when a required key is missing or a value has the wrong form.
void from_json(const nlohmann::json& json, ServerConfig& config);

}  // namespace anvil
