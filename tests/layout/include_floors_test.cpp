// The core is built in floors; a folder includes only from floors below its own, so each floor
// can be read, tested and reused without the ones above it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Lowest first. Folders on the same floor do not include each other either.
const std::map<std::string, int> floors{
    {"addressing", 0},   {"dhcp", 1},          {"host", 1},         {"update", 1}, {"tftp", 1}, {"watch", 1},
    {"leases", 2},       {"events", 3},        {"device_logs", 3},        {"dhcp_service", 4}, {"tftp_service", 4}, {"watch_service", 4},
    {"run", 5},
};

struct UpwardInclude {
    std::string file;
    std::string included;
};

std::string folderOf(const fs::path& relative) {
    auto first = relative.begin();
    return first == relative.end() ? std::string{} : first->string();
}

// The file an #include line names, or nothing for any other line.
std::optional<std::string> includedBy(std::string_view line) {
    auto skipSpace = [&line] {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    };
    skipSpace();
    if (!line.starts_with('#')) return std::nullopt;
    line.remove_prefix(1);
    skipSpace();
    if (!line.starts_with("include")) return std::nullopt;
    line.remove_prefix(7);
    skipSpace();
    if (line.empty() || (line.front() != '<' && line.front() != '"')) return std::nullopt;
    auto end = line.find(line.front() == '<' ? '>' : '"', 1);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(line.substr(1, end - 1));
}

// Every include in core/ that reaches a floor not below its own, the front ends, or Qt.
std::vector<UpwardInclude> upwardIncludes(const fs::path& root) {
    std::vector<UpwardInclude> found;
    auto core = root / "core";
    for (const auto& entry : fs::recursive_directory_iterator(core)) {
        if (!entry.is_regular_file()) continue;
        auto extension = entry.path().extension();
        if (extension != ".hpp" && extension != ".cpp") continue;
        auto relative = entry.path().lexically_relative(core);
        auto own = floors.find(folderOf(relative));
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            auto included = includedBy(line);
            if (!included) continue;
            const auto& target = *included;
            bool upward = false;
            if (target.starts_with("app/") || target.starts_with("cli/") || target.starts_with("helper/") ||
                target.starts_with("Q")) {
                upward = true;
            } else if (target.starts_with("core/")) {
                auto folder = folderOf(fs::path(target).lexically_relative("core"));
                auto theirs = floors.find(folder);
                if (theirs != floors.end() && own != floors.end())
                    upward = folder != own->first && theirs->second >= own->second;
                else if (theirs != floors.end())
                    upward = true;  // a file outside every floor depends on none of them
            }
            if (upward) found.push_back({("core" / relative).string(), target});
        }
    }
    return found;
}

std::string describe(const std::vector<UpwardInclude>& found) {
    std::string text;
    for (const auto& item : found) text += item.file + " includes " + item.included + "\n";
    return text;
}

TEST(IncludeFloors, NoCoreFolderIncludesFromItsOwnFloorOrAbove) {
    auto found = upwardIncludes(ANVIL_SOURCE_DIR);
    EXPECT_TRUE(found.empty()) << describe(found);
}

TEST(IncludeFloors, APlantedIncludeIsFoundWhereverItPointsUpOrSideways) {
    struct Case {
        std::string file;
        std::string line;
        bool upward;
    };
    const std::vector<Case> cases{
        {"core/addressing/subnet.hpp", "#include \"core/dhcp_service/decision.hpp\"", true},
        {"core/events/notice.hpp", "#include \"core/dhcp_service/responder.hpp\"", true},
        {"core/leases/lease.hpp", "  #  include \"core/events/notice.hpp\"", true},
        {"core/dhcp/dhcp_packet.hpp", "#include \"core/host/interfaces.hpp\"", true},
        {"core/dhcp_service/responder.hpp", "#include <QString>", true},
        {"core/host/interfaces.cpp", "#include \"app/app_model.hpp\"", true},
        {"core/dhcp_service/responder.hpp", "#include \"core/events/notice.hpp\"", false},
        {"core/leases/lease.hpp", "#include \"core/host/presence.hpp\"", false},
        {"core/tftp/tftp_transfer.hpp", "#include \"core/dhcp/dhcp_packet.hpp\"", true},
        {"core/tftp/tftp_packet.hpp", "#include \"core/addressing/bytes.hpp\"", false},
    };
    for (const auto& c : cases) {
        auto root = fs::temp_directory_path() / ("anvil-floors-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        fs::copy(fs::path(ANVIL_SOURCE_DIR) / "core", root / "core", fs::copy_options::recursive);
        {
            std::ofstream out(root / c.file, std::ios::app);
            out << "\n" << c.line << "\n";
        }
        auto found = upwardIncludes(root);
        fs::remove_all(root);
        if (c.upward) {
            ASSERT_EQ(found.size(), 1u) << c.file << ": " << describe(found);
            EXPECT_EQ(found.front().file, c.file);
        } else {
            EXPECT_TRUE(found.empty()) << c.file << ": " << describe(found);
        }
    }
}

}  // namespace
