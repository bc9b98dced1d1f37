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
    // Written bare: a JSON literal such as true.
    bool literal = false;
};

// One object of text fields, keys in sorted order, at the given depth.
template <std::size_t capacity>
void appendObject(std::string& out, std::array<Field, capacity> fields, std::size_t count, int depth) {
    // At most ten fields: an insertion sort is enough.
    for (std::size_t index = 1; index < count; ++index)
        for (std::size_t slot = index; slot > 0 && fields[slot].key < fields[slot - 1].key; --slot)
            std::swap(fields[slot], fields[slot - 1]);
    out += "{\n";
    for (std::size_t index = 0; index < count; ++index) {
        appendIndent(out, depth + 1);
        appendQuoted(out, fields[index].key);
        out += " : ";
        if (fields[index].literal)
            out += fields[index].text;
        else
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
    std::array<Field, 10> fields{};
    std::size_t count = 0;
    fields[count++] = {"mac", mac};
    fields[count++] = {"ip", ip};
    fields[count++] = {"state", rawValue(lease.state)};
    fields[count++] = {"expiresAt", expiresAt};
    if (lease.hostname) fields[count++] = {"hostname", *lease.hostname};
    if (lease.vendorClass) fields[count++] = {"vendorClass", *lease.vendorClass};
    if (lease.clientID) fields[count++] = {"clientID", *lease.clientID};
    // Only when true, so files without BOOTP leases stay as older versions wrote them.
    if (lease.bootp) fields[count++] = {"bootp", "true", true};
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

// ---- Plain decoding ---------------------------------------------------------------------

// What this program writes holds only plain text fields, which are read here without building a
// document; anything else (escapes, other bytes, nulls, other shapes, any error) is left to the
// JSON parser, so both ways give the same result.
class PlainReader {
public:
    explicit PlainReader(std::string_view text) : text_(text) {}

    bool take(char expected) {
        skipSpace();
        if (at_ == text_.size() || text_[at_] != expected) return false;
        ++at_;
        return true;
    }
    std::optional<std::string_view> string() {
        if (!take('"')) return std::nullopt;
        const std::size_t start = at_;
        for (; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (c == '"') return text_.substr(start, at_++ - start);
            if (c < 0x20 || c >= 0x7F || c == '\\') return std::nullopt;
        }
        return std::nullopt;
    }
    // true or false, as JSON writes them.
    std::optional<std::string_view> literal() {
        skipSpace();
        for (std::string_view word : {"true", "false"})
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                return word;
            }
        return std::nullopt;
    }
    // A whole number without sign, fraction or exponent, as JSON writes it.
    std::optional<std::uint64_t> number() {
        skipSpace();
        const std::size_t start = at_;
        std::uint64_t value = 0;
        for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && at_ - start < 18; ++at_)
            value = value * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
        const std::size_t digits = at_ - start;
        if (digits == 0 || (digits > 1 && text_[start] == '0')) return std::nullopt;
        if (at_ < text_.size() && std::string_view("0123456789.eE").find(text_[at_]) != std::string_view::npos)
            return std::nullopt;
        return value;
    }
    bool atEnd() {
        skipSpace();
        return at_ == text_.size();
    }

private:
    void skipSpace() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

// A value as the plain reader takes it: a text, or a bare true or false.
struct PlainValue {
    std::string_view text;
    bool literal = false;
};

// An object whose values are all plain texts or true and false, each key's last value kept as the
// parser keeps it; `visit(key, value)` is called once per key at the end. False when it is not
// such an object.
template <std::size_t count, typename Visit>
bool plainObject(PlainReader& reader, const std::array<std::string_view, count>& keys, Visit visit) {
    std::array<std::optional<PlainValue>, count> values{};
    if (!reader.take('{')) return false;
    if (!reader.take('}')) {
        do {
            auto key = reader.string();
            if (!key || !reader.take(':')) return false;
            std::optional<PlainValue> value;
            if (auto text = reader.string())
                value = PlainValue{*text};
            else if (auto word = reader.literal())
                value = PlainValue{*word, true};
            if (!value) return false;
            for (std::size_t index = 0; index < count; ++index)
                if (keys[index] == *key) values[index] = value;
        } while (reader.take(','));
        if (!reader.take('}')) return false;
    }
    for (std::size_t index = 0; index < count; ++index) {
        // Only bootp may be bare; a bare value elsewhere is left to the parser to refuse.
        const auto& value = values[index];
        if (value && value->literal != (keys[index] == "bootp")) return false;
        if (!visit(index, value ? std::optional<std::string_view>(value->text) : std::nullopt)) return false;
    }
    return true;
}

std::optional<Date> plainDate(std::optional<std::string_view> text) {
    return text ? parseInternetDate(*text) : std::nullopt;
}

std::optional<Lease> plainLease(PlainReader& reader) {
    static constexpr std::array<std::string_view, 10> keys = {
        "mac",      "ip",       "state",     "expiresAt", "hostname", "vendorClass",
        "clientID", "firstSeen", "lastSeen", "bootp"};
    Lease lease;
    bool read = plainObject(reader, keys, [&](std::size_t index, std::optional<std::string_view> value) {
        switch (index) {
            case 0: {
                auto mac = value ? MACAddress::parse(*value) : std::nullopt;
                if (mac) lease.mac = *mac;
                return mac.has_value();
            }
            case 1: {
                auto ip = value ? IPv4Address::parse(*value) : std::nullopt;
                if (ip) lease.ip = *ip;
                return ip.has_value();
            }
            case 2: {
                auto state = value ? leaseStateFromRaw(*value) : std::nullopt;
                if (state) lease.state = *state;
                return state.has_value();
            }
            case 4: lease.hostname = value ? std::optional<std::string>(*value) : std::nullopt; return true;
            case 5: lease.vendorClass = value ? std::optional<std::string>(*value) : std::nullopt; return true;
            case 6: lease.clientID = value ? std::optional<std::string>(*value) : std::nullopt; return true;
            case 9: lease.bootp = value == "true"; return true;
            default: {
                auto date = plainDate(value);
                if (date) (index == 3 ? lease.expiresAt : index == 7 ? lease.firstSeen : lease.lastSeen) = *date;
                return date.has_value();
            }
        }
    });
    if (!read) return std::nullopt;
    return lease;
}

std::optional<Quarantine> plainQuarantine(PlainReader& reader) {
    static constexpr std::array<std::string_view, 3> keys = {"ip", "until", "reportedBy"};
    Quarantine entry;
    bool read = plainObject(reader, keys, [&](std::size_t index, std::optional<std::string_view> value) {
        if (!value) return false;
        if (index == 0) {
            auto ip = IPv4Address::parse(*value);
            if (ip) entry.ip = *ip;
            return ip.has_value();
        }
        if (index == 1) {
            auto date = plainDate(value);
            if (date) entry.until = *date;
            return date.has_value();
        }
        auto mac = MACAddress::parse(*value);
        if (mac) entry.reportedBy = *mac;
        return mac.has_value();
    });
    if (!read) return std::nullopt;
    return entry;
}

template <typename Item, typename ReadItem>
bool plainArray(PlainReader& reader, std::vector<Item>& items, ReadItem readItem) {
    if (!reader.take('[')) return false;
    if (reader.take(']')) return true;
    do {
        auto item = readItem(reader);
        if (!item) return false;
        items.push_back(std::move(*item));
    } while (reader.take(','));
    return reader.take(']');
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
    if (auto bootp = object.find("bootp"); bootp != object.end()) {
        if (!bootp->is_boolean()) throw DecodingError("Expected true or false: bootp");
        lease.bootp = bootp->get<bool>();
    }
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
    kept.reserve(leases.size());
    std::unordered_map<MACAddress, std::size_t> position;
    position.reserve(leases.size());
    for (auto& lease : leases) {
        auto [found, inserted] = position.try_emplace(lease.mac, kept.size());
        if (inserted)
            kept.push_back(std::move(lease));
        else if (lease.lastSeen > kept[found->second].lastSeen)
            kept[found->second] = std::move(lease);
    }
    return kept;
}

// The three top-level keys once each; nothing when the file is not that plain.
std::optional<LeaseTable> plainDecode(std::string_view text) {
    PlainReader reader(text);
    std::vector<Lease> leases;
    std::vector<Quarantine> quarantine;
    bool seenLeases = false, seenQuarantine = false, seenVersion = false;
    if (!reader.take('{')) return std::nullopt;
    do {
        auto key = reader.string();
        if (!key || !reader.take(':')) return std::nullopt;
        if (*key == "leases" && !seenLeases) {
            seenLeases = plainArray(reader, leases, plainLease);
            if (!seenLeases) return std::nullopt;
        } else if (*key == "quarantine" && !seenQuarantine) {
            seenQuarantine = plainArray(reader, quarantine, plainQuarantine);
            if (!seenQuarantine) return std::nullopt;
        } else if (*key == "version" && !seenVersion) {
            auto version = reader.number();
            if (!version || *version != static_cast<std::uint64_t>(currentVersion)) return std::nullopt;
            seenVersion = true;
        } else {
            return std::nullopt;
        }
    } while (reader.take(','));
    if (!reader.take('}') || !reader.atEnd() || !seenLeases || !seenQuarantine || !seenVersion) return std::nullopt;
    return LeaseTable(onePerClient(std::move(leases)), std::move(quarantine));
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
    if (auto plain = plainDecode(contents)) return std::move(*plain);
    return decodeByParser(contents);
}

LeaseTable decodeByParser(std::string_view contents) {
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
    PlainReader reader(text);
    if (auto plain = plainLease(reader); plain && reader.atEnd()) return std::move(*plain);
    json root = parseObject(text);
    try {
        return leaseFrom(root);
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

Quarantine decodeQuarantine(std::string_view text) {
    PlainReader reader(text);
    if (auto plain = plainQuarantine(reader); plain && reader.atEnd()) return std::move(*plain);
    json root = parseObject(text);
    try {
        return quarantineFrom(root);
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

}  // namespace anvil::LeaseFileFormat
