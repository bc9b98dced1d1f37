#include "core/addressing/server_config_json.hpp"

#include <limits>
#include <nlohmann/json.hpp>

#include "core/addressing/address_json.hpp"
#include "core/addressing/decoding_error.hpp"

namespace anvil {

namespace {

const nlohmann::json& required(const nlohmann::json& json, const char* key) {
    auto found = json.find(key);
    if (found == json.end()) throw DecodingError(std::string("Missing key: ") + key);
    return *found;
}

// Whole numbers only: nlohmann-json would otherwise read 12.7 as 12 and -1 as a huge unsigned.
long long wholeNumber(const nlohmann::json& json, const char* key, long long lowest, long long highest) {
    const auto& value = required(json, key);
    if (!value.is_number_integer()) throw DecodingError(std::string("Not a whole number: ") + key);
    if (value.is_number_unsigned()) {
        auto number = value.get<unsigned long long>();
        if (number > static_cast<unsigned long long>(highest))
            throw DecodingError(std::string("Number out of range: ") + key);
        return static_cast<long long>(number);
    }
    auto number = value.get<long long>();
    if (number < lowest || number > highest) throw DecodingError(std::string("Number out of range: ") + key);
    return number;
}

}  // namespace

void to_json(nlohmann::json& json, const ServerConfig& config) {
    json = nlohmann::json::object();
    json["serverIP"] = config.serverIP;
    json["prefixLength"] = config.prefixLength;
    json["rangeStart"] = config.rangeStart;
    json["rangeEnd"] = config.rangeEnd;
    json["leaseSeconds"] = config.leaseSeconds;
    if (config.router) json["router"] = *config.router;
    json["dns"] = config.dns;
}

void from_json(const nlohmann::json& json, ServerConfig& config) {
    if (!json.is_object()) throw DecodingError("Expected an object for the server configuration");
    ServerConfig decoded;
    decoded.serverIP = required(json, "serverIP").get<IPv4Address>();
    decoded.prefixLength = static_cast<int>(
        wholeNumber(json, "prefixLength", std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    decoded.rangeStart = required(json, "rangeStart").get<IPv4Address>();
    decoded.rangeEnd = required(json, "rangeEnd").get<IPv4Address>();
    decoded.leaseSeconds = static_cast<std::uint32_t>(wholeNumber(json, "leaseSeconds", 0, UINT32_MAX));
    if (auto router = json.find("router"); router != json.end() && !router->is_null())
        decoded.router = router->get<IPv4Address>();
    const auto& dns = required(json, "dns");
    if (!dns.is_array()) throw DecodingError("Expected a list of addresses: dns");
    decoded.dns = dns.get<std::vector<IPv4Address>>();
    config = std::move(decoded);
}

}  // namespace anvil
