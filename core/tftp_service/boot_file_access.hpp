#pragma once
// What the TFTP service does with files, as replaceable functions: each left null is the real one.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>

#include "core/addressing/bytes.hpp"
#include "core/host/boot_folder.hpp"

namespace anvil {

// The file work, run on the service's own thread one call at a time; each left null is the real
// one. Tests make them slow.
struct BootFileAccess {
    // Opens an already normalised name beneath the boot folder's descriptor (openBeneath).
    std::function<std::variant<OpenedBootFile, BootFileRefusal>(int folderFD, const std::string& name)>
        openBeneath;
    // Opens a file given by serveFileAs: read-only, never through a link, a regular file.
    std::function<std::variant<OpenedBootFile, BootFileRefusal>(const std::filesystem::path& source)> openGiven;
    // Up to `length` bytes at `offset`; fewer when the file ends sooner or cannot be read.
    std::function<Bytes(int fd, std::uint64_t offset, std::size_t length)> read;
};

}  // namespace anvil
