// `dhcpanvil serve --iface` on a veth card inside a throwaway network namespace.
#include <gtest/gtest.h>
#include <spawn.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/run/log_file_writer.hpp"
#include "core/host/process_runner.hpp"
#include "serve_process.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

const std::string ipTool = "/usr/sbin/ip";

struct CardBench {
    std::string cardNamespace = "anvcli-card-" + std::to_string(getpid());
    std::string peerNamespace = "anvcli-peer-" + std::to_string(getpid());
    std::string card = "enanc" + std::to_string(getpid() % 100000);
    fs::path directory = fs::temp_directory_path() / ("anvil-card-" + std::to_string(getpid()));
    std::string error;

    CardBench() {
        fs::create_directories(directory);
        const std::vector<std::vector<std::string>> steps{
            {"netns", "add", cardNamespace},
            {"netns", "add", peerNamespace},
            {"link", "add", card, "netns", cardNamespace, "type", "veth", "peer", "name", "anvpeer", "netns",
             peerNamespace},
            {"-n", cardNamespace, "address", "add", "10.77.0.1/24", "dev", card},
            {"-n", cardNamespace, "link", "set", card, "up"},
            {"-n", peerNamespace, "link", "set", "anvpeer", "up"},
            {"-n", cardNamespace, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            auto output = ProcessRunner::run(ipTool, step);
            if (output.status != 0) {
                error = output.text;
                return;
            }
        }
    }
    ~CardBench() {
        ProcessRunner::run(ipTool, {"netns", "delete", cardNamespace});
        ProcessRunner::run(ipTool, {"netns", "delete", peerNamespace});
        fs::remove_all(directory);
    }

    std::vector<std::string> launcher() const { return {ipTool, "netns", "exec", cardNamespace}; }
};

class ServeCard : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
        bench = std::make_unique<CardBench>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build a veth bench: " << bench->error;
    }
    std::unique_ptr<CardBench> bench;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

TEST_F(ServeCard, FailedPreflightPrintsRowsAndTheFixThenExitsOne) {
    // The card holds 10.77.0.1/24, not the default server address.
    ServeProcess serve({"serve", "--iface", bench->card, "--leases", (bench->directory / "leases.json").string()},
                       bench->launcher(), {{"XDG_STATE_HOME", bench->directory.string()}});
    EXPECT_EQ(serve.waitForExit(), 1);
    EXPECT_EQ(serve.err(), "");
    auto out = serve.out();
    auto rows = lines(out.substr(0, out.find("\n\n")));
    ASSERT_GE(rows.size(), 1u) << out;
    int failing = 0;
    for (const auto& row : rows) {
        EXPECT_TRUE(row.starts_with("\u2713 ") || row.starts_with("\u26a0 ") || row.starts_with("\u2717 ")) << row;
        failing += row.starts_with("\u2717 ");
    }
    EXPECT_GE(failing, 1);
    auto fix = out.find("\n\nRun this, then start dhcpanvil again:\n  sudo ");
    ASSERT_NE(fix, std::string::npos) << out;
    EXPECT_NE(out.find("192.168.0.1/24", fix), std::string::npos) << out;
    EXPECT_NE(out.find(bench->card, fix), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(bench->directory / "leases.json"));
}

TEST_F(ServeCard, JSONOnACardKeepsTextRowsAndWritesTextLinesToTheLog) {
    ServeProcess serve({"serve", "--iface", bench->card, "--server", "10.77.0.1/24", "--range",
                        "10.77.0.100-10.77.0.120", "--leases", (bench->directory / "leases.json").string(), "--json"},
                       bench->launcher(), {{"XDG_STATE_HOME", bench->directory.string()}});
    ASSERT_TRUE(serve.waitForOutput(R"("event":"link")")) << serve.out() << serve.err();
    EXPECT_EQ(serve.interrupt(), 0);

    std::vector<std::string> events;
    for (const auto& line : lines(serve.out())) {
        if (line.starts_with("\u2713 ") || line.starts_with("\u26a0 ")) {
            EXPECT_TRUE(events.empty()) << "row after events: " << line;
            continue;
        }
        auto object = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(object.is_discarded()) << line;
        events.push_back(object["event"]);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"started", "link", "stopped"}));

    auto logs = bench->directory / "DHCP Anvil" / "logs";
    std::vector<std::string> logged;
    for (const auto& entry : fs::directory_iterator(logs))
        for (const auto& line : lines(readWhole(entry.path().string()))) logged.push_back(line.substr(14, 12));
    EXPECT_EQ(logged, (std::vector<std::string>{"START       ", "LINK        ", "STOP        "}));
    EXPECT_TRUE(fs::exists(bench->directory / "leases.json"));
}

}  // namespace
