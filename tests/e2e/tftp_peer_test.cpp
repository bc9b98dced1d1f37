// The boot folder's TFTP server against real TFTP clients (curl, tftp-hpa, atftp) and a raw
// client that stops acknowledging, over a veth pair between namespaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "tests/e2e/boot_firmware.hpp"

namespace anvil::boot {
namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

class TFTPPeerTest : public ::testing::Test {
protected:
    static constexpr const char* serverAddress = "10.66.0.1";
    static constexpr std::size_t smallSize = 3 * 1024 * 1024 + 777;
    // More than 65536 blocks of 512 bytes: the block number wraps.
    static constexpr std::size_t largeSize = 33 * 1024 * 1024 + 5;

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
        folder = temp / "boot";
        std::filesystem::create_directory(folder);
        bench = std::make_unique<field::Namespaces>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench->error;
        bench->run({"-n", bench->clientNS, "address", "add", "10.66.0.2/24", "dev", "cli0"});
        ASSERT_TRUE(bench->error.empty()) << bench->error;
    }

    void TearDown() override {
        if (HasFailure() && server && server->process)
            std::printf("server output:\n%s", server->process->output().c_str());
        server.reset();
        bench.reset();
    }

    void serve() {
        server = std::make_unique<BootServer>(bench->serverNS, bench->card, serverAddress, folder, temp, BootFiles{});
        if (server->lacksBoot) GTEST_SKIP() << "this dhcpanvil does not serve boot files yet";
        ASSERT_TRUE(server->started) << server->process->output();
    }

    TempFolder temp;
    std::string folder;
    std::unique_ptr<field::Namespaces> bench;
    std::unique_ptr<BootServer> server;
};

TEST_F(TFTPPeerTest, realClientsFetchWhatIsServedAndAreRefusedTheRest) {
    for (const char* program : {"/usr/bin/curl", "/usr/bin/tftp", "/usr/bin/atftp"})
        if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
    writeRandomFile(folder + "/small.bin", smallSize);
    writeRandomFile(folder + "/large.bin", largeSize);
    field::writeFile(temp / "outside.bin", "not to be served");
    std::filesystem::create_symlink(temp / "outside.bin", folder + "/escape.bin");
    std::filesystem::create_directory(folder + "/sub");
    field::writeFile(folder + "/sub/nested.bin", "nested");
    serve();
    if (IsSkipped() || HasFatalFailure()) return;

    enum class Client { curl, hpa, atftp };
    struct Case {
        const char* name;
        Client client;
        std::string remote;
        std::vector<std::string> options;  // atftp's --option values, curl's extra arguments
        std::string served;                // the file whose bytes arrive, or "" when refused
        std::string clientSays;            // lowercase, in the client's output
        std::vector<std::string> alsoOnThatLine{};
    };
    // What each client prints for a refusal "File not found": curl's exit status 68 in
    // parentheses, tftp-hpa's error code, atftp's copy of the server's message.
    const std::vector<Case> cases{
        {"curl with a large block", Client::curl, "small.bin", {"--tftp-blksize", "1468"}, "small.bin", ""},
        {"atftp negotiating block, window and size", Client::atftp, "small.bin",
         {"blksize 1468", "windowsize 16", "tsize 0"}, "small.bin",
         "received oack <tsize: " + std::to_string(smallSize), {"blksize: 1468", "windowsize: 16"}},
        {"atftp asking beyond the block ceiling", Client::atftp, "small.bin", {"blksize 8192"}, "small.bin",
         "received oack <blksize: 1468"},
        {"tftp-hpa in 512-byte blocks past block 65535", Client::hpa, "large.bin", {}, "large.bin", ""},
        {"atftp windows of 16 across the wrap", Client::atftp, "large.bin", {"blksize 512", "windowsize 16"}, "large.bin", ""},
        {"a leading slash is dropped", Client::hpa, "/small.bin", {}, "small.bin", ""},
        {"a backslash is a slash", Client::curl, "sub%5Cnested.bin", {}, "sub/nested.bin", ""},
        {"curl asks for a missing file", Client::curl, "missing.bin", {}, "", "(68)"},
        {"tftp-hpa asks for a missing file", Client::hpa, "missing.bin", {}, "", "error code 1"},
        {"atftp asks for a missing file", Client::atftp, "missing.bin", {"blksize 1468"}, "", "not found"},
        {"a path climbing out of the folder", Client::hpa, "../outside.bin", {}, "", "error code 1"},
        {"a path climbing out through a folder", Client::hpa, "sub/../../outside.bin", {}, "", "error code 1"},
        {"a symlink pointing out of the folder", Client::atftp, "escape.bin", {}, "", "not found"},
        {"the folder itself", Client::hpa, ".", {}, "", "error code 1"},
    };
    int index = 0;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto local = temp / ("fetched-" + std::to_string(index++));
        std::vector<std::string> command;
        switch (each.client) {
            case Client::curl:
                command = {"/usr/bin/curl", "-sS", "--max-time", "60", "-o", local};
                command.insert(command.end(), each.options.begin(), each.options.end());
                command.push_back(std::string("tftp://") + serverAddress + "/" + each.remote);
                break;
            case Client::hpa:
                command = {"/usr/bin/tftp", "-m", "binary", serverAddress, "-c", "get", each.remote, local};
                break;
            case Client::atftp:
                command = {"/usr/bin/atftp", "--trace", "-g", "-r", each.remote, "-l", local};
                for (const auto& option : each.options) command.insert(command.end(), {"--option", option});
                command.push_back(serverAddress);
                break;
        }
        int at = server->process->lineCount();
        Child client(bench->clientNS, command);
        ASSERT_TRUE(client.waitForExit(90s)) << "the client never finished";
        client.waitForLine("\x7f", 2s);  // returns once the output pipe is drained
        auto said = lowered(client.output());
        if (each.served.empty()) {
            EXPECT_NE(fileBytes(local), "not to be served");
            EXPECT_TRUE(fileBytes(local).empty()) << "a refused file arrived";
        } else {
            EXPECT_TRUE(fileBytes(local) == fileBytes(folder + "/" + each.served)) << "the bytes differ";
        }
        if (!each.clientSays.empty()) {
            auto where = said.find(each.clientSays);
            EXPECT_NE(where, std::string::npos) << said.substr(0, 2000);
            auto line = where == std::string::npos ? "" : said.substr(where, said.find('\n', where) - where);
            for (const auto& part : each.alsoOnThatLine) EXPECT_NE(line.find(part), std::string::npos) << line;
        }
        // Every refusal is told to the user with the name asked for.
        if (each.served.empty()) {
            auto leaf = each.remote.substr(each.remote.rfind('/') + 1);
            EXPECT_GE(server->process->waitForLine(leaf, 5s, at), 0) << "the server said nothing of " << each.remote;
        }
        std::filesystem::remove(local);
    }
}

