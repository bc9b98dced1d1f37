#include <gtest/gtest.h>
#include "core/addressing/server_config.hpp"
TEST(Placeholder, builds) { EXPECT_TRUE(anvil::ServerConfig{}.validate().size() == 1); }
