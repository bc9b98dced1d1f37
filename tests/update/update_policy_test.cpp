#include "core/update/update_policy.hpp"

#include <gtest/gtest.h>

using namespace anvil;

TEST(UpdatePolicy, DefersOnlyBackgroundChecksWhileServing) {
    EXPECT_TRUE(UpdatePolicy::mayCheck(false, UpdateCheckKind::background));
    EXPECT_TRUE(UpdatePolicy::mayCheck(true, UpdateCheckKind::userInitiated));
    EXPECT_FALSE(UpdatePolicy::mayCheck(true, UpdateCheckKind::background));
}

TEST(UpdateDeferral, LogsOnceAndOwesOneCheckUntilTheServerStops) {
    UpdateDeferral deferral;
    std::vector<std::string> log;
    EXPECT_FALSE(deferral.mayPerform(UpdateCheckKind::background, true, log));
    EXPECT_FALSE(deferral.mayPerform(UpdateCheckKind::background, true, log));
    EXPECT_TRUE(deferral.mayPerform(UpdateCheckKind::userInitiated, true, log));
    EXPECT_EQ(log, std::vector<std::string>{"check deferred until the server stops"});
    EXPECT_TRUE(deferral.checkOwed());
    EXPECT_TRUE(deferral.serverStopped(true));
    EXPECT_FALSE(deferral.checkOwed());
    EXPECT_FALSE(deferral.serverStopped(true));

    EXPECT_FALSE(deferral.mayPerform(UpdateCheckKind::background, true, log));
    EXPECT_FALSE(deferral.serverStopped(false)) << "automatic checks off: the debt is cleared without a check";
    EXPECT_FALSE(deferral.checkOwed());
}

TEST(UpdateErrorText, AddsTheDeepestMeaningfulCause) {
    UpdateError plain{"SUSparkleErrorDomain", 2001, "An error occurred while downloading the update.", {}};
    EXPECT_EQ(UpdateErrorText::describe(plain), "An error occurred while downloading the update.");

    auto chained = plain;
    chained.underlyingDescriptions = {"The request timed out.",
                                      "The operation couldn’t be completed. (kCFErrorDomainCFNetwork error -1001.)"};
    EXPECT_EQ(UpdateErrorText::describe(chained),
              "An error occurred while downloading the update. (The request timed out.)");

    auto opaque = plain;
    opaque.underlyingDescriptions = {"The operation couldn’t be completed. (A)",
                                     "The operation couldn’t be completed. (B)"};
    EXPECT_EQ(UpdateErrorText::describe(opaque), plain.description);

    auto same = plain;
    same.underlyingDescriptions = {plain.description};
    EXPECT_EQ(UpdateErrorText::describe(same), plain.description);
}

TEST(UpdateErrorText, KeepsExpectedFailuresOutOfTheLog) {
    const std::string framework = "SUSparkleErrorDomain";
    EXPECT_TRUE(UpdateErrorText::isSilent({"DHCPAnvil.UpdatePolicy", 1, "deferred", {}}, framework));
    EXPECT_TRUE(UpdateErrorText::isSilent({framework, 1001, "no update", {}}, framework));
    EXPECT_TRUE(UpdateErrorText::isSilent({framework, 4007, "cancelled", {}}, framework));
    EXPECT_FALSE(UpdateErrorText::isSilent({framework, 2001, "download failed", {}}, framework));
    EXPECT_FALSE(UpdateErrorText::isSilent({"NSURLErrorDomain", 1001, "timeout", {}}, framework));
}
