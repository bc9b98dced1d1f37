#include "core/addressing/address_json.hpp"

#include <nlohmann/json.hpp>

#include "core/addressing/decoding_error.hpp"

namespace anvil {

namespace {

template <typename Value>
Value decodeText(const nlohmann::json& json, const char* prefix) {
    if (!json.is_string()) throw DecodingError(std::string(prefix) + json.dump());
    const auto& text = json.get_ref<const std::string&>();
    auto value = Value::parse(text);
    if (!value) throw DecodingError(std::string(prefix) + text);
    return *value;
}

}  // namespace

void to_json(nlohmann::json& json, const IPv4Address& ip) { json = ip.description(); }

void from_json(const nlohmann::json& json, IPv4Address& ip) {
    ip = decodeText<IPv4Address>(json, "Not an IPv4 address: ");
}

void to_json(nlohmann::json& json, const MACAddress& mac) { json = mac.description(); }

void from_json(const nlohmann::json& json, MACAddress& mac) {
    mac = decodeText<MACAddress>(json, "Not a MAC address: ");
}

}  // namespace anvil
