// Writes a few frames the cable watch reads (ARP, LLDP with inventory, a TFTP read request) as the
// watched frame fuzzer's first inputs.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/watch/frame_bytes.hpp"

int main(int argc, char** argv) {
    using namespace anvil::frame_bytes;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    auto device = mac(1);
    const std::vector<std::pair<std::string, Frame>> seeds{
        {"arp-request", arp(device, {192, 168, 0, 86}, {192, 168, 0, 66})},
        {"arp-gratuitous", arp(device, {192, 168, 1, 1}, {192, 168, 1, 1}, false)},
        {"arp-probe", arp(device, anvil::IPv4Address::zero, {169, 254, 3, 4})},
        {"lldp",
         lldp(device, chassisMAC(device) + portText("eth0") + ttlTLV(120) + textTLV(5, "camera") +
                          tlv(8, Frame{5, 1, 192, 168, 1, 1, 2, 0, 0, 0, 1, 0}) + medTLV(9, "Maker") +
                          medTLV(10, "Model") + medTLV(8, "SN1") + endTLV)},
        {"lldp-leaving", lldp(device, chassisMAC(device) + portText("eth0") + ttlTLV(0) + endTLV)},
        {"tftp-read", tftpRead(device, "recovery.bin")},
    };
    for (const auto& [name, bytes] : seeds) {
        std::ofstream out(std::filesystem::path(argv[1]) / ("seed-" + name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
