#include "core/addressing/boot_config_check.hpp"

namespace anvil {

namespace {

bool hasControlByte(std::string_view text) {
    for (unsigned char byte : text)
        if (byte < 0x20 || byte == 0x7f) return true;
    return false;
}

}  // namespace

std::optional<std::string> bootFolderProblem(std::string_view folder) {
    if (folder.empty()) return "Choose the folder to serve boot files from.";
    if (folder.front() != '/') return "The boot folder must be a full path, starting with /.";
    // A zero byte would cut the path short where the system reads it.
    if (hasControlByte(folder)) return "The boot folder's path has a control character in it.";
    return std::nullopt;
}

std::optional<std::string> bootFileNameProblem(std::string_view name) {
    if (name.empty()) return "A boot file name cannot be empty.";
    if (name.size() > longestBootFileName)
        return "A boot file name can be at most " + std::to_string(longestBootFileName) + " bytes long.";
    // Boot ROMs print the name and send it back in their request: plain text only.
    if (hasControlByte(name)) return "A boot file name cannot hold control characters.";
    return std::nullopt;
}

std::optional<std::string> blockSizeCeilingProblem(long long ceiling) {
    if (ceiling < smallestBlockSizeCeiling || ceiling > largestBlockSizeCeiling)
        return "The TFTP block size limit must be from " + std::to_string(smallestBlockSizeCeiling) + " to " +
               std::to_string(largestBlockSizeCeiling) + ".";
    return std::nullopt;
}

std::optional<std::string> bootConfigProblem(const BootConfig& config) {
    if (auto problem = bootFolderProblem(config.folder)) return problem;
    if (config.fileForAll)
        if (auto problem = bootFileNameProblem(*config.fileForAll)) return problem;
    for (const auto& [kind, name] : config.files)
        if (auto problem = bootFileNameProblem(name)) return std::string(rawValue(kind)) + ": " + *problem;
    return blockSizeCeilingProblem(config.blockSizeCeiling);
}

}  // namespace anvil
