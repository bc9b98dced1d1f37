#include "core/run/server_run.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/dhcp_service/transport_error.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

// Never receives anything: the events come from the test.
class SilentTransport final : public Transport {
public:
    ~SilentTransport() override { close(); }
    void open() override {
        if (::pipe(pipe_) != 0) throw TransportError("pipe", errno);
    }
    std::optional<Datagram> receive() override { return std::nullopt; }
    void send(const Bytes&, const ReplyDestination&) override {}
    void close() override {
        for (int& end : pipe_) {
            if (end >= 0) ::close(end);
            end = -1;
        }
    }
    int fd() const override { return pipe_[0]; }
    std::uint32_t interfaceIndex() const override { return 1; }

private:
    int pipe_[2] = {-1, -1};
};

struct Folder {
    fs::path path =
        fs::temp_directory_path() / ("anvil-run-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
};

std::unique_ptr<CardRun> loopbackServer(const fs::path& folder) {
    CardRun::Seams seams;
    seams.transportFactory = [](const TransportMode&) { return std::make_unique<SilentTransport>(); };
    return std::make_unique<CardRun>(CardRun::Options{defaultServerConfig(), TransportMode::loopback(6767, 6868),
                                                            std::nullopt, LeaseFile(folder / "leases.json"), false},
                                        std::move(seams));
}

// Every line of every day's file in the folder.
std::vector<std::string> logLines(const fs::path& folder) {
    std::vector<std::string> lines;
    if (!fs::exists(folder)) return lines;
    for (const auto& file : fs::directory_iterator(folder)) {
        std::ifstream stream(file.path());
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
    }
    return lines;
}

}  // namespace

// A front end that stops reading while the server reports 100,000 events: what waits for it stays
// within the bound, the log file still gets every line, and once it reads again it learns how many
// lines it missed and still sees the run stop.
TEST(ServerRun, AReaderThatStopsReadingCostsTheServerNothingAndTheLogFileKeepsEverything) {
    Folder folder;
    LogFileWriter writer(folder.path / "logs");
    ServerRun::Seams seams;
    seams.now = [] { return Date{1'700'000'000}; };
    ServerRun run(loopbackServer(folder.path), &writer, seams);
    ASSERT_FALSE(run.start());

    constexpr int flood = 100'000;
    auto source = run.card().events();
    for (int i = 0; i < flood; ++i) source->yield(ServerEvent::info("flood " + std::to_string(i)));
    run.stop();
    writer.flush();

    EXPECT_LE(run.events()->size(), EventHandOver::defaultBound + 2) << "started, stopped and one count beyond it";
    auto lines = logLines(folder.path / "logs");
    int floodLines = 0;
    for (const auto& line : lines) floodLines += line.find("  INFO         flood ") != std::string::npos;
    EXPECT_EQ(floodLines, flood);
    EXPECT_NE(lines.front().find("START"), std::string::npos);
    EXPECT_NE(lines.back().find("STOP"), std::string::npos);

    auto taken = run.events()->take();
    ASSERT_FALSE(taken.empty());
    EXPECT_TRUE(taken.front().event.is<ServerEvent::Started>());
    EXPECT_EQ(taken.back().event, ServerEvent::stopped());
    int missedTexts = 0;
    for (const auto& event : taken)
        if (const auto* info = event.event.as<ServerEvent::Info>();
            info && info->text.ends_with("the log file has them"))
            ++missedTexts;
    EXPECT_EQ(missedTexts, 1);
    EXPECT_TRUE(run.events()->take().empty()) << "the hand-over finished with the run";
}
