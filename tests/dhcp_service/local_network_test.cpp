#include "core/dhcp_service/local_network.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

// A refused reply is retried once while there is room; only a second refusal raises the notice,
// and every other failure is one line naming the reply and the reason.
TEST(LocalNetwork, AFailedSendBecomesALineARetryOrTheNotice) {
    using Kind = SendFailure::Kind;
    using Step = SendFailureStep::Kind;
    struct Case {
        const char* what;
        SendFailure failure;
        bool firstTry;
        bool retryRoom;
        SendFailureStep step;
    };
    std::vector<Case> cases{
        {"link down", {Kind::linkDown, {}}, true, true, {Step::line, "DHCPOFFER not sent: link down"}},
        {"address missing",
         {Kind::addressMissing, {}},
         true,
         true,
         {Step::line, "DHCPOFFER not sent: 192.168.0.1 is not on eth1 right now"}},
        {"refused, first try", {Kind::possiblyDenied, {}}, true, true, {Step::retry, {}}},
        {"refused, retries full",
         {Kind::possiblyDenied, {}},
         true,
         false,
         {Step::line, "DHCPOFFER not sent: sendmsg: Network is unreachable"}},
        {"refused again", {Kind::possiblyDenied, {}}, false, true, {Step::notice, {}}},
        {"refused again, retries full", {Kind::possiblyDenied, {}}, false, false, {Step::notice, {}}},
        {"other error",
         {Kind::other, "sendmsg: No buffer space"},
         true,
         true,
         {Step::line, "DHCPOFFER not sent: sendmsg: No buffer space"}},
        {"other error on a retry",
         {Kind::other, "sendmsg: No buffer space"},
         false,
         true,
         {Step::line, "DHCPOFFER not sent: sendmsg: No buffer space"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FailedSend send{
            "DHCPOFFER", "sendmsg: Network is unreachable", *IPv4Address::parse("192.168.0.1"), "eth1", c.firstTry,
            c.retryRoom};
        EXPECT_EQ(LocalNetwork::stepAfter(c.failure, send), c.step);
    }
}

}  // namespace
}  // namespace anvil
