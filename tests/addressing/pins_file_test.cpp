// A pins file: every line form it takes, and the line number and reason of each it refuses.
#include "core/addressing/pins_file.hpp"

#include <gtest/gtest.h>

#include "core/addressing/pin_text.hpp"

using namespace anvil;

TEST(PinsFile, ReadsEachLineFormAndRefusesBadLinesByNumber) {
    auto file = readPinsFile(
        "# bench\n"
        "\n"
        "02:00:00:00:00:01 192.168.0.50  bench board  # under the desk\r\n"
        "02:AA:BB:CC:DD:EE\t192.168.0.51\n"
        "dhcp-host=02:00:00:00:00:02,192.168.0.52,printer\n"
        "id:FF:00:00:00:07 192.168.0.54\n"
        "02:00:00:00:00:02 board7\n"
        "02:00:00:00:00:03\n"
        "02-00-00 192.168.0.53\n"
        "id:0 192.168.0.54\n"
        "02:00:00:00:00:05 192.168.0.300\n"
        "dhcp-host=02:00:00:00:00:06\n"
        "02:00:00:00:00:07 192.168.0.57 " +
        std::string(65, 'x'));
    std::vector<std::string> read;
    for (const auto& pin : file.pins) read.push_back(deviceText(pin) + " " + pin.ip.description() + " " + pin.label);
    for (const auto& error : file.errors) read.push_back(error.description());
    EXPECT_EQ(read, (std::vector<std::string>{
                        "02:00:00:00:00:01 192.168.0.50 bench board",
                        "02:aa:bb:cc:dd:ee 192.168.0.51 ",
                        "02:00:00:00:00:02 192.168.0.52 printer",
                        "id:ff:00:00:00:07 192.168.0.54 ",
                        "line 7: \"board7\" is a host name; a pin needs an IPv4 address.",
                        "line 8: A pin is a device and an address, like 02:00:00:00:00:01 192.168.0.50.",
                        "line 9: \"02-00-00\" is not a hardware address like 02:00:00:00:00:01 or a client identifier "
                        "like id:01:02:03.",
                        "line 10: A client identifier is id: and hexadecimal bytes, like id:01:02:03.",
                        "line 11: \"192.168.0.300\" is not an IPv4 address.",
                        "line 12: dhcp-host lines are read as dhcp-host=MAC,IP or dhcp-host=MAC,IP,name.",
                        "line 13: A label is at most 64 characters.",
                    }));
}
