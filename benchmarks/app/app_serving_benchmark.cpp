// The application's CPU while it serves: the real model and window on Qt's offscreen platform, a
// server on a transport that never receives, and the events a bench device causes fed in as the
// event reader would hand them. Prints CPU seconds; asserts nothing.
//
// Usage: anvil_app_serving_benchmark [seconds, default 60] [stored leases, default 500]
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/app_model.hpp"
#include "app/ui/main_window.hpp"
#include "core/dhcp_service/transport_error.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

Date wallClock() {
    using namespace std::chrono;
    return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Opens a pipe nobody writes to: the server runs and never receives anything by itself.
class QuietTransport : public Transport {
public:
    ~QuietTransport() override { close(); }
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
    std::uint32_t interfaceIndex() const override { return 7; }

private:
    int pipe_[2] = {-1, -1};
};

NetworkCard benchCard() {
    NetworkCard card;
    card.bsdName = "eth9";
    card.displayName = "USB Ethernet";
    card.serviceName = "Wired 9";
    card.kind = NetworkCard::Kind::ethernet;
    card.mac = *MACAddress::parse("02:00:00:00:00:09");
    card.linkUp = true;
    card.addresses = {*Subnet::parse("192.168.0.1/24")};
    card.configMethod =
        NetworkCard::ConfigMethod::manual(*IPv4Address::parse("192.168.0.1"), *IPv4Address::parse("255.255.255.0"));
    return card;
}

MACAddress macNumber(unsigned n) {
    return MACAddress{{0x02, 0x42, 0x00, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(n)}};
}

Lease leaseNumber(unsigned n, Date now) {
    Lease lease;
    lease.mac = macNumber(n);
    lease.ip = IPv4Address{IPv4Address::parse("10.0.1.0")->value + n};
    lease.state = Lease::State::bound;
    lease.expiresAt = now.addingSeconds(3600 + n);
    lease.hostname = "device-" + std::to_string(n);
    lease.firstSeen = lease.lastSeen = now;
    return lease;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    unsigned stored = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 500;
    if (seconds <= 0) seconds = 60;
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    fs::path folder = fs::temp_directory_path() / ("anvil-app-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);

    AppModel::Environment env;
    env.mainThread = [](AppModel::Task task) {
        QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
    };
    env.mainThreadAfter = [](double delay, AppModel::Task task) {
        QMetaObject::invokeMethod(
            qApp, [delay, task = std::move(task)] { QTimer::singleShot(static_cast<int>(delay * 1000), qApp, task); },
            Qt::QueuedConnection);
    };
    env.background = [](AppModel::Task task) { task(); };
    env.now = wallClock;
    env.listCards = [] { return std::vector<NetworkCard>{benchCard()}; };
    env.gatherPreflight = [](const NetworkCard& card, const ServerConfig& config) {
        return PreflightInput{card, {}, config, Port67State::available(), false};
    };
    env.makeServer = [](CardRun::Options options) {
        CardRun::Seams seams;
        seams.host.clock = wallClock;
        seams.host.mediaStatus = [](const std::string&) { return Interfaces::MediaStatus{true, std::nullopt}; };
        seams.host.interfaceAddresses = [] { return std::vector<InterfaceAddress>{}; };
        seams.host.bsdName = [](const MACAddress&) { return std::optional<std::string>("eth9"); };
        seams.host.interfaceIndex = [](const std::string&) { return 7u; };
        seams.host.interfaceNameForIndex = [](std::uint32_t) { return std::string("eth9"); };
        seams.host.readARPTable = [] { return ARPEntries{}; };
        seams.host.triggerLocalNetworkAlert = [](const std::string&, IPv4Address) {};
        seams.transportFactory = [](const TransportMode&) { return std::make_unique<QuietTransport>(); };
        options.presenceEnabled = false;
        return std::make_unique<CardRun>(std::move(options), std::move(seams));
    };
    env.knownServiceNames = [] { return std::vector<std::string>{"Wired 9"}; };
    env.runSetupCommand = [](const NetworkCard&, const std::string&) {};
    env.openURL = [](const std::string&) { return false; };
    env.leaseFileURL = folder / "leases.json";
    env.logDirectory = folder / "logs";
    env.maker = [](const MACAddress&) { return std::optional<std::string>("Bench Maker"); };

    int code = 0;
    {
        AppModel model(std::move(env));
        MainWindow window(model);
        window.show();
        model.bootstrap();
        // Bounded waits: the launch screen holds for a second, and Start may finish in the background.
        QElapsedTimer waited;
        waited.start();
        while (model.phase != AppModel::Phase::ready && waited.elapsed() < 10'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        model.start();
        while (!model.isRunning && waited.elapsed() < 20'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!model.isRunning) {
            std::fprintf(stderr, "the server did not start: %s\n",
                         model.lastError.value_or(model.canStart() ? "" : "Start is not enabled").c_str());
            code = 1;
        } else {
            double began = cpuSeconds();
            Date now = wallClock();
            for (unsigned n = 0; n < stored; ++n) model.handle(ServerEvent::leaseChanged(leaseNumber(n, now)));
            // A session that has run a while has a full on-screen log.
            for (std::size_t n = 0; n < AppModel::logCapacity; ++n)
                model.appendLog("earlier line " + std::to_string(n), LogLine::Kind::other);
            // The first redraw of the full table and log belongs to the setup.
            QElapsedTimer settling;
            settling.start();
            while (settling.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            double setup = cpuSeconds() - began;

            // One DISCOVER a second from a device not yet bound: what it logs and the offer it gets.
            MACAddress device = macNumber(0xFFFF);
            unsigned sent = 0;
            QTimer discover;
            QObject::connect(&discover, &QTimer::timeout, [&] {
                Date at = wallClock();
                PacketSummary packet;
                packet.type = DHCPMessageType::discover;
                packet.mac = device;
                packet.xid = 0x1000 + sent;
                packet.hostname = "bench-device";
                packet.interface = "eth9";
                Lease offered = leaseNumber(0xFFFF & 0x3FF, at);
                offered.mac = device;
                offered.state = Lease::State::offered;
                offered.expiresAt = at.addingSeconds(60);
                SentSummary reply;
                reply.type = DHCPMessageType::offer;
                reply.ip = offered.ip;
                reply.mac = device;
                reply.interface = "eth9";
                for (ServerEvent event :
                     {ServerEvent::received(packet), ServerEvent::leaseChanged(offered), ServerEvent::sent(reply)})
                    QMetaObject::invokeMethod(
                        qApp, [&model, event] { model.handle(event); }, Qt::QueuedConnection);
                ++sent;
            });
            discover.start(1000);
            QTimer end;
            end.setSingleShot(true);
            QObject::connect(&end, &QTimer::timeout, &application, &QApplication::quit);
            double servingBegan = cpuSeconds();
            QElapsedTimer wall;
            wall.start();
            end.start(seconds * 1000);
            application.exec();
            double serving = cpuSeconds() - servingBegan;
            double wallSeconds = static_cast<double>(wall.elapsed()) / 1000;
            std::printf("stored leases        %u\n", stored);
            std::printf("setup CPU            %.3f s (%u leaseChanged, %zu log lines)\n", setup, stored,
                        AppModel::logCapacity);
            std::printf("serving              %.1f s wall, %u DISCOVERs\n", wallSeconds, sent);
            std::printf("serving CPU          %.3f s (%.2f%% of one core)\n", serving, 100 * serving / wallSeconds);
            std::printf("CPU per DISCOVER     %.2f ms\n", sent ? 1000 * serving / sent : 0.0);
        }
        model.stop();
        QElapsedTimer stopping;
        stopping.start();
        while (model.isStopping && stopping.elapsed() < 10'000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    fs::remove_all(folder);
    return code;
}
