#include "app/app_model.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "../cli/serve_process.hpp"
#include "app/network_settings.hpp"
#include "model_staging.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/leases/lease_file_lock.hpp"
#include "core/dhcp_service/transport_error.hpp"
#include "tools/client_messages.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }
MACAddress mac(const char* text) { return *MACAddress::parse(text); }

// A transport that opens (or refuses to) and never receives anything.
class QuietTransport : public Transport {
public:
    explicit QuietTransport(int openError) : openError_(openError) {}
    ~QuietTransport() override { close(); }
    void open() override {
        if (openError_) throw TransportError("bind", openError_);
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
    // A pipe nobody writes to: never readable.
    int fd() const override { return pipe_[0]; }
    std::uint32_t interfaceIndex() const override { return 7; }

private:
    int openError_;
    int pipe_[2] = {-1, -1};
};

NetworkCard benchCard() {
    NetworkCard card;
    card.bsdName = "eth9";
    card.displayName = "USB Ethernet";
    card.serviceName = "Wired 9";
    card.kind = NetworkCard::Kind::ethernet;
    card.mac = mac("02:00:00:00:00:09");
    card.linkUp = true;
    card.addresses = {*Subnet::parse("192.168.0.1/24")};
    card.configMethod = NetworkCard::ConfigMethod::manual(ip("192.168.0.1"), ip("255.255.255.0"));
    return card;
}

struct Harness {
    fs::path folder = fs::temp_directory_path() / ("anvil-app-" + std::to_string(::getpid()) + "-" +
                                                   std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    // The run's thread posts here too.
    std::mutex queueMutex;
    std::deque<AppModel::Task> queue;
    std::deque<AppModel::Task> timers;
    // While set, background work never finishes, so host queries run into their timeout.
    bool hostHangs = false;
    // The run's loop is held in a host call, as while the helper takes seconds to answer.
    struct LoopHold {
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false;
        bool inside = false;
    };
    std::shared_ptr<LoopHold> loopHold = std::make_shared<LoopHold>();
    std::deque<AppModel::Task> stalled;
    Date clock{1'700'000'000};
    std::vector<NetworkCard> hostCards{benchCard()};
    int openError = 0;
    // Whether the run was given the maker lookup, which names the cable's devices.
    bool runKnowsMakers = false;
    std::optional<std::string> holder;
    std::vector<std::string> ranCommands;
    std::vector<std::string> addressCommands;
    std::vector<std::string> fileTitles;
    std::optional<fs::path> chosenFile;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::unique_ptr<AppModel> model;

    Harness() {
        fs::create_directories(folder);
        AppModel::Environment env;
        env.mainThread = [this](AppModel::Task task) {
            std::lock_guard lock(queueMutex);
            queue.push_back(std::move(task));
        };
        env.mainThreadAfter = [this](double, AppModel::Task task) { timers.push_back(std::move(task)); };
        env.background = [this](AppModel::Task task) {
            if (hostHangs)
                stalled.push_back(std::move(task));
            else
                task();
        };
        env.now = [this] { return clock; };
        env.listCards = [this] { return hostCards; };
        env.gatherPreflight = [](const NetworkCard& card, const ServerConfig& config) {
            return PreflightInput{card, {}, config, Port67State::available(), false};
        };
        env.port67Holder = [this] { return holder; };
        env.makeServer = [this](CardRun::Options options) {
            runKnowsMakers = static_cast<bool>(options.maker);
            CardRun::Seams seams;
            seams.host.clock = [this] { return clock; };
            seams.host.mediaStatus = [](const std::string&) { return Interfaces::MediaStatus{true, std::nullopt}; };
            seams.host.interfaceAddresses = [hold = loopHold] {
                std::unique_lock lock(hold->mutex);
                hold->inside = true;
                hold->changed.notify_all();
                hold->changed.wait_for(lock, std::chrono::seconds(10), [&hold] { return !hold->holding; });
                hold->inside = false;
                return std::vector<InterfaceAddress>{};
            };
            seams.host.bsdName = [](const MACAddress&) { return std::optional<std::string>("eth9"); };
            seams.host.interfaceIndex = [](const std::string&) { return 7u; };
            seams.host.interfaceNameForIndex = [](std::uint32_t) { return std::string("eth9"); };
            seams.host.readARPTable = [] { return ARPEntries{}; };
            seams.host.triggerLocalNetworkAlert = [](const std::string&, IPv4Address) {};
            // Port 69 is never there: the run says so when it tries to serve TFTP on the card.
            seams.host.openTFTPListener = [](const std::string&) -> std::variant<TFTPListener, SocketFailure> {
                return SocketFailure{"bind", EACCES};
            };
            int error = openError;
            seams.transportFactory = [error](const TransportMode&) { return std::make_unique<QuietTransport>(error); };
            options.presenceEnabled = false;
            return std::make_unique<CardRun>(std::move(options), std::move(seams));
        };
        env.knownServiceNames = [] { return std::vector<std::string>{"Wired 9"}; };
        env.runSetupCommand = [this](const NetworkCard&, const std::string& command) { ranCommands.push_back(command); };
        env.runAddressCommand = [this](const NetworkCard&, const std::string& command, bool) {
            addressCommands.push_back(command);
        };
        env.chooseFile = [this](const std::string& title, std::function<void(std::optional<fs::path>)> chosen) {
            fileTitles.push_back(title);
            chosen(chosenFile);
            return std::function<void()>();
        };
        env.openURL = [](const std::string&) { return false; };
        env.maker = [](const MACAddress&) { return std::optional<std::string>("Bench Maker"); };
        env.settings = settings;
        env.leaseFileURL = folder / "leases.json";
        env.logDirectory = folder / "logs";
        model = std::make_unique<AppModel>(std::move(env));
    }
    ~Harness() {
        model.reset();
        fs::remove_all(folder);
    }

    // Runs what was posted to the main thread, then the timers, until nothing is left.
    void drain() {
        for (int round = 0; round < 100 && (!queueEmpty() || !timers.empty()); ++round) {
            while (auto task = nextTask()) (*task)();
            if (!timers.empty()) {
                auto task = std::move(timers.front());
                timers.pop_front();
                task();
            }
        }
    }

    bool queueEmpty() {
        std::lock_guard lock(queueMutex);
        return queue.empty();
    }
    std::optional<AppModel::Task> nextTask() {
        std::lock_guard lock(queueMutex);
        if (queue.empty()) return std::nullopt;
        auto task = std::move(queue.front());
        queue.pop_front();
        return task;
    }

    // Lets the background work that was held back run now.
    void runStalled() {
        hostHangs = false;
        while (!stalled.empty()) {
            auto task = std::move(stalled.front());
            stalled.pop_front();
            task();
        }
    }

    void boot() {
        model->bootstrap();
        drain();
    }

    // Takes the run's events until a log line holds `text`; false when none did within seconds.
    bool waitForLog(const std::string& text) {
        for (int tries = 0; tries < 500; ++tries) {
            drain();
            for (const auto& line : model->log())
                if (line.text.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

}  // namespace

TEST(AppModel, BootstrapSelectsTheCardAndBecomesReadyWithPassingChecks) {
    Harness h;
    EXPECT_EQ(h.model->phase(), AppModel::Phase::launching);
    h.boot();
    EXPECT_EQ(h.model->phase(), AppModel::Phase::ready);
    EXPECT_EQ(h.model->selectedCardID(), "eth9");
    EXPECT_EQ(h.settings->values.at("selectedCardMAC"), "02:00:00:00:00:09");
    EXPECT_FALSE(h.model->checks().empty());
    EXPECT_TRUE(h.model->canStart());
}

TEST(AppModel, StartStaysDisabledWithoutACardOrChecks) {
    Harness h;
    h.hostCards.clear();
    h.boot();
    EXPECT_FALSE(h.model->selectedCardID());
    EXPECT_FALSE(h.model->canStart());
    h.model->start();
    EXPECT_FALSE(h.model->isRunning());

    Harness empty;
    empty.boot();
    ModelStaging::checks(*empty.model, {});
    EXPECT_FALSE(empty.model->canStart());
    empty.model->start();
    EXPECT_FALSE(empty.model->isRunning());
}

TEST(AppModel, StartWithPort67TakenRaisesThePortNoticeNamingTheHolder) {
    for (auto holder : {std::optional<std::string>("dnsmasq:812"), std::optional<std::string>()}) {
        Harness h;
        h.boot();
        h.openError = EADDRINUSE;
        h.holder = holder;
        h.model->start();
        h.drain();
        EXPECT_FALSE(h.model->isRunning());
        EXPECT_FALSE(h.model->lastError());
        ASSERT_EQ(h.model->state.notices.count(NoticeKind::portInUse), 1u);
        EXPECT_EQ(h.model->state.notices.at(NoticeKind::portInUse).message,
                  "Port 67 is in use by " + holder.value_or("another program") +
                      ". Stop the program that serves DHCP there (dnsmasq, libvirt's network, a NetworkManager "
                      "shared connection).");
    }
}

TEST(AppModel, StartRefusedForPermissionBecomesTheErrorAlert) {
    Harness h;
    h.boot();
    h.openError = EACCES;
    h.model->start();
    EXPECT_FALSE(h.model->isRunning());
    ASSERT_TRUE(h.model->lastError());
    EXPECT_NE(h.model->lastError()->find("Permission denied"), std::string::npos) << *h.model->lastError();
}

TEST(AppModel, StartAndStopRunAServerAndLogItsEvents) {
    Harness h;
    h.boot();
    h.model->start();
    ASSERT_TRUE(h.model->isRunning()) << h.model->lastError().value_or("");
    EXPECT_EQ(h.model->startedAt(), h.clock);
    EXPECT_TRUE(h.runKnowsMakers);
    EXPECT_FALSE(h.model->canStart());
    h.model->stop();
    h.drain();
    EXPECT_FALSE(h.model->isRunning());
    EXPECT_FALSE(h.model->state.serverInterface);
    ASSERT_GE(h.model->log().size(), 2u);
    EXPECT_NE(h.model->log().front().text.find("eth9"), std::string::npos) << h.model->log().front().text;
    EXPECT_TRUE(h.model->canStart());
}

TEST(AppModel, LogKeepsTheLast5000LinesAndPausedShowsTheSnapshot) {
    Harness h;
    for (int i = 0; i < 5000; ++i) h.model->appendLog("line " + std::to_string(i), LogLine::Kind::other);
    EXPECT_EQ(h.model->log().size(), 5000u);
    h.model->setLogPaused(true);
    h.model->appendLog("line 5000", LogLine::Kind::rx);
    ASSERT_EQ(h.model->log().size(), 5000u);
    EXPECT_EQ(h.model->log().front().text, "line 1");
    EXPECT_EQ(h.model->log().back().id, 5001);
    EXPECT_EQ(h.model->visibleLog().back().text, "line 4999");
    h.model->setLogPaused(false);
    EXPECT_EQ(h.model->visibleLog().back().text, "line 5000");
    h.model->clearLog();
    EXPECT_TRUE(h.model->visibleLog().empty());
}

TEST(AppModel, FilterMatchesInAnyCase) {
    Harness h;
    h.model->appendLog("RX DISCOVER from AA:BB:cc", LogLine::Kind::rx);
    h.model->appendLog("TX OFFER 192.168.0.100", LogLine::Kind::tx);
    for (const char* filter : {"aa:bb:CC", "AA:BB:CC", "discover"}) {
        h.model->setLogFilter(filter);
        ASSERT_EQ(h.model->visibleLog().size(), 1u) << filter;
        EXPECT_EQ(h.model->visibleLog()[0].kind, LogLine::Kind::rx);
    }
    h.model->setLogFilter("");
    EXPECT_EQ(h.model->visibleLog().size(), 2u);

    // Letters beyond ASCII follow the locale's case rules (here the C library's UTF-8 one).
    if (std::setlocale(LC_CTYPE, "C.UTF-8")) {
        h.model->appendLog("RX REQUEST from host \"Küche-Drucker\"", LogLine::Kind::rx);
        for (const char* filter : {"KÜCHE", "küche", "KüChE"}) {
            h.model->setLogFilter(filter);
            EXPECT_EQ(h.model->visibleLog().size(), 1u) << filter;
        }
        std::setlocale(LC_CTYPE, "C");
    }
}

TEST(AppModel, TcpdumpCommandNamesTheServedCardThenTheSelectedThenAny) {
    Harness h;
    h.hostCards.clear();
    h.boot();
    // "en0" names no card on Linux; "any" always exists there.
    EXPECT_EQ(h.model->tcpdumpCommand(), "sudo tcpdump -i 'any' -n -e 'udp port 67 or udp port 68'");
    Harness selected;
    selected.boot();
    EXPECT_EQ(selected.model->tcpdumpCommand(), "sudo tcpdump -i 'eth9' -n -e 'udp port 67 or udp port 68'");
}

// The line is pasted into a root shell: whatever a card is called, it stays one word there.
TEST(AppModel, TcpdumpCommandKeepsAnyCardNameOneShellWord) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"eth9", "'eth9'"},
        {"eth-usb_1", "'eth-usb_1'"},
        {"eth0;reboot", "'eth0;reboot'"},
        {"eth$(id)", "'eth$(id)'"},
        {"eth a", "'eth a'"},
        {"eth'x", "'eth'\\''x'"},
    };
    for (const auto& [name, quoted] : cases) {
        Harness h;
        NetworkCard card = benchCard();
        card.bsdName = name;
        h.hostCards = {card};
        h.boot();
        // A name beyond letters, digits, "-" and "_" is not offered at all; one that is stays one word.
        if (h.model->selectedCardID() == name)
            EXPECT_EQ(h.model->tcpdumpCommand(), "sudo tcpdump -i " + quoted + " -n -e 'udp port 67 or udp port 68'");
        else
            EXPECT_EQ(h.model->tcpdumpCommand().find(name), std::string::npos) << name;
    }
}

TEST(AppModel, WaitingHintOnlyAfterAMinuteWithoutAnyPacket) {
    Harness h;
    h.boot();
    EXPECT_FALSE(h.model->showsWaitingHint(h.clock.addingSeconds(120)));
    h.model->start();
    ASSERT_TRUE(h.model->isRunning());
    h.drain();
    EXPECT_FALSE(h.model->showsWaitingHint(h.clock.addingSeconds(60)));
    EXPECT_TRUE(h.model->showsWaitingHint(h.clock.addingSeconds(60.5)));
    h.model->handle(ServerEvent::received(PacketSummary{}));
    EXPECT_FALSE(h.model->showsWaitingHint(h.clock.addingSeconds(600)));
    h.model->stop();
}

TEST(AppModel, NextAddressSkipsTheServerAndHeldAddresses) {
    Harness h;
    ServerConfig narrow = h.model->config();
    narrow.rangeStart = ip("192.168.0.1");
    narrow.rangeEnd = ip("192.168.0.3");
    ModelStaging::config(*h.model, narrow);
    Lease held{mac("aa:00:00:00:00:01"),
               ip("192.168.0.2"),
               Lease::State::bound,
               h.clock.addingSeconds(60),
               {},
               {},
               {},
               h.clock,
               h.clock};
    h.model->state.leases[held.mac] = held;
    EXPECT_EQ(h.model->nextAddress(h.clock), ip("192.168.0.3"));
    Lease other = held;
    other.mac = mac("aa:00:00:00:00:02");
    other.ip = ip("192.168.0.3");
    h.model->state.leases[other.mac] = other;
    EXPECT_FALSE(h.model->nextAddress(h.clock));
    EXPECT_EQ(h.model->nextAddress(h.clock.addingSeconds(61)), ip("192.168.0.2")) << "expired leases free it";
}

TEST(AppModel, AdapterCommandsRunOnlyAfterConfirmationAndFailuresOfferTheTerminalLine) {
    Harness h;
    h.boot();
    h.model->requestConfigureAdapter();
    ASSERT_TRUE(h.model->pendingCommand());
    EXPECT_EQ(h.model->pendingCommand()->title, "Configure Wired 9 as 192.168.0.1/24?");
    EXPECT_TRUE(h.ranCommands.empty());
    h.model->run(*h.model->pendingCommand());
    h.drain();
    EXPECT_FALSE(h.model->pendingCommand());
    ASSERT_EQ(h.ranCommands.size(), 1u);
    EXPECT_NE(h.model->log().back().text.find("ADAPTER      "), std::string::npos) << h.model->log().back().text;

    h.model->requestRestoreDHCP();
    EXPECT_EQ(h.model->pendingCommand()->title, "Set Wired 9 back to DHCP?");
    PendingCommand forged = *h.model->pendingCommand();
    forged.service = "Other";
    h.model->run(forged);
    h.drain();
    EXPECT_EQ(h.ranCommands.size(), 1u) << "an unknown service never runs";
    ASSERT_TRUE(h.model->failedCommand() && h.model->lastError());
    EXPECT_EQ(h.model->failedCommand()->rfind("sudo ", 0), 0u);
    h.model->dismissError();
    EXPECT_FALSE(h.model->failedCommand() || h.model->lastError());
}

// Setting the address of the computer's own internet connection would cut it off: such a card is
// never offered a configure or restore command, from the checklist or the settings.
TEST(AppModel, AdapterSetupIsOfferedForBenchCardsOnly) {
    struct Case {
        const char* name;
        bool isPrimary;
        bool hasService;
        bool offered;
    };
    const std::vector<Case> cases{
        {"bench card", false, true, true},
        {"main internet connection", true, true, false},
        {"bench card without a service", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        NetworkCard card = benchCard();
        card.configMethod = NetworkCard::ConfigMethod::dhcp();
        card.addresses.clear();
        card.isPrimary = c.isPrimary;
        if (!c.hasService) card.serviceName.reset();
        h.hostCards = {card};
        h.boot();
        ASSERT_EQ(h.model->selectedCardID(), "eth9");
        EXPECT_EQ(AppModel::offersAdapterSetup(card), !c.isPrimary);
        EXPECT_EQ(h.model->canConfigureAdapter(), c.offered);
        bool fixShown = false;
        for (const auto& check : h.model->checks()) fixShown |= h.model->offersFix(check);
        EXPECT_EQ(fixShown, c.offered);

        h.model->requestConfigureAdapter();
        EXPECT_EQ(h.model->pendingCommand().has_value(), c.offered);
        h.model->cancelPendingCommand();
        h.model->requestRestoreDHCP();
        EXPECT_EQ(h.model->pendingCommand().has_value(), c.offered);
        h.model->cancelPendingCommand();
        EXPECT_TRUE(h.ranCommands.empty());
    }
}

TEST(AppModel, ForgetAndClearGoThroughTheLeaseFile) {
    Harness h;
    Lease active{mac("aa:00:00:00:00:01"),
                 ip("192.168.0.100"),
                 Lease::State::bound,
                 h.clock.addingSeconds(600),
                 {},
                 {},
                 {},
                 h.clock,
                 h.clock};
    Lease expired = active;
    expired.mac = mac("aa:00:00:00:00:02");
    expired.ip = ip("192.168.0.101");
    expired.expiresAt = h.clock.addingSeconds(-1);
    LeaseFile(h.folder / "leases.json").save(LeaseTable({active, expired}, {}));
    h.boot();
    EXPECT_EQ(h.model->state.leases.size(), 2u);
    h.model->clearExpiredLeases();
    h.drain();  // the file is edited in the background, the table follows on the main thread
    EXPECT_EQ(h.model->state.leases.size(), 1u);
    h.model->forgetLease(active.mac);
    h.drain();  // the file is edited in the background, the table follows on the main thread
    EXPECT_TRUE(h.model->state.leases.empty());
    EXPECT_TRUE(LeaseFile(h.folder / "leases.json").load(h.clock).table.leases().empty());
    EXPECT_FALSE(h.model->lastError());
}

namespace {

std::map<std::string, std::string> filesIn(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] = std::string((std::istreambuf_iterator<char>(in)), {});
    }
    return files;
}

Lease boundLease(const char* hardware, const char* address, Date now) {
    return {mac(hardware), ip(address), Lease::State::bound, now.addingSeconds(600), {}, {}, {}, now, now};
}

}  // namespace

// The offline edits take the file's lock: held elsewhere, they change nothing and say who holds
// it; the app's own server starting or stopping refuses them with its sentence; once the lock is
// free again they go through.
TEST(AppModel, OfflineEditsRefuseWhileAnotherWriterHoldsTheFile) {
    struct Case {
        const char* name;
        std::function<void(Harness&)> occupy;  // takes the file away from the edit
        std::function<void(AppModel&)> edit;
        std::function<std::string(Harness&)> sentence;
    };
    auto inUse = [](Harness& h) {
        return (h.folder / "leases.json").string() + " is in use by another DHCP Anvil (process " +
               std::to_string(::getpid()) + "); stop it or use another lease file";
    };
    std::optional<LeaseFileLock> other;
    const std::vector<Case> cases = {
        {"forget, locked elsewhere",
         [&](Harness& h) { other.emplace(LeaseFileLock::acquire(h.folder / "leases.json")); },
         [](AppModel& m) { m.forgetLease(mac("aa:00:00:00:00:01")); }, inUse},
        {"clear, locked elsewhere",
         [&](Harness& h) { other.emplace(LeaseFileLock::acquire(h.folder / "leases.json")); },
         [](AppModel& m) { m.clearExpiredLeases(); }, inUse},
        {"forget, own server starting", [](Harness& h) { ModelStaging::changing(*h.model, true, false); },
         [](AppModel& m) { m.forgetLease(mac("aa:00:00:00:00:01")); },
         [](Harness&) { return std::string(AppModel::serverChangingSentence); }},
        {"clear, own server stopping", [](Harness& h) { ModelStaging::changing(*h.model, false, true); },
         [](AppModel& m) { m.clearExpiredLeases(); },
         [](Harness&) { return std::string(AppModel::serverChangingSentence); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        Lease expired = boundLease("aa:00:00:00:00:02", "192.168.0.101", h.clock.addingSeconds(-1000));
        LeaseFile(h.folder / "leases.json")
            .save(LeaseTable({boundLease("aa:00:00:00:00:01", "192.168.0.100", h.clock), expired}, {}));
        h.boot();
        c.occupy(h);
        auto before = filesIn(h.folder);
        c.edit(*h.model);
        h.drain();
        EXPECT_EQ(h.model->lastError(), c.sentence(h));
        EXPECT_EQ(filesIn(h.folder), before);
        EXPECT_EQ(h.model->state.leases.size(), 2u);

        other.reset();
        ModelStaging::changing(*h.model, false, false);
        h.model->dismissError();
        c.edit(*h.model);
        h.drain();
        EXPECT_FALSE(h.model->lastError());
        EXPECT_EQ(h.model->state.leases.size(), 1u);
        EXPECT_EQ(LeaseFile(h.folder / "leases.json").load(h.clock).table.leases().size(), 1u);
    }
}

// Reading takes no lock, but moving an undecodable file aside writes: only with the lock free.
TEST(AppModel, LaunchSetsAnUndecodableFileAsideOnlyWhenNoOtherWriterHoldsIt) {
    for (bool held : {true, false}) {
        SCOPED_TRACE(held ? "held" : "free");
        Harness h;
        std::ofstream(h.folder / "leases.json") << "{ not json";
        std::optional<LeaseFileLock> other;
        if (held) other.emplace(LeaseFileLock::acquire(h.folder / "leases.json"));
        auto before = filesIn(h.folder);
        h.boot();
        EXPECT_EQ(h.model->state.notices.contains(NoticeKind::leaseSaveFailed), held);
        EXPECT_EQ(h.model->state.notices.contains(NoticeKind::leaseFileSetAside), !held);
        EXPECT_EQ(filesIn(h.folder) == before, held);
    }
}

namespace {

// A device on 127.0.0.1 whose own port is the server's client port.
struct LoopbackDevice {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;

    LoopbackDevice() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~LoopbackDevice() { ::close(fd); }

    std::optional<DHCPPacket> exchange(std::uint16_t serverPort, const DHCPPacket& packet) const {
        auto bytes = packet.serialize();
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(serverPort);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 3000) != 1) return std::nullopt;
        Bytes buffer(4096);
        auto length = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (length < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(length));
        return DHCPPacket::parse(buffer);
    }

    // DISCOVER and REQUEST: the acknowledged address, or none.
    std::optional<IPv4Address> bind(std::uint16_t serverPort, const MACAddress& device, std::uint32_t xid) const {
        auto offer = exchange(serverPort, load::discover(device, xid));
        if (!offer) return std::nullopt;
        auto ack = exchange(serverPort, load::selectingRequest(device, xid, offer->yiaddr, ip("192.168.0.1")));
        if (!ack || ack->messageType() != DHCPMessageType::ack) return std::nullopt;
        return ack->yiaddr;
    }
};

}  // namespace

// A real `dhcpanvil serve` on the app's lease file: the app's Forget refuses with the sentence and
// leaves the file as it was; after kill -9 of the serve it goes through, and every lease the serve
// acknowledged is still there.
TEST(AppModel, ForgetBesideARunningServeRefusesThenWorksOnceItIsKilled) {
    Harness h;
    auto leases = h.folder / "leases.json";
    const MACAddress first = mac("02:de:00:00:00:01"), second = mac("02:de:00:00:00:02");
    LoopbackDevice device;
    auto port = freeLoopbackPort();
    std::optional<IPv4Address> secondAddress;
    {
        ServeProcess serve({"serve", "--test-loopback", "--port", std::to_string(port), "--client-port",
                            std::to_string(device.port), "--leases", leases.string()});
        ASSERT_TRUE(serve.waitForOutput("START")) << serve.err();
        ASSERT_TRUE(device.bind(port, first, 0x2101));
        // The serve rewrites leases.json once its journal has been quiet: wait for that, so that
        // only the app could change the files from here on.
        bool compacted = false;
        for (int attempt = 0; attempt < 200 && !compacted; ++attempt) {
            auto files = filesIn(h.folder);
            try {
                compacted = files.size() == 3 && files.contains("leases.json.journal") &&
                            LeaseFile::decode(files["leases.json"]).lease(first).has_value();
            } catch (const std::exception&) {
            }
            if (!compacted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(compacted);
        h.boot();
        ASSERT_EQ(h.model->state.leases.size(), 1u);

        auto before = filesIn(h.folder);
        h.model->forgetLease(first);
        h.drain();
        EXPECT_EQ(h.model->lastError(), leases.string() + " is in use by another DHCP Anvil (process " +
                                          std::to_string(serve.pid()) + "); stop it or use another lease file");
        EXPECT_EQ(filesIn(h.folder), before);
        EXPECT_EQ(h.model->state.leases.size(), 1u);

        // Acknowledged after the refusal and only in the journal when the serve dies.
        secondAddress = device.bind(port, second, 0x2102);
        ASSERT_TRUE(secondAddress);
    }  // kill -9
    h.model->dismissError();
    h.model->forgetLease(first);
    h.drain();
    EXPECT_FALSE(h.model->lastError());
    auto stored = LeaseFile(leases).load(h.clock).table;
    EXPECT_FALSE(stored.lease(first));
    ASSERT_TRUE(stored.lease(second));
    EXPECT_EQ(stored.lease(second)->ip, *secondAddress);
    EXPECT_EQ(stored.lease(second)->state, Lease::State::bound);
    ASSERT_EQ(h.model->state.leases.size(), 1u);
}

TEST(AppModel, SavingSettingsPersistsOnlyAValidForm) {
    Harness h;
    h.boot();
    h.model->openSettings();
    SettingsForm form = SettingsForm::from(h.model->config());
    form.rangeEnd = "10.0.0.1";
    EXPECT_FALSE(h.model->saveSettings(form).empty());
    EXPECT_TRUE(h.model->settingsOpen());
    EXPECT_EQ(h.model->config(), AppModel::defaultConfig());
    EXPECT_EQ(h.settings->values.count("serverConfig"), 0u);

    form = SettingsForm::from(h.model->config());
    form.rangeEnd = "192.168.0.150";
    EXPECT_TRUE(h.model->saveSettings(form).empty());
    EXPECT_FALSE(h.model->settingsOpen());
    EXPECT_EQ(h.model->config().rangeEnd, ip("192.168.0.150"));
}

TEST(AppModel, PinningALeaseStoresItAsSaveDoesAndRefusesWhatTheConfigurationWouldNotHold) {
    Harness h;
    h.boot();
    Lease board{mac("aa:00:00:00:00:01"), ip("192.168.0.100"), Lease::State::bound, Date{1'700'003'600}, "board", {},
                {}, Date{1'700'000'000}, Date{1'700'000'000}};
    h.model->pinLease(board);
    EXPECT_EQ(h.model->config().pins, (std::vector<Pin>{{board.mac, std::nullopt, board.ip, "board"}}));
    EXPECT_EQ(h.settings->values.count("serverConfig"), 1u);
    // Pinned again at another address: one pin, its label kept.
    board.ip = ip("192.168.0.120");
    board.hostname = "renamed";
    h.model->pinLease(board);
    EXPECT_EQ(h.model->config().pins, (std::vector<Pin>{{board.mac, std::nullopt, board.ip, "board"}}));
    h.model->unpin(board.mac);
    EXPECT_TRUE(h.model->config().pins.empty());
    EXPECT_FALSE(h.model->lastError());

    auto broken = AppModel::defaultConfig();
    std::swap(broken.rangeStart, broken.rangeEnd);
    ModelStaging::config(*h.model, broken);
    h.model->pinLease(board);
    EXPECT_EQ(h.model->config(), broken);
    EXPECT_EQ(h.model->lastError(),
              "Can't pin aa:00:00:00:00:01 to 192.168.0.120: Range start must not be after range end.");
}

TEST(AppModel, ForgetAndClearWaitForTheAnswerAndRefreshOnlyReads) {
    Harness h;
    h.boot();
    Lease lease{mac("aa:00:00:00:00:01"),
                ip("192.168.0.100"),
                Lease::State::bound,
                h.clock.addingSeconds(600),
                {},
                {},
                {},
                h.clock,
                h.clock};
    LeaseFile(h.folder / "leases.json").save(LeaseTable({lease}, {}));
    auto written = fs::last_write_time(h.folder / "leases.json");
    h.model->refreshLeases();
    h.drain();  // the file is edited in the background, the table follows on the main thread
    EXPECT_EQ(h.model->state.leases.size(), 1u) << "Refresh picks up the file";
    EXPECT_EQ(fs::last_write_time(h.folder / "leases.json"), written) << "and never rewrites it";

    h.model->requestForgetLease(lease.mac);
    EXPECT_EQ(h.model->confirmForget(), lease.mac);
    h.model->cancelForgetLease();
    EXPECT_FALSE(h.model->confirmForget());
    h.model->requestClearExpired();
    EXPECT_TRUE(h.model->confirmClear());
    h.model->cancelClearExpired();
    EXPECT_FALSE(h.model->confirmClear());
    EXPECT_EQ(h.model->state.leases.size(), 1u) << "a cancelled question changes nothing";

    h.model->requestForgetLease(lease.mac);
    h.model->forgetLease(lease.mac);
    h.drain();  // the file is edited in the background, the table follows on the main thread
    EXPECT_FALSE(h.model->confirmForget());
    EXPECT_TRUE(h.model->state.leases.empty());
}

TEST(AppModel, TcpdumpFallsBackToAnyWhenTheSelectedCardIsGone) {
    Harness h;
    h.boot();
    ModelStaging::cards(*h.model, {});
    ASSERT_TRUE(h.model->selectedCardID());
    EXPECT_EQ(h.model->tcpdumpCommand(), "sudo tcpdump -i 'any' -n -e 'udp port 67 or udp port 68'");
}

// The settings buttons open what the platform has: macOS's privacy pane, a Linux desktop's network
// settings tool started off the main thread, or nothing (and the screens hide the buttons).
TEST(AppModel, NetworkSettingsFollowThePlatform) {
    struct Case {
        Platform platform;
        std::optional<std::vector<std::string>> tool;
        bool canOpen;
        std::vector<std::string> opened;
        std::string fallbackCard;
    } cases[] = {
        {Platform::macOS,
         std::nullopt,
         true,
         {"x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork",
          "x-apple.systempreferences:com.apple.preference.security"},
         "en0"},
        {Platform::gnuLinux,
         std::vector<std::string>{"/usr/bin/nm-connection-editor"},
         true,
         {"/usr/bin/nm-connection-editor"},
         "any"},
        {Platform::gnuLinux, std::nullopt, false, {}, "any"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> opened;
        bool onBackground = false;
        NetworkSettingsMeans means;
        means.openURL = [&opened](const std::string& url) {
            opened.push_back(url);
            return false;
        };
        means.command = c.tool;
        means.launch = [&opened, &onBackground](const std::vector<std::string>& command) {
            EXPECT_TRUE(onBackground);
            opened.push_back(command.front());
            return true;
        };
        means.background = [&onBackground](AppModel::Task task) {
            onBackground = true;
            task();
            onBackground = false;
        };
        AppModel::Environment env;
        env.platform = c.platform;
        env.openNetworkSettings = networkSettingsOpener(c.platform, means);
        env.now = [] { return Date{1'700'000'000}; };
        env.leaseFileURL = fs::temp_directory_path() / "anvil-app-no-such" / "leases.json";
        env.logDirectory = fs::temp_directory_path() / "anvil-app-no-such" / "logs";
        AppModel model(std::move(env));
        EXPECT_EQ(model.canOpenNetworkSettings(), c.canOpen);
        model.openLocalNetworkSettings();
        EXPECT_EQ(opened, c.opened);
        EXPECT_EQ(model.texts().startAccessNote.has_value(), c.platform == Platform::macOS);
        EXPECT_NE(model.tcpdumpCommand().find("-i '" + c.fallbackCard + "' "), std::string::npos);
    }
}

TEST(AppModel, TheUsersCardIsRememberedUntilTheUserPicksAnother) {
    NetworkCard other = benchCard();
    other.bsdName = "eth3";
    other.mac = mac("02:00:00:00:00:03");
    const std::string remembered = "02:00:00:00:00:09";
    struct Case {
        const char* name;
        std::function<void(Harness&)> disturb;
    };
    const std::vector<Case> cases{
        {"the scan at launch times out",
         [](Harness& h) {
             h.hostHangs = true;
             h.boot();
             EXPECT_FALSE(h.model->selectedCardID());
             h.hostHangs = false;
         }},
        {"the card is unplugged while idle",
         [other](Harness& h) {
             h.boot();
             h.hostCards = {other};
             h.model->refreshCards();
             h.drain();
             EXPECT_EQ(h.model->selectedCardID(), "eth3") << "an automatic pick meanwhile";
         }},
        {"a scan times out while idle",
         [](Harness& h) {
             h.boot();
             h.hostHangs = true;
             h.model->refreshCards();
             h.drain();
             h.hostHangs = false;
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        Harness h;
        h.hostCards = {benchCard(), other};
        h.settings->setValue("selectedCardMAC", remembered);
        each.disturb(h);
        EXPECT_EQ(h.settings->value("selectedCardMAC"), remembered);
        // Once the card is listed again it is the selected one.
        h.hostCards = {other, benchCard()};
        h.model->refreshCards();
        h.drain();
        EXPECT_EQ(h.model->selectedCardID(), "eth9");
        EXPECT_EQ(h.settings->value("selectedCardMAC"), remembered);
        // Only the user's own choice replaces it.
        h.model->select("eth3");
        h.drain();
        EXPECT_EQ(h.settings->value("selectedCardMAC"), "02:00:00:00:00:03");
    }
}

TEST(AppModel, StopReturnsAtOnceAndStartWaitsForTheTeardown) {
    Harness h;
    h.boot();
    h.model->start();
    ASSERT_TRUE(h.model->isRunning()) << h.model->lastError().value_or("");
    // The teardown goes to the background and does not run yet: the window is free meanwhile.
    h.hostHangs = true;
    h.model->stop();
    EXPECT_FALSE(h.model->isRunning());
    EXPECT_TRUE(h.model->isStopping());
    EXPECT_FALSE(h.model->canStart()) << "the port is not free before the old server let go";
    ASSERT_FALSE(h.stalled.empty());
    h.hostHangs = false;
    while (!h.stalled.empty()) {
        auto task = std::move(h.stalled.front());
        h.stalled.pop_front();
        task();
    }
    h.drain();
    EXPECT_FALSE(h.model->isStopping());
    EXPECT_TRUE(h.model->canStart());
    EXPECT_FALSE(h.model->lastError());
}

TEST(AppModel, EachOperationAndEventNamesOnlyThePartsItTouched) {
    using Part = ModelChange;
    Lease lease{mac("aa:00:00:00:00:01"), ip("192.168.0.100"), Lease::State::bound, Date{1'700'003'600}, {}, {}, {},
                Date{1'700'000'000}, Date{1'700'000'000}};
    PacketSummary discover;
    discover.type = DHCPMessageType::discover;
    discover.mac = lease.mac;
    SentSummary offer{DHCPMessageType::offer, lease.ip, lease.mac, ReplyDestination::broadcast(), "eth9", {}, {}};
    Neighbour device;
    device.mac = mac("02:00:00:00:00:42");
    device.claims = {ip("10.1.1.1")};
    struct Case {
        const char* name;
        std::function<void(AppModel&)> act;
        ModelChange parts;
    };
    const std::vector<Case> cases{
        {"a log line", [](AppModel& m) { m.appendLog("INFO", LogLine::Kind::other); }, Part::log},
        {"a filter", [](AppModel& m) { m.setLogFilter("rx"); }, Part::log},
        {"a received packet", [&](AppModel& m) { m.handle(ServerEvent::received(discover)); }, Part::log | Part::serving},
        {"a sent reply", [&](AppModel& m) { m.handle(ServerEvent::sent(offer)); }, Part::log | Part::serving},
        {"a lease", [&](AppModel& m) { m.handle(ServerEvent::leaseChanged(lease)); }, Part::leases | Part::log},
        {"a lease gone", [&](AppModel& m) { m.handle(ServerEvent::leaseRemoved(lease.mac)); },
         Part::leases | Part::log},
        {"a presence answer",
         [&](AppModel& m) { m.handle(ServerEvent::presence(lease.ip, lease.mac, PresenceState::online, "")); },
         Part::leases | Part::log},
        {"a notice", [](AppModel& m) { m.handle(ServerEvent::noticeRaised(Notice::linkDown("eth9"))); },
         Part::notices | Part::log},
        {"a device on the cable", [&](AppModel& m) { m.handle(ServerEvent::neighbour(NeighbourChange::seen, device)); },
         Part::neighbours | Part::log},
        {"a transfer's progress",
         [&](AppModel& m) { m.handle(ServerEvent::tftpProgress(1, lease.ip, lease.mac, "boot.img", 512, 4096)); },
         Part::transfers | Part::log},
        {"a dismissal", [](AppModel& m) { m.dismiss(NoticeKind::linkDown); }, Part::notices},
        {"a question", [&](AppModel& m) { m.requestForgetLease(lease.mac); }, Part::dialogs},
        {"the settings sheet", [](AppModel& m) { m.openSettings(); }, Part::settings | Part::dialogs},
        {"disconnected cards", [](AppModel& m) { m.setShowDisconnected(true); }, Part::cards},
    };
    for (const auto& each : cases) {
        Harness h;
        h.boot();
        std::vector<ModelChange> told;
        h.model->onChange = [&told](ModelChange parts) { told.push_back(parts); };
        each.act(*h.model);
        h.drain();
        ModelChange all;
        for (auto parts : told) all |= parts;
        EXPECT_EQ(all, each.parts) << each.name;
    }
}

TEST(AppModel, LogPastItsCapacityKeepsTheNewestInOrderAndShowsThoseThatPassTheFilter) {
    for (std::string filter : {"", "rx", "nothing matches"}) {
        Harness h;
        h.model->setLogFilter(filter);
        for (int i = 0; i < 6000; ++i)
            h.model->appendLog((i % 3 ? "TX line " : "RX line ") + std::to_string(i),
                               i % 3 ? LogLine::Kind::tx : LogLine::Kind::rx);
        ASSERT_EQ(h.model->log().size(), AppModel::logCapacity) << filter;
        for (std::size_t k = 0; k < h.model->log().size(); ++k)
            ASSERT_EQ(h.model->log()[k].text.substr(8), std::to_string(1000 + k)) << filter;
        std::vector<std::string> expected;
        for (const auto& line : h.model->log())
            if (AppModel::matchesFilter(line.text, filter)) expected.push_back(line.text);
        std::vector<std::string> shown;
        for (const auto& line : h.model->visibleLog()) shown.push_back(line.text);
        EXPECT_EQ(shown, expected) << filter;
        EXPECT_EQ(shown.size(), filter == "rx" ? 1666u : filter.empty() ? 5000u : 0u) << filter;
    }
}

// Opening the socket and loading the leases happen away from the window: meanwhile the model is
// starting, a second Start does nothing, and a Stop pressed then stops the server once it started.
TEST(AppModel, StartRunsAwayFromTheWindowAndAStopMeanwhileWaitsForIt) {
    for (bool stopWhileStarting : {false, true}) {
        Harness h;
        h.boot();
        h.hostHangs = true;
        h.model->start();
        EXPECT_TRUE(h.model->isStarting());
        EXPECT_FALSE(h.model->isRunning());
        EXPECT_FALSE(h.model->canStart());
        h.model->start();
        if (stopWhileStarting) h.model->stop();
        h.drain();  // the window goes on while the start is held back
        EXPECT_TRUE(h.model->isStarting());
        EXPECT_FALSE(h.model->isStopping());

        h.runStalled();
        h.drain();
        EXPECT_FALSE(h.model->isStarting());
        EXPECT_FALSE(h.model->lastError());
        if (!stopWhileStarting) {
            EXPECT_TRUE(h.model->isRunning());
            EXPECT_EQ(h.model->state.serverInterface, "eth9");
            EXPECT_EQ(h.model->startedAt(), h.clock);
            h.model->stop();
            h.drain();
        }
        EXPECT_FALSE(h.model->isRunning());
        EXPECT_FALSE(h.model->isStopping());
        EXPECT_TRUE(h.model->canStart());
        int starts = 0;
        int stops = 0;
        for (const auto& line : h.model->log()) {
            starts += line.text.find(" START ") != std::string::npos;
            stops += line.text.find(" STOP ") != std::string::npos;
        }
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(stops, 1);
    }
}

namespace {

// What the run logs once it tries to serve a recovery loader on the harness's card.
const std::string recoveryPortLine = "cannot serve the recovery loader: cannot open TFTP port 69 on eth9";

Neighbour cableDevice(const char* hw, const char* claim, std::optional<const char*> asksFor = std::nullopt) {
    Neighbour device;
    device.mac = mac(hw);
    device.claims = {ip(claim)};
    if (asksFor) device.asksFor = {{ip(*asksFor), 5}};
    device.maker = "<b>x</b>";
    return device;
}

}  // namespace

TEST(AppModel, ReachingADeviceAddsAnAddressAndStoppingOrTheServerEndingRemovesIt) {
    struct Case {
        const char* name;
        bool stopServer;
        std::vector<std::string> commands;
    };
    std::vector<Case> cases = {
        {"stop reaching", false, {"ip address add 10.1.1.254/24 dev 'eth9'", "ip address del 10.1.1.254/24 dev 'eth9'"}},
        {"server stops", true, {"ip address add 10.1.1.254/24 dev 'eth9'", "ip address del 10.1.1.254/24 dev 'eth9'"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Harness h;
        h.boot();
        h.model->start();
        h.drain();
        ASSERT_TRUE(h.model->isRunning()) << h.model->lastError().value_or("");
        auto device = cableDevice("02:00:00:00:00:42", "10.1.1.1");
        h.model->handle(ServerEvent::neighbour(NeighbourChange::seen, device));
        EXPECT_TRUE(h.model->canReach(device.mac));
        h.model->reachNeighbour(device.mac);
        h.drain();
        EXPECT_TRUE(h.model->isReached(device.mac));
        EXPECT_FALSE(h.model->canReach(device.mac));
        if (test.stopServer)
            h.model->stop();
        else
            h.model->stopReaching(device.mac);
        h.drain();
        EXPECT_FALSE(h.model->isReached(device.mac));
        ASSERT_EQ(h.addressCommands.size(), 2u);
        EXPECT_EQ(h.addressCommands[0], test.commands[0]);
        EXPECT_NE(h.addressCommands[1].find("10.1.1.254/24"), std::string::npos) << h.addressCommands[1];
        EXPECT_FALSE(h.model->lastError()) << *h.model->lastError();
    }
}

// "Serve a file to it" never waits for the run: its requests are queued while its loop is busy.
TEST(AppModel, ServingAFileToALoaderReturnsAtOnceWhileTheRunIsBusy) {
    Harness h;
    h.chosenFile = "/tmp/firmware.img";
    h.boot();
    h.model->start();
    h.drain();
    ASSERT_TRUE(h.model->isRunning()) << h.model->lastError().value_or("");
    auto hold = h.loopHold;
    {
        std::unique_lock lock(hold->mutex);
        hold->holding = true;
        // The card is looked at each second.
        ASSERT_TRUE(hold->changed.wait_for(lock, std::chrono::seconds(5), [&hold] { return hold->inside; }));
    }
    // Let go later in any case, so a model that waits fails by the clock instead of hanging.
    std::thread release([hold] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        std::lock_guard lock(hold->mutex);
        hold->holding = false;
        hold->changed.notify_all();
    });
    auto began = std::chrono::steady_clock::now();
    auto loader = cableDevice("02:00:00:00:00:86", "10.0.0.86", "10.0.0.66");
    h.model->handle(ServerEvent::neighbour(NeighbourChange::seen, loader));
    h.model->serveFileToNeighbour(loader.mac);
    h.drain();
    ServerEvent::TFTPFailed failed{1, ip("10.0.0.86"), std::nullopt, "fw.bin", TFTPFailureReason::notInFolder, ""};
    h.model->handle(ServerEvent{failed});
    h.drain();
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(h.fileTitles.size(), 1u);
    EXPECT_LT(waited, std::chrono::seconds(1)) << "the window waited for the run";
    release.join();
}

TEST(AppModel, ServingARecoveryLoaderAsksForTheMissingFileAndCleansUpWhenItWent) {
    Harness h;
    h.chosenFile = "/tmp/firmware.img";
    h.boot();
    h.model->start();
    h.drain();
    ASSERT_TRUE(h.model->isRunning()) << h.model->lastError().value_or("");
    auto loader = cableDevice("02:00:00:00:00:86", "10.0.0.86", "10.0.0.66");
    h.model->handle(ServerEvent::neighbour(NeighbourChange::seen, loader));
    auto advice = h.model->neighbourAdvice(loader.mac);
    ASSERT_TRUE(advice);
    ASSERT_EQ(advice->kind, NeighbourAdvice::Kind::recoveryLoader);
    h.model->serveFileToNeighbour(loader.mac);
    h.drain();
    ASSERT_EQ(h.addressCommands, std::vector<std::string>{"ip address add 10.0.0.66/24 dev 'eth9'"});
    // The run itself serves TFTP on the card now, and says that port 69 is not to be had.
    EXPECT_TRUE(h.waitForLog(recoveryPortLine));

    // A name with markup is asked for as text; a second failure of the same name asks once.
    std::string name = "<i>fw</i>.bin";
    ServerEvent::TFTPRequested requested{1, ip("10.0.0.86"), 1024, std::nullopt, name, ""};
    h.model->handle(ServerEvent{requested});
    ServerEvent::TFTPFailed failed{1, ip("10.0.0.86"), std::nullopt, name, TFTPFailureReason::notInFolder, ""};
    h.model->handle(ServerEvent{failed});
    h.model->handle(ServerEvent{failed});
    // Someone else's finished transfer changes nothing.
    h.model->handle(ServerEvent{ServerEvent::TFTPFinished{3, ip("192.168.0.50"), std::nullopt, "other", 10, 1}});
    h.drain();
    ASSERT_EQ(h.fileTitles.size(), 1u);
    EXPECT_EQ(h.fileTitles[0], "Choose the file to send as " + plainText(name));
    ASSERT_TRUE(h.model->recovery());
    EXPECT_EQ(h.model->recovery()->file, name);
    EXPECT_EQ(h.addressCommands.size(), 1u);

    h.model->handle(ServerEvent{ServerEvent::TFTPFinished{2, ip("10.0.0.86"), std::nullopt, name, 4096, 2}});
    h.drain();
    ASSERT_EQ(h.addressCommands.size(), 2u);
    EXPECT_NE(h.addressCommands[1].find("10.0.0.66/24"), std::string::npos) << h.addressCommands[1];
    EXPECT_FALSE(h.model->recovery());
    EXPECT_TRUE(h.model->reached().empty());
}

TEST(AppModel, ReachingADeviceAsksFirstAndRunsOnlyTheAddressItShowed) {
    struct Case {
        const char* name;
        bool confirm;
        bool addressTakenMeanwhile;
        std::vector<std::string> commands;
        std::optional<std::string> askedAgain;
    };
    std::vector<Case> cases = {
        {"cancelled", false, false, {}, std::nullopt},
        {"added", true, false, {"ip address add 10.1.1.254/24 dev 'eth9'"}, std::nullopt},
        {"taken while asking", true, true, {}, "Add 10.1.1.253/24 to eth9?"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Harness h;
        h.boot();
        auto device = cableDevice("02:00:00:00:00:42", "10.1.1.1");
        h.model->handle(ServerEvent::neighbour(NeighbourChange::seen, device));
        h.model->askToReach(device.mac);
        ASSERT_TRUE(h.model->addressQuestion());
        EXPECT_EQ(h.model->addressQuestion()->title(), "Add 10.1.1.254/24 to eth9?");
        if (test.addressTakenMeanwhile)
            h.model->handle(
                ServerEvent::neighbour(NeighbourChange::seen, cableDevice("02:00:00:00:00:43", "10.1.1.254")));
        if (test.confirm)
            h.model->confirmAddress();
        else
            h.model->cancelAddress();
        h.drain();
        EXPECT_EQ(h.addressCommands, test.commands);
        EXPECT_EQ(h.model->addressQuestion() ? std::optional(h.model->addressQuestion()->title()) : std::nullopt,
                  test.askedAgain);
    }
}

TEST(AppModel, CancellingTheFileQuestionServesNothingSaysSoAndTakesTheAddressAway) {
    Harness h;
    h.boot();
    h.model->start();
    h.drain();
    auto loader = cableDevice("02:00:00:00:00:86", "10.0.0.86", "10.0.0.66");
    h.model->handle(ServerEvent::neighbour(NeighbourChange::seen, loader));
    h.model->serveFileToNeighbour(loader.mac);
    h.drain();
    EXPECT_TRUE(h.waitForLog(recoveryPortLine)) << "the run serves TFTP on the card";
    h.model->handle(
        ServerEvent::tftpFailed(1, ip("10.0.0.86"), std::nullopt, "recovery.bin", TFTPFailureReason::notInFolder, ""));
    h.drain();
    EXPECT_EQ(h.fileTitles, std::vector<std::string>{"Choose the file to send as recovery.bin"});
    EXPECT_FALSE(h.model->recovery());
    ASSERT_EQ(h.addressCommands.size(), 2u);
    EXPECT_NE(h.addressCommands[1].find(" del 10.0.0.66/24"), std::string::npos) << h.addressCommands[1];
    EXPECT_TRUE(std::any_of(h.model->log().begin(), h.model->log().end(), [](const LogLine& line) {
        auto label = line.text.find("TFTP ");
        return label != std::string::npos &&
               line.text.find("no file chosen for recovery.bin: nothing is served", label) != std::string::npos;
    }));
}
