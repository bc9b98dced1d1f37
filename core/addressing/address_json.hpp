#pragma once
// JSON coding of addresses: each is stored as its canonical text.
#include <nlohmann/json_fwd.hpp>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

void to_json(nlohmann::json& json, const IPv4Address& ip);
// Throws DecodingError "Not an IPv4 address: <text>".
void from_json(const nlohmann::json& json, IPv4Address& ip);

void to_json(nlohmann::json& json, const MACAddress& mac);
// Throws DecodingError "Not a MAC address: <text>".
void from_json(const nlohmann::json& json, MACAddress& mac);

}  // namespace anvil
