#include "core/leases/lease_file_format.hpp"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "core/addressing/address_json.hpp"
#include "core/addressing/decoding_error.hpp"
#include "core/leases/internet_date.hpp"

namespace anvil::LeaseFileFormat {

namespace {

using nlohmann::json;

// The file is three levels deep; anything far deeper is not ours and is refused before
// the parser builds it.
constexpr int deepestNesting = 32;

// ---- Encoding ---------------------------------------------------------------------------

// The layout is written here because nlohmann's pretty printer cannot put a space before the
// colon; only its string escaping is reused. Client-supplied texts that are not UTF-8 are
// written with replacement characters rather than making the save fail.
void appendQuoted(std::string& out, std::string_view text) {
    bool plain =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (plain) {
        out += '"';
        out += text;
        out += '"';
    } else {
        out += json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    }
}

void appendIndent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 2, ' '); }

struct Field {
    std::string_view key;
    std::string_view text;
};

// One object of text fields, keys in sorted order, at the given depth.
template <std::size_t capacity>
void appendObject(std::string& out, std::array<Field, capacity> fields, std::size_t count, int depth) {
    // At most nine fields: an insertion sort is enough.
    for (std::size_t index = 1; index < count; ++index)
        for (std::size_t slot = index; slot > 0 && fields[slot].key < fields[slot - 1].key; --slot)
            std::swap(fields[slot], fields[slot - 1]);
    out += "{\n";
    for (std::size_t index = 0; index < count; ++index) {
        appendIndent(out, depth + 1);
        appendQuoted(out, fields[index].key);
        out += " : ";
        appendQuoted(out, fields[index].text);
        out += index + 1 < count ? ",\n" : "\n";
    }
    appendIndent(out, depth);
    out += '}';
}

void appendLeaseAt(std::string& out, const Lease& lease, int depth) {
    const std::string mac = lease.mac.description(), ip = lease.ip.description();
    const std::string expiresAt = formatInternetDate(lease.expiresAt), firstSeen = formatInternetDate(lease.firstSeen),
                      lastSeen = formatInternetDate(lease.lastSeen);
    std::array<Field, 9> fields{};
    std::size_t count = 0;
    fields[count++] = {"mac", mac};
    fields[count++] = {"ip", ip};
    fields[count++] = {"state", rawValue(lease.state)};
    fields[count++] = {"expiresAt", expiresAt};
    if (lease.hostname) fields[count++] = {"hostname", *lease.hostname};
    if (lease.vendorClass) fields[count++] = {"vendorClass", *lease.vendorClass};
    if (lease.clientID) fields[count++] = {"clientID", *lease.clientID};
    fields[count++] = {"firstSeen", firstSeen};
    fields[count++] = {"lastSeen", lastSeen};
    appendObject(out, fields, count, depth);
}

void appendQuarantineAt(std::string& out, const Quarantine& entry, int depth) {
    const std::string ip = entry.ip.description(), until = formatInternetDate(entry.until),
                      reportedBy = entry.reportedBy.description();
    appendObject(out, std::array<Field, 3>{{{"ip", ip}, {"until", until}, {"reportedBy", reportedBy}}}, 3, depth);
}

template <typename Item, typename AppendItem>
void appendArray(std::string& out, const std::vector<Item>& items, int depth, AppendItem appendItem) {
    if (items.empty()) {
        out += "[]";
        return;
    }
    out += "[\n";
    for (std::size_t index = 0; index < items.size(); ++index) {
        appendIndent(out, depth + 1);
        appendItem(out, items[index], depth + 1);
        out += index + 1 < items.size() ? ",\n" : "\n";
    }
    appendIndent(out, depth);
    out += ']';
}

// ---- Decoding ---------------------------------------------------------------------------

void refuseDeepNesting(std::string_view text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > deepestNesting) throw DecodingError("The data is nested too deeply");
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
}

const json& required(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw DecodingError(std::string("Missing key: ") + key);
    return *found;
}

const std::string& text(const json& value, const char* key) {
    if (!value.is_string()) throw DecodingError(std::string("Expected text: ") + key);
    return value.get_ref<const std::string&>();
}

