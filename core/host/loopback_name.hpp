#pragma once
// The name of the host's loopback interface.
#include <string_view>

namespace anvil {

#if defined(__APPLE__)
inline constexpr std::string_view loopbackInterfaceName = "lo0";
#else
inline constexpr std::string_view loopbackInterfaceName = "lo";
#endif

}  // namespace anvil
