// The TFTP service on a loop of its own, driven over loopback by a small client written with the
// codec's encoders: what a client receives, what the user is told, and what is left open after.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/events/serial_queue.hpp"
#include "core/events/serial_queue_state.hpp"
#include "core/tftp/tftp_packet.hpp"
#include "core/tftp_service/tftp_service.hpp"
#include "tftp_client.hpp"

namespace anvil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Client;

int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

class TFTPServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/anvil-tftp-service-XXXXXX";
        root = ::mkdtemp(pattern);
        folder = root / "boot";
        fs::create_directories(folder / "sub");
        fs::create_directories(root / "outside");
        write(root / "outside" / "secret", Bytes{'s', 'e', 'c', 'r', 'e', 't'});
        fs::create_symlink(root / "outside" / "secret", folder / "link-out");
    }

    void TearDown() override {
        if (service) queue.sync([this] { service.reset(); });
        fs::remove_all(root);
    }

    static void write(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    void start(std::uint16_t port = 0) {
        TFTPService::Callbacks callbacks{
            [this](ServerEvent event) {
                std::lock_guard lock(mutex);
                events.push_back(std::move(event));
            },
            [this](Notice notice) {
                std::lock_guard lock(mutex);
                notices.push_back(std::move(notice));
            },
            [](NoticeKind) {},
            [this](IPv4Address ip) -> std::optional<MACAddress> {
                if (ip == IPv4Address(127, 0, 0, 1)) return holder;
                return std::nullopt;
            },
            {},
            {},
            {},
        };
        queue.sync([&] {
            service = std::make_unique<TFTPService>(queue.state().context,
                                                    TFTPService::Place{"", port, IPv4Address::loopback},
                                                    BootConfig{withFolder ? folder.string() : "", {}, {}, 1468},
                                                    std::move(callbacks), seams);
            service->start();
            serverPort = service->port();
        });
    }

    void stop() {
        queue.sync([this] { service->stop(); });
    }

    std::size_t active() {
        std::size_t count = 0;
        queue.sync([&] { count = service->activeTransfers(); });
        return count;
    }

    template <typename Payload>
    std::vector<Payload> eventsOf() {
        std::lock_guard lock(mutex);
        std::vector<Payload> found;
        for (const auto& event : events)
            if (auto payload = event.as<Payload>()) found.push_back(*payload);
        return found;
    }

    // Events arrive on the loop's thread; wait a bounded while for the count wanted.
    template <typename Payload>
    std::vector<Payload> waitFor(std::size_t count) {
        for (int tries = 0; tries < 400; ++tries) {
            auto found = eventsOf<Payload>();
            if (found.size() >= count) return found;
            std::this_thread::sleep_for(25ms);
        }
        return eventsOf<Payload>();
    }

    const MACAddress holder = *MACAddress::parse("02:00:00:00:00:01");
    fs::path root;
    fs::path folder;
    bool withFolder = true;
    SerialQueue queue{"test.tftp"};
    TFTPService::Seams seams;
    std::unique_ptr<TFTPService> service;
    std::uint16_t serverPort = 0;
    std::mutex mutex;
    std::vector<ServerEvent> events;
    std::vector<Notice> notices;
};

TEST_F(TFTPServiceTest, servesWholeFilesWhateverTheOptions) {
    struct Case {
        const char* name;
        std::size_t size;
        TFTPOptions options;
    };
    const std::vector<Case> cases{
        {"plain lock-step", 3000, {}},
        {"window of 1 with tsize", 100'000, {{"blksize", "1468"}, {"tsize", "0"}, {"windowsize", "1"}}},
        {"window of 16", 200'000, {{"blksize", "1468"}, {"windowsize", "16"}}},
        {"exact multiple of the block", 1024, {}},
        {"empty file", 0, {{"tsize", "0"}}},
    };
    start();
    unsigned seed = 1;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto contents = randomBytes(test.size, seed++);
        write(folder / "sub" / "file.bin", contents);
        Client client(IPv4Address(127, 0, 0, 1), serverPort);
        auto fetched = client.fetch("/sub\\file.bin", test.options);
        EXPECT_FALSE(fetched.error) << fetched.error->message;
        EXPECT_TRUE(fetched.complete);
        EXPECT_TRUE(fetched.contents == contents);
    }
    auto finished = waitFor<ServerEvent::TFTPFinished>(cases.size());
    ASSERT_EQ(finished.size(), cases.size());
    for (std::size_t index = 0; index < cases.size(); ++index) {
        EXPECT_EQ(finished[index].bytes, cases[index].size);
        EXPECT_EQ(finished[index].file, "/sub\\file.bin");
        EXPECT_EQ(finished[index].mac, holder);
    }
    auto requested = eventsOf<ServerEvent::TFTPRequested>();
    ASSERT_EQ(requested.size(), cases.size());
    EXPECT_EQ(requested[1].options, "blksize=1468 tsize=0 windowsize=1");
    // The last progress of each transfer reports the whole file.
    auto progress = eventsOf<ServerEvent::TFTPProgress>();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().bytes, cases.back().size);
    EXPECT_EQ(active(), 0u);
}

