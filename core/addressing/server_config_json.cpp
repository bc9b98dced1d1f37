#include "core/addressing/server_config_json.hpp"

#include <limits>
#include <nlohmann/json.hpp>

#include "core/addressing/address_json.hpp"
#include "core/addressing/boot_config_check.hpp"
#include "core/addressing/decoding_error.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/user_option_text.hpp"

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

std::string text(const nlohmann::json& json, const char* key) {
    const auto& value = required(json, key);
    if (!value.is_string()) throw DecodingError(std::string("Not a text: ") + key);
    return value.get<std::string>();
}

// Decoding refuses what the server could not use, so a hand-edited file cannot start it half-set.
void refuse(const std::optional<std::string>& problem) {
    if (problem) throw DecodingError("Boot settings: " + *problem);
}

nlohmann::json bootJSON(const BootConfig& boot) {
    nlohmann::json json = nlohmann::json::object();
    json["folder"] = boot.folder;
    if (boot.fileForAll) json["fileForAll"] = *boot.fileForAll;
    nlohmann::json files = nlohmann::json::object();
    for (const auto& [kind, name] : boot.files) files[std::string(rawValue(kind))] = name;
    json["files"] = std::move(files);
    json["blockSizeCeiling"] = boot.blockSizeCeiling;
    return json;
}

BootConfig bootFromJSON(const nlohmann::json& json) {
    if (!json.is_object()) throw DecodingError("Expected an object for the boot settings");
    BootConfig boot;
    boot.folder = text(json, "folder");
    refuse(bootFolderProblem(boot.folder));
    if (auto all = json.find("fileForAll"); all != json.end() && !all->is_null()) {
        boot.fileForAll = text(json, "fileForAll");
        refuse(bootFileNameProblem(*boot.fileForAll));
    }
    if (auto files = json.find("files"); files != json.end()) {
        if (!files->is_object()) throw DecodingError("Expected an object of boot kinds: files");
        for (const auto& [name, value] : files->items()) {
            auto kind = bootKindFromRaw(name);
            if (!kind) throw DecodingError("Not a boot kind: " + nlohmann::json(name).dump());
            if (!value.is_string()) throw DecodingError("Not a text: files." + std::string(rawValue(*kind)));
            refuse(bootFileNameProblem(value.get_ref<const std::string&>()));
            boot.files[*kind] = value.get<std::string>();
        }
    }
    if (json.contains("blockSizeCeiling"))
        boot.blockSizeCeiling = static_cast<std::uint16_t>(
            wholeNumber(json, "blockSizeCeiling", smallestBlockSizeCeiling, largestBlockSizeCeiling));
    return boot;
}

// Each option as the settings show it: match, code, value as typed, and whether it is always sent;
// read back through the same reader, so a file holds nothing the form would refuse.
nlohmann::json userOptionJSON(const UserOption& option) {
    return {{"match", matchText(option.match)}, {"code", option.code}, {"value", valueText(option)}, {"always", option.always}};
}

UserOption userOptionFromJSON(const nlohmann::json& json) {
    if (!json.is_object()) throw DecodingError("Expected an object for a user option");
    for (const auto& [key, value] : json.items())
        if (key != "match" && key != "code" && key != "value" && key != "always")
            throw DecodingError("Unknown key in a user option: " + nlohmann::json(key).dump());
    auto code = wholeNumber(json, "code", 1, 254);
    bool always = false;
    if (auto flag = json.find("always"); flag != json.end()) {
        if (!flag->is_boolean()) throw DecodingError("Expected true or false: always");
        always = flag->get<bool>();
    }
    auto reading = readUserOption(text(json, "match"), std::to_string(code), text(json, "value"), always);
    if (!reading.option) throw DecodingError("User option " + std::to_string(code) + ": " + reading.error);
    return *reading.option;
    }
nlohmann::json pinJSON(const Pin& pin) {
    nlohmann::json json = {{"device", deviceText(pin)}, {"ip", pin.ip}};
    if (!pin.label.empty()) json["label"] = pin.label;
    return json;
}

// Read as a settings row is, so the file refuses what the form would.
Pin pinFromJSON(const nlohmann::json& json) {
    if (!json.is_object()) throw DecodingError("Expected an object for a pin");
    for (const auto& [key, value] : json.items())
        if (key != "device" && key != "ip" && key != "label") throw DecodingError("Not a pin key: " + key);
    auto label = json.contains("label") ? text(json, "label") : std::string();
    auto reading = readPin(text(json, "device"), text(json, "ip"), label);
    if (!reading.pin) throw DecodingError("Pin: " + reading.error);
    return *reading.pin;
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
    if (config.boot) json["boot"] = bootJSON(*config.boot);
    // Written only when off, so files from before stay as they were.
    if (!config.answerBOOTP) json["answerBOOTP"] = false;
    if (!config.userOptions.empty()) {
        auto& options = json["userOptions"] = nlohmann::json::array();
        for (const auto& option : config.userOptions) options.push_back(userOptionJSON(option));
    }
    if (!config.pins.empty()) {
        auto& pins = json["pins"] = nlohmann::json::array();
        for (const auto& pin : config.pins) pins.push_back(pinJSON(pin));
    }
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
    // Files written before network boot have no such key: it stays off.
    if (auto boot = json.find("boot"); boot != json.end() && !boot->is_null()) decoded.boot = bootFromJSON(*boot);
    if (auto bootp = json.find("answerBOOTP"); bootp != json.end()) {
        if (!bootp->is_boolean()) throw DecodingError("Expected true or false: answerBOOTP");
        decoded.answerBOOTP = bootp->get<bool>();
    }
    if (auto options = json.find("userOptions"); options != json.end()) {
        if (!options->is_array()) throw DecodingError("Expected a list of user options: userOptions");
        for (const auto& option : *options) decoded.userOptions.push_back(userOptionFromJSON(option));
    }
    if (auto pins = json.find("pins"); pins != json.end()) {
        if (!pins->is_array()) throw DecodingError("Expected a list: pins");
        for (const auto& pin : *pins) decoded.pins.push_back(pinFromJSON(pin));
    }
    config = std::move(decoded);
}

}  // namespace anvil
