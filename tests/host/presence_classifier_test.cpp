#include <gtest/gtest.h>

#include "core/host/presence.hpp"

namespace anvil {
namespace {

TEST(PresenceClassifier, linkThenProbeThenHardwareAddressDecide) {
    const MACAddress leaseMAC = *MACAddress::parse("aa:bb:cc:00:11:22");
    const MACAddress otherMAC = *MACAddress::parse("aa:bb:cc:00:11:33");
    const ProbeResult answered{true, "tcp 80 refused"};
    struct Case {
        const char* name;
        std::optional<ProbeResult> probe;
        std::optional<MACAddress> arpMAC;
        bool linkUp;
        PresenceState expected;
    } cases[] = {
        {"no link, even with an answer from the right device", answered, leaseMAC, false, PresenceState::offline},
        {"no probe yet", std::nullopt, leaseMAC, true, PresenceState::unknown},
        {"no answer", ProbeResult::silent(), leaseMAC, true, PresenceState::offline},
        {"answer without an ARP entry", answered, std::nullopt, true, PresenceState::online},
        {"answer from the lease's device", answered, leaseMAC, true, PresenceState::online},
        {"answer from another device", answered, otherMAC, true, PresenceState::conflict},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PresenceClassifier::classify(c.probe, c.arpMAC, leaseMAC, c.linkUp), c.expected) << c.name;
}

TEST(PresenceState, rawValuesAreTheCaseNames) {
    for (auto state : {PresenceState::unknown, PresenceState::online, PresenceState::offline, PresenceState::conflict})
        EXPECT_EQ(presenceStateFromRaw(rawValue(state)), state);
    EXPECT_EQ(rawValue(PresenceState::conflict), "conflict");
    EXPECT_EQ(presenceStateFromRaw("Online"), std::nullopt);
}

TEST(ProbeResult, silentMeansNoAnswer) {
    EXPECT_EQ(ProbeResult::silent(), (ProbeResult{false, "no answer"}));
    EXPECT_NE(ProbeResult::silent(), (ProbeResult{true, "no answer"}));
}

}  // namespace
}  // namespace anvil