TEST_F(TFTPServiceTest, refusesWhatItDoesNotServe) {
    struct Case {
        const char* name;
        Bytes request;
        TFTPErrorCode code;
        TFTPFailureReason reason;
        bool noticed;
    };
    const std::vector<Case> cases{
        {"missing file", encodeTFTPReadRequest("missing.efi", "octet"), TFTPErrorCode::fileNotFound,
         TFTPFailureReason::notInFolder, true},
        {"parent folder", encodeTFTPReadRequest("../outside/secret", "octet"), TFTPErrorCode::fileNotFound,
         TFTPFailureReason::refusedPath, false},
        {"symlink out", encodeTFTPReadRequest("link-out", "octet"), TFTPErrorCode::fileNotFound,
         TFTPFailureReason::refusedPath, false},
        {"a folder", encodeTFTPReadRequest("sub", "octet"), TFTPErrorCode::fileNotFound,
         TFTPFailureReason::refusedPath, false},
        {"write request", encodeTFTPPacket(TFTPRequest{true, "upload.bin", "octet", {}}),
         TFTPErrorCode::accessViolation, TFTPFailureReason::refusedPath, false},
        {"mail mode", encodeTFTPReadRequest("sub", "mail"), TFTPErrorCode::illegalOperation,
         TFTPFailureReason::refusedPath, false},
    };
    start();
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto& test = cases[index];
        SCOPED_TRACE(test.name);
        Client client(IPv4Address(127, 0, 0, 1), serverPort);
        client.send(test.request, serverPort);
        auto answer = client.receive();
        ASSERT_TRUE(answer);
        auto error = std::get_if<TFTPError>(&answer->packet);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, static_cast<std::uint16_t>(test.code));
        auto failed = waitFor<ServerEvent::TFTPFailed>(index + 1);
        ASSERT_EQ(failed.size(), index + 1);
        EXPECT_EQ(failed.back().reason, test.reason);
        EXPECT_FALSE(failed.back().detail.empty());
        // The notice follows the failure on the loop's thread.
        for (int tries = 0; test.noticed && tries < 400; ++tries) {
            if (std::lock_guard lock(mutex); !notices.empty()) break;
            std::this_thread::sleep_for(25ms);
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(!notices.empty() && notices.back().kind == NoticeKind::bootFileMissing, test.noticed);
        notices.clear();
    }
    // Nothing of the outside file ever left, and no transfer started.
    EXPECT_TRUE(eventsOf<ServerEvent::TFTPRequested>().empty());
}

TEST_F(TFTPServiceTest, servesTheFilesGivenForALoaderWithOrWithoutAFolder) {
    auto firmware = randomBytes(3000, 9);
    write(root / "outside" / "firmware.bin", firmware);
    write(folder / "in-folder.bin", Bytes{'f'});
    fs::create_symlink(root / "outside" / "firmware.bin", root / "outside" / "link.bin");
    for (bool hasFolder : {true, false}) {
        SCOPED_TRACE(hasFolder ? "with a boot folder" : "without a boot folder");
        withFolder = hasFolder;
        start();
        bool accepted = true;
        queue.sync([&] {
            accepted = service->serveFileAs("uImage", root / "outside" / "firmware.bin") &&
                       service->serveFileAs("linked", root / "outside" / "link.bin") &&
                       !service->serveFileAs("../escape", root / "outside" / "firmware.bin");
            for (int index = 0; index < 6; ++index)
                accepted = accepted && service->serveFileAs("extra" + std::to_string(index), root / "outside" / "firmware.bin");
            // Bounded: a ninth name is refused, giving a name again is not.
            accepted = accepted && !service->serveFileAs("ninth", root / "outside" / "firmware.bin") &&
                       service->serveFileAs("uImage", root / "outside" / "firmware.bin");
        });
        EXPECT_TRUE(accepted);
        // A fresh client port for each read: a request from the port of a transfer still closing is a repeat.
        auto fetch = [&](const std::string& name) { return Client(IPv4Address(127, 0, 0, 1), serverPort).fetch(name); };
        auto fetched = fetch("uImage");
        EXPECT_TRUE(fetched.complete);
        EXPECT_EQ(fetched.contents, firmware);
        EXPECT_TRUE(fetch("linked").error);
        EXPECT_EQ(fetch("in-folder.bin").complete, hasFolder);
        {
            std::lock_guard lock(mutex);
            notices.clear();
        }
        EXPECT_TRUE(fetch("unknown.img").error);
        for (int tries = 0; tries < 400; ++tries) {
            if (std::lock_guard lock(mutex); !notices.empty()) break;
            std::this_thread::sleep_for(25ms);
        }
        {
            std::lock_guard lock(mutex);
            ASSERT_FALSE(notices.empty());
            EXPECT_EQ(notices.back().kind, NoticeKind::bootFileMissing);
            EXPECT_EQ(notices.back().message.find("has not been given") != std::string::npos, !hasFolder);
        }
        queue.sync([&] { service->forgetGivenFiles(); });
        EXPECT_TRUE(fetch("uImage").error);
        queue.sync([this] { service.reset(); });
    }
}