// A device that takes one block and goes silent, having asked for the longest timeout: the server
// runs it at 5 s, retries a bounded number of times, says the transfer timed out and closes its socket.
TEST_F(TFTPPeerTest, silentDeviceTimesOutAndItsSocketCloses) {
    writeRandomFile(folder + "/small.bin", smallSize);
    serve();
    if (IsSkipped() || HasFatalFailure()) return;
    // Whatever else the server keeps open is its own business; the transfer adds one and takes it away.
    const int atRest = transferSockets(server->process->pid());
    int fd = udpSocketIn(bench->clientNS, "10.66.0.2");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendTo(fd, serverAddress, 69, readRequest("small.bin", {{"timeout", "255"}})));
    auto first = receive(fd, 5s);
    ASSERT_TRUE(first && first->opcode() == 3) << "no first block";
    EXPECT_NE(first->fromPort, 69) << "a transfer answers from a port of its own";
    EXPECT_EQ(transferSockets(server->process->pid()), atRest + 1);

    bool reported = false;
    for (int attempt = 0; attempt < 600 && !reported; ++attempt) {
        reported = lowered(server->process->output()).find(server->timedOutLine()) != std::string::npos;
        if (!reported) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(reported) << "no timeout reported within a minute";
    int retransmitted = 0;
    while (receive(fd, 200ms)) ++retransmitted;
    ::close(fd);
    EXPECT_LE(retransmitted, 10) << "retransmissions are bounded";
    int open = -1;
    for (int attempt = 0; attempt < 20 && open != atRest; ++attempt) {
        open = transferSockets(server->process->pid());
        if (open != atRest) std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(open, atRest) << "the transfer's socket stayed open";
}

}  // namespace
}  // namespace anvil::boot
