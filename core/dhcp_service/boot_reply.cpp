#include "core/dhcp_service/boot_reply.hpp"

#include <algorithm>

#include "core/dhcp/boot_client.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/responder_texts.hpp"

namespace anvil {

namespace {

constexpr std::size_t ipAndUDPHeaders = 28;
constexpr std::size_t smallestLimit = 576;
constexpr std::size_t addressLength = 4;

// Least needed first. siaddr repeats option 66 and the mask gives the broadcast address; a client
// works out T1 and T2 from the lease time. A Pi without its vendor options will not boot, so those
// go last.
constexpr std::uint8_t derivable[] = {
    OptionCode::tftpServerName,
    OptionCode::broadcastAddress,
    OptionCode::rebindingTime,
    OptionCode::renewalTime,
};
constexpr std::uint8_t needed[] = {
    OptionCode::dns,
    OptionCode::router,
    OptionCode::vendorSpecific,
    OptionCode::vendorClass,
};

Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace

std::optional<std::string> addBootOptions(DHCPPacket& reply, const DHCPPacket& request, const ServerConfig& config) {
    if (!config.boot) return std::nullopt;
    auto client = classifyBootClient(request);
    if (!client) return std::nullopt;
    return addBootOptions(reply, *client, config);
}

std::optional<std::string> addBootOptions(DHCPPacket& reply, const BootClient& client, const ServerConfig& config) {
    if (!config.boot) return std::nullopt;

    reply.siaddr = config.serverIP;
    reply.setOption(OptionCode::tftpServerName, textBytes(config.serverIP.description()));
    auto chosen = client.kind ? bootFileFor(*config.boot, *client.kind) : config.boot->fileForAll;
    // A name that does not fit an option whole is not sent at all: half a file name boots nothing.
    std::string name = chosen.value_or(std::string());
    if (name.size() > DHCPPacket::maximumOptionLength) name.clear();
    if (!name.empty()) {
        reply.setOption(OptionCode::bootfileName, textBytes(name));
        // The field needs its closing NUL; a longer name travels in option 67 alone.
        if (name.size() < DHCPPacket::fileFieldLength) reply.file = name;
    }
    // Only a Pi is told "PXEClient": UEFI PXE (and a PXE ROM as PXE 2.1 has it) reads a
    // PXEClient offer without a boot menu as one that must be asked again on port 4011, which this
    // server does not answer, and it gives up; a plain offer with a file name boots them.
    if (client.kind == BootKind::rpi) {
        reply.setOption(OptionCode::vendorClass, textBytes("PXEClient"));
        reply.setOption(OptionCode::vendorSpecific, Bytes(piBootMenu.begin(), piBootMenu.end()));
    }
    return ResponderText::bootNote(name, client.kind, client.reason);
}

std::size_t clientMessageLimit(const DHCPPacket& request) {
    std::size_t limit = smallestLimit;
    if (auto data = request.option(OptionCode::maxMessageSize); data && data->size() == 2)
        limit = std::max<std::size_t>(limit, static_cast<std::size_t>(((*data)[0] << 8) | (*data)[1]));
    return limit - ipAndUDPHeaders;
}

FittedReply fitToClientLimit(DHCPPacket& reply, std::size_t limit, const UserOptionCodes& userOptions) {
    FittedReply fitted;
    auto field = [&reply](std::uint8_t code) {
        return std::find_if(reply.options.begin(), reply.options.end(), [code](const auto& f) { return f.code == code; });
    };
    auto isUsers = [&userOptions](std::uint8_t code) {
        auto among = [code](const auto& codes) { return std::find(codes.begin(), codes.end(), code) != codes.end(); };
        return among(userOptions.unasked) || among(userOptions.asked);
    };
    // A user's option of a code the server also fills takes that code's place among the user's.
    std::vector<std::uint8_t> order(userOptions.unasked.begin(), userOptions.unasked.end());
    std::vector<std::uint8_t> afterDNSTail;
    for (auto code : derivable)
        if (!isUsers(code)) afterDNSTail.push_back(code);
    afterDNSTail.insert(afterDNSTail.end(), userOptions.asked.begin(), userOptions.asked.end());
    for (auto code : needed)
        if (!isUsers(code)) afterDNSTail.push_back(code);

    auto leaveOut = [&](const std::vector<std::uint8_t>& codes) {
        for (auto code : codes) {
            if (reply.encodedLength() <= limit) break;
            auto found = field(code);
            if (found == reply.options.end()) continue;
            if (code == OptionCode::dns && !isUsers(code)) fitted.dnsServersLeftOut += found->data.size() / addressLength;
            else fitted.optionsLeftOut.push_back(code);
            reply.options.erase(found);
        }
    };
    leaveOut(order);
    // The first DNS servers are the ones a client tries, so the list loses its tail before anything
    // else goes, and keeps one server until the list itself must go.
    while (reply.encodedLength() > limit) {
        auto dns = field(OptionCode::dns);
        if (dns == reply.options.end() || dns->data.size() <= addressLength) break;
        dns->data.resize((dns->data.size() / addressLength - 1) * addressLength);
        ++fitted.dnsServersLeftOut;
    }
    leaveOut(afterDNSTail);
    return fitted;
}

}  // namespace anvil
