// Writes a few well-formed client messages into a directory, as the fuzzer's starting corpus.
#include <cstdio>
#include <string>
#include <vector>

#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_code.hpp"

namespace {

anvil::DHCPPacket request(anvil::DHCPMessageType type, std::uint32_t xid) {
    anvil::DHCPPacket packet;
    packet.xid = xid;
    packet.flags = 0x8000;
    packet.chaddr = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    packet.setOption(anvil::OptionCode::messageType, {anvil::rawValue(type)});
    packet.setOption(anvil::OptionCode::clientID, {1, 0x02, 0x00, 0x5e, 0x10, 0x20, 0x30});
    packet.setOption(anvil::OptionCode::hostname, {'b', 'e', 'n', 'c', 'h', 0x07});
    packet.setOption(anvil::OptionCode::parameterList, {1, 3, 6, 15, 28, 51, 58, 59});
    return packet;
}

}  // namespace

int main(int argc, char** argv) {
    bool withTable = argc == 3 && std::string(argv[2]) == "--with-table";
    if (argc != 2 && !withTable) {
        std::fprintf(stderr, "usage: %s DIRECTORY [--with-table]\n", argv[0]);
        return 2;
    }
    std::vector<anvil::Bytes> seeds;
    seeds.push_back(request(anvil::DHCPMessageType::discover, 1).serialize());

    auto ask = request(anvil::DHCPMessageType::request, 2);
    ask.setOption(anvil::OptionCode::requestedIP, {192, 168, 2, 10});
    ask.setOption(anvil::OptionCode::serverID, {192, 168, 2, 1});
    ask.setOption(anvil::OptionCode::vendorClass, {'a', 'n', 'v', 'i', 'l'});
    seeds.push_back(ask.serialize(anvil::DHCPPacket::minimumReplyLength));

    auto inform = request(anvil::DHCPMessageType::inform, 3);
    inform.ciaddr = anvil::IPv4Address(192, 168, 2, 20);
    inform.options.insert(inform.options.begin(), {anvil::OptionCode::hostname, {'s', 'e', 'c', 'o', 'n', 'd'}});
    auto bytes = inform.serialize();
    bytes.insert(bytes.begin() + 240, {0, 0, 0});  // pads before the first option
    bytes.insert(bytes.end(), {12, 200, 1});       // junk after the end option
    seeds.push_back(bytes);

    auto reply = request(anvil::DHCPMessageType::offer, 4);
    reply.op = 2;
    reply.yiaddr = anvil::IPv4Address(192, 168, 2, 10);
    reply.setOption(anvil::OptionCode::leaseTime, anvil::bigEndianBytes(std::uint32_t{3600}));
    seeds.push_back(reply.serialize(anvil::DHCPPacket::minimumReplyLength));

    // The datagram path fuzzer reads a small lease table before the datagram: three leases, the
    // first two bound to the addresses the seeds ask for, the third an expired offer.
    if (withTable) {
        const anvil::Bytes table{3, 0x30, 0, 1, 0x01, 0x31, 5, 1 | (2 << 3), 0x00, 0x32, 7, 4, 0xff};
        for (auto& seed : seeds) seed.insert(seed.begin(), table.begin(), table.end());
    }

    for (std::size_t i = 0; i < seeds.size(); ++i) {
        auto path = std::string(argv[1]) + "/seed-" + std::to_string(i);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) {
            std::perror(path.c_str());
            return 1;
        }
        bool written = std::fwrite(seeds[i].data(), 1, seeds[i].size(), file) == seeds[i].size();
        if (std::fclose(file) != 0 || !written) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
