#include "core/events/line_cap.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace anvil {
namespace {

TEST(LineCap, PassesTheFirstLinesOfEachSecondAndSumsUpTheRestOnce) {
    LineCap cap(3);
    std::vector<bool> admitted;
    for (int i = 0; i < 5; ++i) admitted.push_back(cap.admit(100));
    EXPECT_EQ(admitted, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(cap.takeHeldBack(100), std::nullopt) << "the second has not ended";
    EXPECT_EQ(cap.takeHeldBack(101), std::optional<std::uint32_t>{2});
    EXPECT_EQ(cap.takeHeldBack(101), std::nullopt) << "summed up once";
    EXPECT_TRUE(cap.admit(101));
    for (int i = 0; i < 3; ++i) cap.admit(101);
    EXPECT_TRUE(cap.admit(105)) << "a quiet gap starts afresh";
    EXPECT_EQ(cap.takeHeldBack(105), std::optional<std::uint32_t>{1}) << "held lines of an earlier second are kept";
}

}  // namespace
}  // namespace anvil
