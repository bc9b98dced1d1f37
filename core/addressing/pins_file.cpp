#include "core/addressing/pins_file.hpp"

#include "core/addressing/pin_text.hpp"

namespace anvil {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        auto end = text.find(separator, start);
        pieces.push_back(trimmed(text.substr(start, end - start)));
        if (end == std::string_view::npos) return pieces;
        start = end + 1;
    }
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        auto start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > start) found.push_back(text.substr(start, i - start));
    }
    return found;
}

constexpr std::string_view dnsmasqPrefix = "dhcp-host=";

PinReading readLine(std::string_view line) {
    if (line.starts_with(dnsmasqPrefix)) {
        auto fields = split(line.substr(dnsmasqPrefix.size()), ',');
        if (fields.size() < 2 || fields.size() > 3)
            return {std::nullopt, "dhcp-host lines are read as dhcp-host=MAC,IP or dhcp-host=MAC,IP,name."};
        return readPin(fields[0], fields[1], fields.size() == 3 ? fields[2] : std::string_view{});
    }
    auto found = words(line);
    if (found.size() < 2)
        return {std::nullopt, "A pin is a device and an address, like 02:00:00:00:00:01 192.168.0.50."};
    auto label = line.substr(found[1].data() + found[1].size() - line.data());
    auto reading = readPin(found[0], found[1], trimmed(label));
    // /etc/ethers may name a host instead of giving its address; this server does not look names up.
    if (!reading.pin && reading.error.ends_with("is not an IPv4 address.") &&
        found[1].find_first_not_of("0123456789.") != std::string_view::npos)
        reading.error = "\"" + std::string(found[1]) + "\" is a host name; a pin needs an IPv4 address.";
    return reading;
}

}  // namespace

PinsFile readPinsFile(std::string_view text) {
    PinsFile file;
    int number = 0;
    for (auto line : split(text, '\n')) {
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        auto reading = readLine(line);
        if (reading.pin) {
            file.pins.push_back(std::move(*reading.pin));
        } else {
            file.errors.push_back({number, std::move(reading.error)});
        }
    }
    return file;
}

}  // namespace anvil
