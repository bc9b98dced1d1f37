#pragma once
// Which desktop system this build runs on: texts and commands that name the system's own features
// are picked by it, so each keeps one place per subsystem for every platform.
namespace anvil {

enum class Platform { macOS, gnuLinux };

#if defined(__APPLE__)
inline constexpr Platform hostPlatform = Platform::macOS;
#else
inline constexpr Platform hostPlatform = Platform::gnuLinux;
#endif

}  // namespace anvil
