#pragma once
// Reading the kernel's text files (/proc, /sys, udev) with a ceiling on what is kept.
#include <cstddef>
#include <optional>
#include <string>

namespace anvil::LinuxHost {

// At most `limit` bytes of the file; a text cut short keeps only its whole lines. Nothing when it cannot be read.
std::optional<std::string> readTextFile(const std::string& path, std::size_t limit);

}  // namespace anvil::LinuxHost