// A device can send requests as fast as the cable goes: their lines are capped each second and
// the rest summed up, every one of them counted once.
TEST_F(TFTPServiceTest, requestLinesAreCappedEachSecondAndTheRestSummedUp) {
    start();
    Client flooder(IPv4Address(127, 0, 0, 2), serverPort);
    constexpr int sent = 200;
    for (int i = 0; i < sent; ++i) flooder.send(Bytes{0, 9, 'x'}, serverPort);
    auto countOf = [this] {
        std::lock_guard lock(mutex);
        int shown = 0, summed = 0;
        for (const auto& event : events) {
            if (event.as<ServerEvent::Dropped>()) ++shown;
            auto info = event.as<ServerEvent::Info>();
            if (info && info->text.find(" about TFTP requests in the last second") != std::string::npos)
                summed += std::stoi(info->text);
        }
        return std::pair{shown, summed};
    };
    std::pair<int, int> counted;
    for (int tries = 0; tries < 200; ++tries) {
        counted = countOf();
        if (counted.first + counted.second >= sent) break;
        std::this_thread::sleep_for(25ms);
    }
    EXPECT_EQ(counted.first + counted.second, sent);
    EXPECT_LE(counted.first, 2 * 32) << "at most two seconds' share";
}

TEST_F(TFTPServiceTest, stopClosesEveryTransferAndThePort) {
    write(folder / "big.bin", randomBytes(50'000, 4));
    // A first start and stop, so that the loop's own descriptors (epoll, timers) exist already.
    start();
    stop();
    auto before = openDescriptors();
    queue.sync([this] { service->start(); serverPort = service->port(); });
    std::vector<std::unique_ptr<Client>> clients;
    for (int index = 0; index < 3; ++index) {
        clients.push_back(std::make_unique<Client>(IPv4Address(127, 0, 0, 1), serverPort));
        clients.back()->send(encodeTFTPReadRequest("big.bin", "octet", {{"timeout", "255"}}), serverPort);
        ASSERT_TRUE(clients.back()->receive());
    }
    auto clientSockets = static_cast<int>(clients.size());
    EXPECT_EQ(active(), 3u);
    stop();
    EXPECT_EQ(openDescriptors() - clientSockets, before);
    // And it serves again after a new start.
    queue.sync([this] { service->start(); serverPort = service->port(); });
    Client client(IPv4Address(127, 0, 0, 1), serverPort);
    EXPECT_TRUE(client.fetch("big.bin").complete);
}

TEST_F(TFTPServiceTest, aFileThatShrinksMidTransferFailsCleanly) {
    auto path = folder / "shrinking.bin";
    write(path, randomBytes(10'000, 5));
    start();
    Client client(IPv4Address(127, 0, 0, 1), serverPort);
    client.send(encodeTFTPReadRequest("shrinking.bin", "octet"), serverPort);
    auto first = client.receive();
    ASSERT_TRUE(first);
    ASSERT_TRUE(std::holds_alternative<TFTPData>(first->packet));
    fs::resize_file(path, 100);
    client.send(encodeTFTPAck(1), first->fromPort);
    auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(std::holds_alternative<TFTPError>(answer->packet));
    auto failed = waitFor<ServerEvent::TFTPFailed>(1);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].reason, TFTPFailureReason::unreadable);
    EXPECT_EQ(active(), 0u);
}

TEST_F(TFTPServiceTest, startFailsWithASentence) {
    struct Case {
        const char* name;
        bool takePort;
        bool removeFolder;
        int code;
        const char* words;
    };
    const std::vector<Case> cases{
        {"port taken", true, false, EADDRINUSE, "in use"},
        {"folder missing", false, true, ENOENT, "boot folder"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Client holder(IPv4Address(127, 0, 0, 1), 0);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(holder.fd, reinterpret_cast<sockaddr*>(&bound), &length);
        std::uint16_t port = test.takePort ? ntohs(bound.sin_port) : 0;
        auto served = test.removeFolder ? root / "gone" : folder;
        queue.sync([&] {
            TFTPService attempt(queue.state().context, TFTPService::Place{"", port, IPv4Address::loopback},
                                BootConfig{served.string(), {}, {}, 1468}, {});
            try {
                attempt.start();
                ADD_FAILURE() << "started";
            } catch (const TFTPStartError& error) {
                EXPECT_EQ(error.code, test.code);
                EXPECT_NE(std::string(error.what()).find(test.words), std::string::npos) << error.what();
            }
            EXPECT_FALSE(attempt.isRunning());
        });
    }
}

// Opens and reads of 200 ms each run off the loop (what that spares DHCP is the run's test), and a
// stop during a read neither waits for it nor closes the file under it.
TEST_F(TFTPServiceTest, slowFileWorkLeavesTheLoopFree) {
    constexpr auto fileWork = 200ms;
    auto contents = randomBytes(5000, 11);
    write(folder / "slow.bin", contents);
    struct stat written {};
    ASSERT_EQ(::stat((folder / "slow.bin").c_str(), &written), 0);
    std::atomic<int> reads{0}, onTheLoop{0}, ofAnotherFile{0};
    std::atomic<bool> holdReads{false}, readHeld{false}, releaseReads{false};
    seams.openBeneath = [&](int folderFD, const std::string& name) {
        if (queue.isCurrent()) ++onTheLoop;
        std::this_thread::sleep_for(fileWork);
        return openBeneath(folderFD, name);
    };
    seams.read = [&](int fd, std::uint64_t offset, std::size_t length) {
        if (queue.isCurrent()) ++onTheLoop;
        if (holdReads) {
            readHeld = true;
            for (int tries = 0; tries < 1000 && !releaseReads; ++tries) std::this_thread::sleep_for(10ms);
        } else {
            std::this_thread::sleep_for(fileWork);
        }
        // Still the file asked for, not closed meanwhile nor its number reused.
        struct stat now {};
        if (::fstat(fd, &now) != 0 || now.st_ino != written.st_ino) ++ofAnotherFile;
        ++reads;
        Bytes bytes(length);
        auto count = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
        bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        return bytes;
    };
    start();
    {
        Client client(IPv4Address(127, 0, 0, 1), serverPort);
        auto fetched = client.fetch("slow.bin", {{"blksize", "1468"}, {"tsize", "0"}});
        EXPECT_TRUE(fetched.complete);
        EXPECT_TRUE(fetched.contents == contents);
    }
    EXPECT_GE(reads, 1);
    EXPECT_EQ(onTheLoop, 0);

    stop();
    Client second(IPv4Address(127, 0, 0, 1), 0);
    auto atRest = openDescriptors();
    queue.sync([this] {
        service->start();
        serverPort = service->port();
    });
    holdReads = true;
    second.send(encodeTFTPReadRequest("slow.bin", "octet"), serverPort);
    for (int tries = 0; tries < 400 && !readHeld; ++tries) std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(readHeld);
    auto stopping = std::async(std::launch::async, [this] { stop(); });
    EXPECT_EQ(stopping.wait_for(5s), std::future_status::ready) << "the stop waited for the read";
    auto readsBefore = reads.load();
    releaseReads = true;
    stopping.wait();
    for (int tries = 0; tries < 400 && reads == readsBefore; ++tries) std::this_thread::sleep_for(25ms);
    // The file goes once the read it was under returns.
    for (int tries = 0; tries < 400 && openDescriptors() != atRest; ++tries) std::this_thread::sleep_for(25ms);
    EXPECT_EQ(openDescriptors(), atRest);
    EXPECT_EQ(ofAnotherFile, 0);
    EXPECT_EQ(active(), 0u);
}

}  // namespace
}  // namespace anvil
