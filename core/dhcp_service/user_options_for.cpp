#include "core/dhcp_service/user_options_for.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

#include "core/addressing/user_option_text.hpp"
#include "core/dhcp/boot_client.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/responder_texts.hpp"

namespace anvil {

namespace {

using Kind = OptionMatch::Kind;

bool startsWith(const Bytes& data, std::string_view prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

bool sameText(std::span<const std::uint8_t> data, std::string_view text) {
    return data.size() == text.size() && std::equal(text.begin(), text.end(), data.begin());
}

// Option 77 as one plain text, or as RFC 3004's list of length-prefixed classes.
bool hasUserClass(const Bytes& data, std::string_view userClass) {
    if (sameText(data, userClass)) return true;
    for (std::size_t offset = 0; offset < data.size();) {
        std::size_t length = data[offset];
        if (length == 0 || offset + 1 + length > data.size()) return false;
        if (sameText(std::span(data).subspan(offset + 1, length), userClass)) return true;
        offset += 1 + length;
    }
    return false;
}

struct Device {
    const DHCPPacket& request;
    std::optional<MACAddress> mac;
    Bytes vendorClass;
    Bytes userClass;
    std::optional<BootKind> bootKind;

    explicit Device(const DHCPPacket& packet)
        : request(packet),
          mac(packet.mac()),
          vendorClass(packet.option(OptionCode::vendorClass).value_or(Bytes{})),
          userClass(packet.option(OptionCode::userClass).value_or(Bytes{})) {
        if (auto client = classifyBootClient(packet)) bootKind = client->kind;
    }

    bool matches(const OptionMatch& match) const {
        switch (match.kind) {
            case Kind::device: return mac && mac->description() == match.value;
            case Kind::maker: return mac && mac->description().starts_with(match.value + ":");
            case Kind::vendorClass: return !match.value.empty() && startsWith(vendorClass, match.value);
            case Kind::userClass: return !match.value.empty() && hasUserClass(userClass, match.value);
            case Kind::bootKind: return bootKind && rawValue(*bootKind) == match.value;
            case Kind::everyDevice: return true;
        }
        return false;
    }

    bool asked(std::uint8_t code) const {
        auto list = request.option(OptionCode::parameterList).value_or(Bytes{});
        return std::find(list.begin(), list.end(), code) != list.end();
    }
};

// Lower is narrower.
std::pair<int, long> narrowness(const OptionMatch& match) {
    long prefix = match.kind == Kind::vendorClass ? -static_cast<long>(match.value.size()) : 0;
    return {static_cast<int>(match.kind), prefix};
}

}  // namespace

std::vector<ChosenUserOption> userOptionsFor(const DHCPPacket& request, const ServerConfig& config) {
    Device device(request);
    std::map<std::uint8_t, const UserOption*> winners;
    for (const auto& option : config.userOptions) {
        if (!device.matches(option.match)) continue;
        auto& winner = winners[option.code];
        if (!winner || narrowness(option.match) < narrowness(winner->match)) winner = &option;
    }
    std::vector<ChosenUserOption> chosen;
    for (const auto& option : config.userOptions) {
        auto winner = winners.find(option.code);
        if (winner == winners.end() || winner->second != &option) continue;
        bool asked = device.asked(option.code);
        if (asked || option.always) chosen.push_back({option, asked});
    }
    return chosen;
}

std::vector<ChosenUserOption> placeUserOptions(DHCPPacket& reply, const std::vector<ChosenUserOption>& chosen) {
    std::vector<ChosenUserOption> placed;
    for (const auto& item : chosen) {
        if (item.option.match.kind == Kind::everyDevice && reply.option(item.option.code)) continue;
        reply.setOption(item.option.code, item.option.data);
        placed.push_back(item);
    }
    return placed;
}

UserOptionCodes userOptionCodes(const std::vector<ChosenUserOption>& placed) {
    UserOptionCodes codes;
    for (const auto& item : placed) (item.asked ? codes.asked : codes.unasked).push_back(item.option.code);
    return codes;
}

std::vector<std::string> userOptionNotes(const DHCPPacket& reply, const std::vector<ChosenUserOption>& placed) {
    std::vector<std::string> notes;
    for (const auto& item : placed)
        if (reply.option(item.option.code))
            notes.push_back(ResponderText::userOptionNote(item.option.code, matchDescription(item.option.match)));
    return notes;
}

}  // namespace anvil
