#include "core/addressing/option_value.hpp"

#include <charconv>
#include <cstdio>
#include <vector>

#include "core/addressing/domain_list.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/option_format.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/addressing/text_pieces.hpp"

namespace anvil {

namespace {

using Format = OptionFormat;

constexpr std::size_t longestValue = 255;

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An even run of hexadecimal digits, two to a byte.
std::optional<Bytes> hexRun(std::string_view digits) {
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    Bytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        int high = hexDigit(digits[i]);
        int low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

bool startsWith0x(std::string_view text) { return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

std::optional<Bytes> prefixedHex(std::string_view text) {
    if (!startsWith0x(text)) return std::nullopt;
    return hexRun(text.substr(2));
}

// Two or more pairs joined by ":"; spaces between pairs would be read as a list of numbers.
std::optional<Bytes> hexPairs(std::string_view text) {
    auto pieces = splitText(text, ':', EmptyPieces::keep);
    if (pieces.size() < 2) return std::nullopt;
    Bytes bytes;
    for (auto piece : pieces) {
        if (piece.size() != 2) return std::nullopt;
        auto byte = hexRun(piece);
        if (!byte) return std::nullopt;
        bytes.push_back(byte->front());
    }
    return bytes;
}

std::string hexText(std::span<const std::uint8_t> data, std::string_view prefix, std::string_view separator) {
    std::string text(prefix);
    for (std::size_t i = 0; i < data.size(); ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        if (i > 0) text += separator;
        text += pair;
    }
    return text;
}

std::optional<std::uint64_t> decimal(std::string_view text, std::uint64_t highest) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value > highest) return std::nullopt;
    return value;
}

// Commas or spaces between the items of a list.
std::vector<std::string_view> listItems(std::string_view text) {
    std::vector<std::string_view> items;
    for (auto piece : splitText(text, ',', EmptyPieces::drop))
        for (auto item : splitText(piece, ' ', EmptyPieces::drop))
            if (auto word = trimmed(item); !word.empty()) items.push_back(word);
    return items;
}

std::uint32_t bigEndian(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (auto byte : data) value = (value << 8) | byte;
    return value;
}

bool isName(std::string_view text) { return encodeDomainList({text}).has_value() && !IPv4Address::parse(text); }

// Whether bytes given in hexadecimal have the layout the format needs.
bool hasLayout(Format format, const Bytes& data) {
    switch (format) {
        case Format::address:
        case Format::seconds:
        case Format::signedSeconds: return data.size() == 4;
        case Format::addresses: return data.size() % 4 == 0;
        case Format::byte: return data.size() == 1;
        case Format::flag: return data.size() == 1 && data[0] <= 1;
        case Format::number16: return data.size() == 2;
        case Format::numbers16: return data.size() % 2 == 0;
        case Format::domainList: return decodeDomainList(data).has_value();
        default: return true;
    }
}

std::optional<Bytes> addressBytes(const std::vector<std::string_view>& items) {
    Bytes bytes;
    for (auto item : items) {
        auto ip = IPv4Address::parse(item);
        if (!ip) return std::nullopt;
        auto four = ip->bytes();
        bytes.insert(bytes.end(), four.begin(), four.end());
    }
    return bytes;
}

std::optional<Bytes> signedSeconds(std::string_view text) {
    bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    auto magnitude = parseDuration(text);
    if (!magnitude || *magnitude > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
    auto value = negative ? 0u - *magnitude : *magnitude;
    return bigEndianBytes(static_cast<std::uint32_t>(value));
}

std::optional<Bytes> flag(std::string_view text) {
    std::string word;
    for (char c : text) word += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    for (const char* on : {"on", "yes", "true", "1"})
        if (word == on) return Bytes{1};
    for (const char* off : {"off", "no", "false", "0"})
        if (word == off) return Bytes{0};
    return std::nullopt;
}

// The value in the format's own words; nothing when they are not such words.
std::optional<Bytes> typed(Format format, std::string_view text) {
    switch (format) {
        case Format::address: {
            auto ip = IPv4Address::parse(text);
            if (!ip) return std::nullopt;
            return ip->bytes();
        }
        case Format::addresses: {
            auto items = listItems(text);
            if (items.empty()) return std::nullopt;
            return addressBytes(items);
        }
        case Format::domainName:
            if (!isName(text)) return std::nullopt;
            return Bytes(text.begin(), text.end());
        case Format::seconds: {
            auto seconds = parseDuration(text);
            if (!seconds) return std::nullopt;
            return bigEndianBytes(*seconds);
        }
        case Format::signedSeconds: return signedSeconds(text);
        case Format::byte: {
            auto number = decimal(text, 255);
            if (!number) return std::nullopt;
            return Bytes{static_cast<std::uint8_t>(*number)};
        }
        case Format::number16: {
            auto number = decimal(text, 65535);
            if (!number) return std::nullopt;
            return bigEndianBytes(static_cast<std::uint16_t>(*number));
        }
        case Format::numbers16: {
            Bytes bytes;
            for (auto item : listItems(text)) {
                auto number = decimal(item, 65535);
                if (!number) return std::nullopt;
                auto two = bigEndianBytes(static_cast<std::uint16_t>(*number));
                bytes.insert(bytes.end(), two.begin(), two.end());
            }
            if (bytes.empty()) return std::nullopt;
            return bytes;
        }
        case Format::flag: return flag(text);
        case Format::domainList: {
            auto items = listItems(text);
            if (items.empty()) return std::nullopt;
            return encodeDomainList(items);
        }
        // Bytes without a layout of their own may also come as one run of digits, or pairs
        // separated by spaces as the log shows them.
        default: {
            std::string digits;
            for (char c : text)
                if (!isSpace(c)) digits += c;
            return hexRun(digits);
        }
    }
}

std::string formatSentence(std::uint8_t code, Format format) {
    auto label = optionLabel(code);
    switch (format) {
        case Format::address: return label + " takes one address such as 192.168.0.10.";
        case Format::addresses: return label + " takes addresses such as 192.168.0.10, separated by commas.";
        case Format::text: return label + " takes text without control characters, or hexadecimal bytes such as 0x0a0d.";
        case Format::domainName: return label + " takes a name such as lab.example, not an address.";
        case Format::seconds: return label + " takes a time such as 600 (seconds), 15m, 24h or 7d.";
        case Format::signedSeconds: return label + " takes seconds with a sign, such as 3600 or -18000.";
        case Format::byte: return label + " takes a number from 0 to 255.";
        case Format::number16: return label + " takes a number from 0 to 65535.";
        case Format::numbers16: return label + " takes numbers from 0 to 65535, separated by commas.";
        case Format::flag: return label + " takes on or off.";
        case Format::domainList: return label + " takes domain names such as lab.example, separated by commas.";
        default: return label + " takes hexadecimal bytes such as 01:04:31:41:50:43.";
    }
}

OptionValueReading refused(std::string sentence) { return {std::nullopt, std::move(sentence)}; }

std::string joinedAddresses(std::span<const std::uint8_t> data) {
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 4)
        text += (offset ? ", " : "") + IPv4Address{bigEndian(data.subspan(offset, 4))}.description();
    return text;
}

std::string joinedNumbers(std::span<const std::uint8_t> data) {
    std::string text;
    for (std::size_t offset = 0; offset < data.size(); offset += 2)
        text += (offset ? ", " : "") + std::to_string(bigEndian(data.subspan(offset, 2)));
    return text;
}

// The words for bytes the format can show; nothing for bytes only hexadecimal can.
std::optional<std::string> words(Format format, std::span<const std::uint8_t> data) {
    Bytes bytes(data.begin(), data.end());
    if (data.empty() || !hasLayout(format, bytes)) return std::nullopt;
    std::string_view asText(reinterpret_cast<const char*>(data.data()), data.size());
    switch (format) {
        case Format::address:
        case Format::addresses: return joinedAddresses(data);
        case Format::text:
            // What reading would take for something else stays hexadecimal.
            if (plainText(asText) != asText || startsWith0x(asText) || trimmed(asText).empty()) return std::nullopt;
            return std::string(asText);
        case Format::domainName:
            if (!isName(asText)) return std::nullopt;
            return std::string(asText);
        case Format::seconds: return std::to_string(bigEndian(data));
        case Format::signedSeconds: return std::to_string(static_cast<std::int32_t>(bigEndian(data)));
        case Format::byte: return std::to_string(data[0]);
        case Format::number16:
        case Format::numbers16: return joinedNumbers(data);
        case Format::flag: return data[0] ? "on" : "off";
        case Format::domainList: {
            auto names = decodeDomainList(data);
            std::vector<std::string_view> views(names->begin(), names->end());
            // A compressed list would come back longer: it stays in the bytes it came in.
            if (encodeDomainList(views) != bytes) return std::nullopt;
            std::string text;
            for (const auto& name : *names) text += (text.empty() ? "" : ", ") + name;
            return text;
        }
        default: return hexText(data, "", ":");
    }
}

}  // namespace

OptionValueReading readOptionValue(std::uint8_t code, std::string_view text) {
    auto format = optionDescription(code).format;
    auto value = trimmed(text);
    if (value.empty()) return refused(optionLabel(code) + " needs a value.");

    std::optional<Bytes> data = prefixedHex(value);
    if (!data && startsWith0x(value) && format != Format::text)
        return refused(optionLabel(code) + " has hexadecimal bytes that are not whole pairs.");
    if (!data && format != Format::text && format != Format::domainName) data = hexPairs(value);
    if (data) {
        if (!hasLayout(format, *data)) return refused(formatSentence(code, format));
    } else if (format == Format::text) {
        if (plainText(text) != text) return refused(formatSentence(code, format));
        data = Bytes(text.begin(), text.end());
    } else {
        data = typed(format, value);
        if (!data) return refused(formatSentence(code, format));
    }
    if (data->size() > longestValue) return refused(optionLabel(code) + " holds at most 255 bytes.");
    return {std::move(data), {}};
}

std::string optionValueText(std::uint8_t code, std::span<const std::uint8_t> data) {
    if (auto text = words(optionDescription(code).format, data)) return *text;
    return hexText(data, "0x", "");
}

}  // namespace anvil