Date date(const json& object, const char* key) {
    const auto& value = text(required(object, key), key);
    auto parsed = parseInternetDate(value);
    if (!parsed) throw DecodingError(std::string("Not a date: ") + value);
    return *parsed;
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    return text(*found, key);
}

const json& requiredObject(const json& value, const char* what) {
    if (!value.is_object()) throw DecodingError(std::string("Expected an object: ") + what);
    return value;
}

Lease leaseFrom(const json& value) {
    const auto& object = requiredObject(value, "lease");
    Lease lease;
    lease.mac = required(object, "mac").get<MACAddress>();
    lease.ip = required(object, "ip").get<IPv4Address>();
    const auto& stateText = text(required(object, "state"), "state");
    auto state = leaseStateFromRaw(stateText);
    if (!state) throw DecodingError("Unknown lease state: " + stateText);
    lease.state = *state;
    lease.expiresAt = date(object, "expiresAt");
    lease.hostname = optionalText(object, "hostname");
    lease.vendorClass = optionalText(object, "vendorClass");
    lease.clientID = optionalText(object, "clientID");
    lease.firstSeen = date(object, "firstSeen");
    lease.lastSeen = date(object, "lastSeen");
    return lease;
}

Quarantine quarantineFrom(const json& value) {
    const auto& object = requiredObject(value, "quarantine entry");
    Quarantine entry;
    entry.ip = required(object, "ip").get<IPv4Address>();
    entry.until = date(object, "until");
    entry.reportedBy = required(object, "reportedBy").get<MACAddress>();
    return entry;
}

const json& requiredArray(const json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_array()) throw DecodingError(std::string("Expected a list: ") + key);
    return value;
}

// One record per hardware address: the most recently seen wins, at the place of the first.
std::vector<Lease> onePerClient(std::vector<Lease> leases) {
    std::vector<Lease> kept;
    std::unordered_map<MACAddress, std::size_t> position;
    for (auto& lease : leases) {
        auto [found, inserted] = position.try_emplace(lease.mac, kept.size());
        if (inserted)
            kept.push_back(std::move(lease));
        else if (lease.lastSeen > kept[found->second].lastSeen)
            kept[found->second] = std::move(lease);
    }
    return kept;
}

json parseObject(std::string_view text) {
    refuseDeepNesting(text);
    json root = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) throw DecodingError("The data is not valid JSON");
    return root;
}

}  // namespace

std::string encode(const LeaseTable& table) {
    std::string out;
    out.reserve(64 + table.leases().size() * 320 + table.quarantine().size() * 128);
    // The top-level keys, already in sorted order.
    out += "{\n  \"leases\" : ";
    appendArray(out, table.leases(), 1, appendLeaseAt);
    out += ",\n  \"quarantine\" : ";
    appendArray(out, table.quarantine(), 1, appendQuarantineAt);
    out += ",\n  \"version\" : " + std::to_string(currentVersion) + "\n}";
    return out;
}

LeaseTable decode(std::string_view contents) {
    json root = parseObject(contents);
    try {
        const auto& object = requiredObject(root, "lease file");
        const auto& version = required(object, "version");
        if (!version.is_number_integer()) throw DecodingError("Not a whole number: version");
        if (version.is_number_unsigned() ? version.get<std::uint64_t>() != currentVersion
                                         : version.get<std::int64_t>() != currentVersion)
            throw DecodingError("Unsupported lease file version: " + version.dump());
        std::vector<Lease> leases;
        for (const auto& value : requiredArray(object, "leases")) leases.push_back(leaseFrom(value));
        std::vector<Quarantine> quarantine;
        for (const auto& value : requiredArray(object, "quarantine")) quarantine.push_back(quarantineFrom(value));
        return LeaseTable(onePerClient(std::move(leases)), std::move(quarantine));
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

void appendLease(std::string& out, const Lease& lease) { appendLeaseAt(out, lease, 0); }
void appendQuarantine(std::string& out, const Quarantine& entry) { appendQuarantineAt(out, entry, 0); }

Lease decodeLease(std::string_view text) {
    json root = parseObject(text);
    try {
        return leaseFrom(root);
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

Quarantine decodeQuarantine(std::string_view text) {
    json root = parseObject(text);
    try {
        return quarantineFrom(root);
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

}  // namespace anvil::LeaseFileFormat
