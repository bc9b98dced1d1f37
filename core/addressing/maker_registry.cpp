#include "core/addressing/maker_registry.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>

namespace anvil {

namespace {

constexpr std::uint8_t locallyAdministeredBit = 0x02;
// MA-S (and the older IAB) first: a longer prefix is carved out of a shorter one.
constexpr std::array<unsigned, 3> prefixBits{36, 28, 24};

std::uint64_t keyOf(unsigned bits, std::uint64_t prefix) { return (std::uint64_t{bits} << 48) | prefix; }

std::string_view trimmed(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Splits CSV text into rows of fields: quoted fields may hold commas, doubled quotes and line breaks.
class CSVReader {
public:
    explicit CSVReader(std::string_view text) : text_(text) {}

    // False at the end of the text.
    bool next(std::vector<std::string>& fields) {
        fields.clear();
        if (offset_ >= text_.size()) return false;
        std::string field;
        bool quoted = false;
        while (offset_ < text_.size()) {
            char c = text_[offset_++];
            if (quoted) {
                if (c != '"') {
                    field += c;
                } else if (offset_ < text_.size() && text_[offset_] == '"') {
                    field += '"';
                    ++offset_;
                } else {
                    quoted = false;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == ',') {
                fields.push_back(std::move(field));
                field.clear();
            } else if (c == '\n') {
                break;
            } else if (c != '\r') {
                field += c;
            }
        }
        fields.push_back(std::move(field));
        return true;
    }

private:
    std::string_view text_;
    std::size_t offset_ = 0;
};

std::optional<std::uint64_t> hexValue(std::string_view text) {
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

}  // namespace

MakerRegistry MakerRegistry::fromCSV(const std::vector<std::string_view>& files) {
    MakerRegistry registry;
    // Most makers hold many prefixes; each name is stored once.
    std::unordered_map<std::string, std::uint32_t> offsets;
    std::vector<std::string> fields;
    for (auto text : files) {
        CSVReader reader(text);
        while (reader.next(fields)) {
            if (fields.size() < 3) continue;
            auto assignment = trimmed(fields[1]);
            auto name = trimmed(fields[2]);
            unsigned bits = static_cast<unsigned>(assignment.size()) * 4;
            if (std::find(prefixBits.begin(), prefixBits.end(), bits) == prefixBits.end() || name.empty()) continue;
            auto prefix = hexValue(assignment);
            if (!prefix) continue;  // the header row among them
            auto [slot, added] = offsets.try_emplace(std::string(name), static_cast<std::uint32_t>(registry.names_.size()));
            if (added) registry.names_ += name;
            registry.entries_.push_back({keyOf(bits, *prefix), slot->second, static_cast<std::uint32_t>(name.size())});
        }
    }
    auto byKey = [](const Entry& a, const Entry& b) { return a.key < b.key; };
    // Stable: of two rows for one prefix the first read wins.
    std::stable_sort(registry.entries_.begin(), registry.entries_.end(), byKey);
    registry.entries_.erase(std::unique(registry.entries_.begin(), registry.entries_.end(),
                                        [](const Entry& a, const Entry& b) { return a.key == b.key; }),
                            registry.entries_.end());
    registry.entries_.shrink_to_fit();
    registry.names_.shrink_to_fit();
    return registry;
}

std::optional<std::string> MakerRegistry::lookup(const MACAddress& mac) const {
    std::uint64_t address = 0;
    for (auto byte : mac.bytes) address = (address << 8) | byte;
    for (unsigned bits : prefixBits) {
        std::uint64_t key = keyOf(bits, address >> (48 - bits));
        auto found = std::lower_bound(entries_.begin(), entries_.end(), key,
                                      [](const Entry& entry, std::uint64_t wanted) { return entry.key < wanted; });
        if (found != entries_.end() && found->key == key) return names_.substr(found->nameOffset, found->nameLength);
    }
    return std::nullopt;
}

std::optional<std::string> makerOf(const MACAddress& mac, const MakerRegistry& registry) {
    if (mac.bytes[0] & locallyAdministeredBit) return "locally administered";
    return registry.lookup(mac);
}

}  // namespace anvil
