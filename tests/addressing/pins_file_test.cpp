// A pins file: every line form it takes, and the line number and reason of each it refuses.
#include "core/addressing/pins_file.hpp"

#include <gtest/gtest.h>

#include "core/addressing/pin_text.hpp"

using namespace anvil;

namespace {

// "device ip label" per pin, then "line N: why" per error.
std::vector<std::string> read(std::string_view text) {
    auto file = readPinsFile(text);
    std::vector<std::string> result;
    for (const auto& pin : file.pins) result.push_back(deviceText(pin) + " " + pin.ip.description() + " " + pin.label);
    for (const auto& error : file.errors) result.push_back(error.description());
    return result;
}

TEST(PinsFile, ReadsEachLineFormAndRefusesBadLinesByNumber) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        {"plain, with label and comments",
         "# bench\n\n02:00:00:00:00:01 192.168.0.50  bench board  # under the desk\r\n",
         {"02:00:00:00:00:01 192.168.0.50 bench board"}},
        {"ethers, upper case", "02:AA:BB:CC:DD:EE\t192.168.0.51\n", {"02:aa:bb:cc:dd:ee 192.168.0.51 "}},
        {"dnsmasq",
         "dhcp-host=02:00:00:00:00:02,192.168.0.52,printer\ndhcp-host=02:00:00:00:00:03, 192.168.0.53\n",
         {"02:00:00:00:00:02 192.168.0.52 printer", "02:00:00:00:00:03 192.168.0.53 "}},
        {"client identifier",
         "id:FF:00:00:00:07 192.168.0.54\nid:0102 192.168.0.55",
         {"id:ff:00:00:00:07 192.168.0.54 ", "id:01:02 192.168.0.55 "}},
        {"bad lines",
         "02:00:00:00:00:01 192.168.0.50\n"
         "02:00:00:00:00:02 board7\n"
         "02:00:00:00:00:03\n"
         "02-00-00 192.168.0.53\n"
         "id:0 192.168.0.54\n"
         "02:00:00:00:00:05 192.168.0.300\n"
         "dhcp-host=02:00:00:00:00:06\n"
         "02:00:00:00:00:07 192.168.0.57 " +
             std::string(65, 'x') + "\n",
         {"02:00:00:00:00:01 192.168.0.50 ", "line 2: \"board7\" is a host name; a pin needs an IPv4 address.",
          "line 3: A pin is a device and an address, like 02:00:00:00:00:01 192.168.0.50.",
          "line 4: \"02-00-00\" is not a hardware address like 02:00:00:00:00:01 or a client identifier like "
          "id:01:02:03.",
          "line 5: A client identifier is id: and hexadecimal bytes, like id:01:02:03.",
          "line 6: \"192.168.0.300\" is not an IPv4 address.",
          "line 7: dhcp-host lines are read as dhcp-host=MAC,IP or dhcp-host=MAC,IP,name.",
          "line 8: A label is at most 64 characters."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read(c.text), c.expected);
    }
}

}  // namespace
