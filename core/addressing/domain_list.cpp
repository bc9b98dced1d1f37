#include "core/addressing/domain_list.hpp"

#include "core/addressing/text_pieces.hpp"

namespace anvil {

namespace {

constexpr std::size_t longestLabel = 63;
constexpr std::size_t longestName = 253;

bool isNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// One name starting at `offset`; moves `offset` past it in the list (a pointer ends the name).
std::optional<std::string> nameAt(std::span<const std::uint8_t> data, std::size_t& offset) {
    std::string name;
    std::size_t at = offset;
    bool jumped = false;
    while (true) {
        if (at >= data.size()) return std::nullopt;
        std::size_t length = data[at];
        if (length == 0) {
            if (!jumped) offset = at + 1;
            return name;
        }
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= data.size()) return std::nullopt;
            std::size_t target = ((length & 0x3F) << 8) | data[at + 1];
            if (target >= at) return std::nullopt;
            if (!jumped) offset = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if (length > longestLabel || at + 1 + length > data.size()) return std::nullopt;
        for (std::size_t i = 0; i < length; ++i)
            if (!isNameByte(static_cast<char>(data[at + 1 + i]))) return std::nullopt;
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(data.data() + at + 1), length);
        if (name.size() > longestName) return std::nullopt;
        at += 1 + length;
    }
}

}  // namespace

std::optional<Bytes> encodeDomainList(const std::vector<std::string_view>& names) {
    Bytes bytes;
    for (auto name : names) {
        if (name.ends_with('.')) name.remove_suffix(1);
        if (name.empty() || name.size() > longestName) return std::nullopt;
        for (auto label : splitText(name, '.', EmptyPieces::keep)) {
            if (label.empty() || label.size() > longestLabel) return std::nullopt;
            for (char c : label)
                if (!isNameByte(c)) return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(label.size()));
            bytes.insert(bytes.end(), label.begin(), label.end());
        }
        bytes.push_back(0);
    }
    return bytes;
}

std::optional<std::vector<std::string>> decodeDomainList(std::span<const std::uint8_t> data) {
    if (data.empty()) return std::nullopt;
    std::vector<std::string> names;
    std::size_t offset = 0;
    while (offset < data.size()) {
        auto name = nameAt(data, offset);
        if (!name || name->empty()) return std::nullopt;
        names.push_back(std::move(*name));
    }
    return names;
}

}  // namespace anvil
