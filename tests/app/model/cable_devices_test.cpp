// The addresses added to reach the cable's devices stay bounded.
#include "app/model/cable_devices.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/model/admin_commands.hpp"
#include "app/model/card_choice.hpp"
#include "app/model/serving.hpp"
#include "app/model/settings_sheet.hpp"
#include "controller_bench.hpp"

using namespace anvil;

TEST(CableDevices, PastItsCapacityReachingSaysSoInsteadOfAsking) {
    ControllerBench bench;
    std::vector<std::string> added;
    bench.env.runAddressCommand = [&](const NetworkCard&, const std::string& command, bool) {
        added.push_back(command);
    };
    NetworkCard card;
    card.bsdName = "eth9";
    card.kind = NetworkCard::Kind::ethernet;
    card.addresses = {*Subnet::parse("192.168.0.1/24")};
    CardChoice cards(bench.context);
    cards.take({card});
    cards.choose(card.id());
    SettingsSheet settings(bench.context);
    LogFileWriter logFile(std::filesystem::path{});
    Serving serving(bench.context, logFile);
    AdminCommands commands(bench.context, cards, settings);
    CableDevices cable(bench.context, cards, serving, settings, commands);

    std::vector<MACAddress> devices;
    for (unsigned n = 1; n <= CableDevices::reachedCapacity + 1; ++n) {
        Neighbour device;
        device.mac = *MACAddress::parse("02:00:00:00:00:" + std::to_string(10 + n));
        device.claims = {*IPv4Address::parse("10.1." + std::to_string(n) + ".1")};
        bench.state.neighbours[device.mac] = device;
        devices.push_back(device.mac);
    }
    for (std::size_t n = 0; n < CableDevices::reachedCapacity; ++n) {
        cable.askToReach(devices[n]);
        ASSERT_TRUE(cable.question()) << n;
        ASSERT_TRUE(cable.confirm()) << "the address it showed is still free";
        cable.reach(devices[n]);
        bench.settle();
    }
    ASSERT_EQ(cable.reached().size(), CableDevices::reachedCapacity);
    EXPECT_FALSE(bench.alert.message);

    cable.askToReach(devices.back());
    EXPECT_FALSE(cable.question());
    EXPECT_EQ(bench.alert.message, "DHCP Anvil reaches at most 8 devices at once; stop reaching one first.");
    bench.settle();
    EXPECT_EQ(added.size(), CableDevices::reachedCapacity) << "nothing more was added";
    EXPECT_FALSE(cable.canReach(devices.front())) << "a reached device needs no second address";
}
