#include "core/run/card_run.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <map>

#include "core/leases/lease_file_lock.hpp"
#include "core/dhcp/packet_error.hpp"
#include "core/dhcp_service/local_network.hpp"
#include "server_harness.hpp"

using namespace anvil;
using namespace anvil::testing;
namespace fs = std::filesystem;

namespace {

constexpr double future = 1'700'000'000 + 100'000;

const MACAddress deviceA = mac("02:aa:00:00:00:0a");
const MACAddress deviceB = mac("02:aa:00:00:00:0b");

bool isInfo(const ServerEvent& event, std::string_view text) {
    auto info = event.as<ServerEvent::Info>();
    return info && info->text == text;
}

int countInfo(const std::vector<ServerEvent>& events, std::string_view text) {
    int count = 0;
    for (const auto& event : events) count += isInfo(event, text);
    return count;
}

bool raisedKind(const ServerEvent& event, NoticeKind kind) {
    auto raised = event.as<ServerEvent::NoticeRaised>();
    return raised && raised->notice.kind == kind;
}

TEST(CardRun, StartTwiceStartsOnceAndStopEndsTheStream) {
    ServerHarness bench;
    bench.start();
    bench.start();
    auto events = bench.settled();
    ASSERT_EQ(events.size(), 2u) << describe(events);
    EXPECT_EQ(events[0], ServerEvent::started("en7", bench.config));
    EXPECT_EQ(events[1], ServerEvent::link(true, "1000baseT"));
    EXPECT_EQ(bench.world->alerts, std::vector<std::string>{"en7"});
    EXPECT_EQ(bench.world->opened.size(), 1u);

    bench.server->stop();
    EXPECT_EQ(bench.next(), ServerEvent::stopped());
    EXPECT_EQ(bench.next(), std::nullopt);
    EXPECT_TRUE(bench.events->isFinished());
    EXPECT_EQ(bench.world->closes, 1);
}

TEST(CardRun, LoopbackModeHasNoLinkWatchAndNoArrivalCheck) {
    ServerHarness bench;
    bench.mode = TransportMode::loopback(16767, 16868);
    // Would be dropped in card mode: the datagram claims to come from another interface.
    bench.change([](FakeWorld& world) { world.arrivalOverride = 3; });
    bench.start();
    EXPECT_EQ(bench.next(), ServerEvent::started("lo", bench.config));
    bench.send(load::discover(deviceA, 1));
    auto events = bench.untilCase("sent");
    EXPECT_EQ(only(events, "dropped").size(), 0u) << describe(events);
    EXPECT_EQ(only(events, "received").size(), 1u);
    EXPECT_EQ(events.back().as<ServerEvent::Sent>()->reply.interface, "lo");
    EXPECT_EQ(only(bench.settled(), "link").size(), 0u);
    EXPECT_EQ(bench.world->mediaReads, 0);
    EXPECT_TRUE(bench.world->alerts.empty());
    EXPECT_EQ(bench.world->opened, std::vector{TransportMode::loopback(16767, 16868)});
    EXPECT_EQ(bench.world->sentSizes, std::vector<std::size_t>{DHCPPacket::minimumReplyLength});
}

TEST(CardRun, RefusedDatagramsAreDroppedWithoutReply) {
    ServerHarness bench;
    bench.change([](FakeWorld& world) { world.arrivalReported = false; });
    bench.start();
    bench.settled();

    // Without an arrival index the datagram is served and the warning comes once per server.
    const std::string warning = "arrival interface check unavailable; relying on SO_BINDTODEVICE";
    bench.send(load::discover(deviceA, 1));
    auto first = bench.untilCase("sent");
    bench.send(load::discover(deviceB, 2));
    auto second = bench.untilCase("sent");
    EXPECT_EQ(countInfo(first, warning), 1) << describe(first);
    EXPECT_TRUE(isInfo(first.front(), warning));
    EXPECT_EQ(countInfo(second, warning), 0) << describe(second);

    bench.change([](FakeWorld& world) {
        world.arrivalReported = true;
        world.arrivalOverride = 3;
    });
    bench.send(load::discover(deviceA, 3));
    EXPECT_EQ(bench.next(), ServerEvent::dropped("arrived on wlan0 instead of en7", std::nullopt));

    bench.change([](FakeWorld& world) { world.arrivalOverride.reset(); });
    Bytes garbage{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::string parseError;
    try {
        DHCPPacket::parse(garbage);
    } catch (const PacketError& error) {
        parseError = error.description();
    }
    ASSERT_FALSE(parseError.empty());
    bench.sendBytes(garbage);
    EXPECT_EQ(bench.next(), ServerEvent::dropped("malformed (" + parseError + ")", std::nullopt));
    auto rest = bench.settled();
    EXPECT_TRUE(rest.empty()) << describe(rest);
    EXPECT_EQ(bench.world->sentSizes.size(), 2u);
}

TEST(CardRun, StoredLeaseOutsideTheRangeIsDroppedAndTheFileSaved) {
    ServerHarness bench;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.50", Lease::State::bound, future),
                 storedLease("02:aa:00:00:00:0b", "192.168.0.150", Lease::State::bound, future)});
    bench.start();
    auto events = bench.settled();
    ASSERT_GE(events.size(), 4u) << describe(events);
    EXPECT_EQ(events[0], ServerEvent::info("dropped lease 192.168.0.50 for 02:aa:00:00:00:0a: outside the range"));
    EXPECT_EQ(events[1], ServerEvent::leaseRemoved(deviceA));
    EXPECT_EQ(events[2], ServerEvent::started("en7", bench.config));
    ASSERT_TRUE(events[3].is<ServerEvent::LeaseChanged>());
    EXPECT_EQ(events[3].as<ServerEvent::LeaseChanged>()->lease.mac, deviceB);

    auto stored = bench.stored();
    ASSERT_EQ(stored.leases().size(), 1u);
    EXPECT_EQ(stored.leases()[0].ip, ip("192.168.0.150"));
}

// One address left, held by a bound device that may or may not still be there.
TEST(CardRun, ReclaimingAnAddressProbesOnlyWithPresenceOn) {
    struct Case {
        bool presence;
        bool holderAnswers;
        bool offered;
    };
    for (auto sample : {Case{false, false, false}, Case{true, true, false}, Case{true, false, true}}) {
        SCOPED_TRACE(::testing::Message() << "presence " << sample.presence << " answers " << sample.holderAnswers);
        ServerHarness bench;
        bench.config.rangeEnd = bench.config.rangeStart;
        bench.presenceEnabled = sample.presence;
        bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.100", Lease::State::bound, future)});
        if (!sample.holderAnswers) bench.change([](FakeWorld& world) { world.silent.insert(ip("192.168.0.100")); });
        bench.start();
        bench.settled();

        bench.send(load::discover(deviceB, 7));
        auto events = bench.until(
            [](const ServerEvent& event) { return event.is<ServerEvent::Sent>() || event.is<ServerEvent::Dropped>(); });
        const std::string probing = "probing 192.168.0.100 before giving it to another device";
        EXPECT_EQ(countInfo(events, probing), sample.presence ? 1 : 0) << describe(events);
        EXPECT_EQ(bench.world->probed.size(), sample.presence ? 1u : 0u);
        if (sample.offered) {
            auto sent = events.back().as<ServerEvent::Sent>();
            ASSERT_TRUE(sent) << describe(events);
            EXPECT_EQ(sent->reply.mac, deviceB);
            EXPECT_EQ(sent->reply.ip, ip("192.168.0.100"));
        } else {
            EXPECT_TRUE(events.back().is<ServerEvent::Dropped>()) << describe(events);
            EXPECT_TRUE(bench.world->sentSizes.empty());
        }
    }
}

TEST(CardRun, RefusedSendIsRetriedOnceThenRaisesLocalNetworkDenied) {
    ServerHarness bench;
    bench.change([&](FakeWorld& world) {
        world.addresses.push_back({"en7", *Subnet::parse("192.168.0.1/24")});
        world.sendErrors = {EHOSTUNREACH, EHOSTUNREACH};
    });
    bench.start();
    bench.settled();

    bench.send(load::discover(deviceA, 1));
    auto events =
        bench.until([](const ServerEvent& event) { return raisedKind(event, NoticeKind::localNetworkDenied); });
    EXPECT_EQ(only(events, "info").size(), 0u) << describe(events);
    EXPECT_EQ(only(events, "sent").size(), 0u);
    EXPECT_EQ(events.back().as<ServerEvent::NoticeRaised>()->notice, Notice::localNetworkDenied());
    EXPECT_EQ(bench.world->failedSends.size(), 2u);

    // The next good send clears it, once.
    bench.send(load::discover(deviceA, 2));
    events = bench.untilCase("sent");
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], ServerEvent::noticeCleared(NoticeKind::localNetworkDenied));
    bench.send(load::discover(deviceA, 3));
    events = bench.untilCase("sent");
    EXPECT_EQ(only(events, "noticeCleared").size(), 0u) << describe(events);
}

TEST(CardRun, FailedSendIsReportedByItsCause) {
    struct Case {
        bool linkUp;
        bool addressPresent;
        int code;
        std::string expected;  // after "OFFER not sent: "; empty for the transport's own text
    };
    const Case cases[] = {
        {false, true, EHOSTUNREACH, "link down"},
        {true, false, ENETUNREACH, "192.168.0.1 is not on en7 right now"},
        {true, true, EPERM, ""},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.code);
        ServerHarness bench;
        bench.change([&](FakeWorld& world) {
            world.media["en7"].linkUp = sample.linkUp;
            if (sample.addressPresent) world.addresses.push_back({"en7", *Subnet::parse("192.168.0.1/24")});
            world.sendErrors = {sample.code};
        });
        bench.start();
        bench.settled();
        bench.send(load::discover(deviceA, 1));
        auto events = bench.untilCase("info");
        ASSERT_EQ(bench.world->failedSends.size(), 1u);
        auto expected = sample.expected;
        if (expected.empty())
            expected =
                TransportError("send to " + bench.world->failedSends[0].description(), sample.code).description();
        EXPECT_EQ(events.back(), ServerEvent::info("OFFER not sent: " + expected));
    }
}

TEST(LocalNetwork, ClassifiesTheUnreachableErrorsByWhatIsKnownOfTheCard) {
    using Kind = SendFailure::Kind;
    for (int code : {EADDRNOTAVAIL, ENETDOWN, ENETUNREACH, EHOSTUNREACH}) {
        TransportError error("send to 255.255.255.255:68", code);
        EXPECT_EQ(LocalNetwork::classify(error, false, true).kind, Kind::linkDown);
        EXPECT_EQ(LocalNetwork::classify(error, true, true).kind, Kind::possiblyDenied);
        EXPECT_EQ(LocalNetwork::classify(error, true, false).kind, Kind::addressMissing);
    }
    TransportError other("send to 255.255.255.255:68", EMSGSIZE);
    EXPECT_EQ(LocalNetwork::classify(other, false, false), (SendFailure{Kind::other, other.description()}));
}

TEST(CardRun, LinkDownThenUpMarksOfflineThenProbesAgain) {
    ServerHarness bench;
    bench.presenceEnabled = true;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, future),
                 storedLease("02:aa:00:00:00:0b", "192.168.0.121", Lease::State::bound, future),
                 storedLease("02:aa:00:00:00:0c", "192.168.0.122", Lease::State::offered, future),
                 storedLease("02:aa:00:00:00:0d", "192.168.0.123", Lease::State::bound, 1'000)});
    bench.change([](FakeWorld& world) { world.silent.insert(ip("192.168.0.120")); });
    bench.start();
    bench.settled();

    // First sweep: A is silent, B answers; neither the offer nor the expired lease is probed.
    bench.server->refreshPresence();
    auto sweep = bench.untilCase("presence");
    auto more = bench.untilCase("presence");
    sweep.insert(sweep.end(), more.begin(), more.end());
    auto presence = only(sweep, "presence");
    ASSERT_EQ(presence.size(), 2u);
    for (const auto& event : presence) {
        auto judged = event.as<ServerEvent::Presence>();
        if (judged->mac == deviceA)
            EXPECT_EQ(*judged,
                      (ServerEvent::Presence{ip("192.168.0.120"), deviceA, PresenceState::offline, "no answer"}));
        else
            EXPECT_EQ(*judged,
                      (ServerEvent::Presence{ip("192.168.0.121"), deviceB, PresenceState::online, "echo reply"}));
    }
    EXPECT_EQ(std::set<IPv4Address>(bench.world->probed.begin(), bench.world->probed.end()),
              (std::set{ip("192.168.0.120"), ip("192.168.0.121")}));

    bench.change([](FakeWorld& world) { world.media["en7"] = {false, std::nullopt}; });
    auto down = bench.untilCase("presence");
    ASSERT_EQ(down.size(), 3u) << describe(down);
    EXPECT_EQ(down[0], ServerEvent::link(false, std::nullopt));
    EXPECT_EQ(down[1], ServerEvent::noticeRaised(Notice::linkDown("en7")));
    EXPECT_EQ(down[2], ServerEvent::presence(ip("192.168.0.121"), deviceB, PresenceState::offline, "link down"));
    // A bound lease counts even when it ran out; only the sweep skips expired ones.
    EXPECT_EQ(bench.next(), ServerEvent::presence(ip("192.168.0.123"), mac("02:aa:00:00:00:0d"), PresenceState::offline,
                                                  "link down"));

    // Back up: B answers again, but its hardware address now shows another device.
    bench.change([](FakeWorld& world) {
        world.media["en7"] = {true, "1000baseT"};
        world.arp[ip("192.168.0.121")] = mac("02:bb:00:00:00:01");
    });
    auto up = bench.untilCase("presence");
    ASSERT_EQ(up.size(), 3u) << describe(up);
    EXPECT_EQ(up[0], ServerEvent::link(true, "1000baseT"));
    EXPECT_EQ(up[1], ServerEvent::noticeCleared(NoticeKind::linkDown));
    EXPECT_EQ(up[2], ServerEvent::presence(ip("192.168.0.121"), deviceB, PresenceState::conflict, "echo reply"));
    auto rest = bench.settled();
    EXPECT_TRUE(only(rest, "presence").empty()) << describe(rest);
}

TEST(CardRun, UnpluggedAdapterComesBackUnderANewName) {
    ServerHarness bench;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, future)});
    bench.start();
    bench.settled();

    bench.change([](FakeWorld& world) {
        world.indices.erase("en7");
        world.failingOpens.insert("en8");
    });
    auto gone = bench.until([](const ServerEvent& event) { return raisedKind(event, NoticeKind::adapterUnplugged); });
    ASSERT_EQ(gone.size(), 2u) << describe(gone);
    EXPECT_EQ(gone[0],
              ServerEvent::presence(ip("192.168.0.120"), deviceA, PresenceState::offline, "adapter unplugged"));
    EXPECT_EQ(gone[1], ServerEvent::noticeRaised(Notice::adapterUnplugged()));
    EXPECT_EQ(bench.world->closes, 1);

    // The same card (by hardware address) appears as en8; the first attempt to open it fails.
    bench.change([](FakeWorld& world) {
        world.indices["en8"] = 8;
        world.namesByMAC[cardMAC.description()] = "en8";
        world.media["en8"] = {true, "100baseTX"};
    });
    auto failed = bench.untilCase("info");
    EXPECT_EQ(failed.back(), ServerEvent::info("could not reopen en8: " +
                                               TransportError("bind 0.0.0.0:67", EADDRINUSE).description()));
    bench.change([](FakeWorld& world) { world.failingOpens.clear(); });
    auto back = bench.untilInfo("en8 is back");
    ASSERT_GE(back.size(), 2u);
    EXPECT_EQ(back[back.size() - 2], ServerEvent::noticeCleared(NoticeKind::adapterUnplugged));
    EXPECT_EQ(bench.next(), ServerEvent::link(true, "100baseTX"));
    EXPECT_EQ(bench.world->opened.back(), TransportMode::interface("en8"));

    bench.send(load::discover(deviceB, 5));
    auto served = bench.untilCase("sent");
    EXPECT_EQ(only(served, "received")[0].as<ServerEvent::Received>()->packet.interface, "en8");
    EXPECT_EQ(served.back().as<ServerEvent::Sent>()->reply.interface, "en8");
}

TEST(CardRun, StopSavesTheTableAndEndsWithStopped) {
    ServerHarness bench;
    bench.start();
    bench.send(load::discover(deviceA, 1));
    bench.untilCase("sent");
    // An offer alone changes nothing worth saving yet.
    EXPECT_TRUE(bench.stored().leases().empty());

    bench.server->stop();
    auto events = bench.settled();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), ServerEvent::stopped());
    EXPECT_TRUE(bench.events->isFinished());
    auto stored = bench.stored();
    ASSERT_EQ(stored.leases().size(), 1u);
    EXPECT_EQ(stored.leases()[0].mac, deviceA);
    EXPECT_EQ(stored.leases()[0].state, Lease::State::offered);
}

std::map<std::string, std::string> filesIn(const fs::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] = std::string((std::istreambuf_iterator<char>(in)), {});
    }
    return files;
}

// A removal is heard once its save ended, off the server's queue: everything up to the first
// leaseRemoved, and whatever the same answer emitted with it.
std::vector<ServerEvent> untilRemoved(ServerHarness& bench) {
    auto events = bench.untilCase("leaseRemoved");
    for (auto& event : bench.settled()) events.push_back(std::move(event));
    return events;
}

TEST(CardRun, ClearInactiveAndForgetLease) {
    ServerHarness bench;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, future),
                 storedLease("02:aa:00:00:00:0b", "192.168.0.121", Lease::State::released, future),
                 storedLease("02:aa:00:00:00:0c", "192.168.0.122", Lease::State::bound, 1'000)});
    bench.start();
    bench.settled();

    bench.server->clearInactive();
    auto cleared = untilRemoved(bench);
    EXPECT_EQ(cleared,
              (std::vector{ServerEvent::leaseRemoved(deviceB), ServerEvent::leaseRemoved(mac("02:aa:00:00:00:0c"))}))
        << describe(cleared);
    ASSERT_EQ(bench.stored().leases().size(), 1u);

    // Only active leases left: nothing is emitted and no file is written.
    auto before = filesIn(bench.directory);
    bench.server->clearInactive();
    bench.server->forgetLease(deviceB);
    EXPECT_TRUE(bench.settled().empty());
    EXPECT_EQ(filesIn(bench.directory), before);

    bench.server->forgetLease(deviceA);
    EXPECT_EQ(untilRemoved(bench), std::vector{ServerEvent::leaseRemoved(deviceA)});
    EXPECT_TRUE(bench.stored().leases().empty());
    EXPECT_TRUE(bench.server->currentTable().leases().empty());
}

// The front end hears of a removal only once its record's fate is known: on disk, or its failed
// save said first; a failed record goes again with the next save.
TEST(CardRun, RemovalsAreReportedOnceTheirSaveEnded) {
    struct Case {
        const char* name;
        bool diskFull;
        std::function<void(CardRun&)> remove;
        std::vector<std::string> heard;
    };
    const std::vector<Case> cases = {
        {"forget", false, [](CardRun& server) { server.forgetLease(deviceA); }, {"leaseRemoved"}},
        {"clear", false, [](CardRun& server) { server.clearInactive(); }, {"leaseRemoved"}},
        {"forget, disk full",
         true,
         [](CardRun& server) { server.forgetLease(deviceA); },
         {"noticeRaised", "leaseRemoved"}},
        {"clear, disk full",
         true,
         [](CardRun& server) { server.clearInactive(); },
         {"noticeRaised", "leaseRemoved"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerHarness bench;
        // deviceA's lease ran out, so both a forget and a clear remove it alone.
        bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, 1'000),
                     storedLease("02:aa:00:00:00:0b", "192.168.0.121", Lease::State::bound, future)});
        bench.start();
        bench.settled();
        std::vector<ServerEvent> events;
        {
            // A file size limit at the journal's present size fails every flush, for root too.
            auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            rlimit full = saved;
            full.rlim_cur = fs::file_size(bench.leaseFile().journalURL());
            if (c.diskFull) {
                ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
            }
            c.remove(*bench.server);
            events = untilRemoved(bench);
            ::setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, previousSignal);
        }
        std::vector<std::string> heard;
        for (const auto& event : events) heard.emplace_back(event.caseName());
        EXPECT_EQ(heard, c.heard) << describe(events);
        EXPECT_EQ(events.back(), ServerEvent::leaseRemoved(deviceA));
        EXPECT_EQ(bench.stored().lease(deviceA).has_value(), c.diskFull);

        // The next save carries the failed record too.
        bench.server->stop();
        bench.settled();
        EXPECT_FALSE(bench.stored().lease(deviceA));
        EXPECT_TRUE(bench.stored().lease(deviceB));
    }
}

TEST(CardRun, ASecondServerOnTheSameLeaseFileRefusesToStartAndChangesNothing) {
    ServerHarness first;
    first.start();
    EXPECT_EQ(first.bind(deviceA, 1), ip("192.168.0.100"));
    auto before = filesIn(first.directory);

    ServerHarness second;
    second.leasePath = first.leasePath;
    try {
        second.start();
        ADD_FAILURE() << "the second server started";
    } catch (const LeaseFileInUse& refused) {
        EXPECT_EQ(std::string(refused.what()), first.leasePath.string() + " is in use by another DHCP Anvil (process " +
                                                   std::to_string(::getpid()) + "); stop it or use another lease file");
    }
    EXPECT_EQ(filesIn(first.directory), before);

    // The first keeps writing where its journal is, and its leases load once it is gone.
    EXPECT_EQ(first.bind(deviceB, 2), ip("192.168.0.101"));
    first.server.reset();
    second.server.reset();
    second.start();
    auto loaded = second.server->currentTable();
    ASSERT_TRUE(loaded.lease(deviceA));
    ASSERT_TRUE(loaded.lease(deviceB));
    EXPECT_EQ(loaded.lease(deviceB)->ip, ip("192.168.0.101"));
}

// A lock file that cannot be made does not stop serving, but is said once: a second writer would
// not be kept out.
TEST(CardRun, ALockFileThatCannotBeMadeIsSaidAndServingSavesOn) {
    ServerHarness bench;
    fs::create_directory(LeaseFileLock::lockURL(bench.leasePath));
    bench.start();
    auto events = bench.settled();
    EXPECT_EQ(countInfo(events,
                        "leases.json is not locked, so a second DHCP Anvil would not be kept from writing "
                        "it (Could not lock leases.json.lock: Is a directory)"),
              1)
        << describe(events);
    EXPECT_EQ(bench.bind(deviceA, 1), ip("192.168.0.100"));
    bench.server->stop();
    EXPECT_TRUE(bench.stored().lease(deviceA));
}

TEST(CardRun, UnreadableLeaseFileIsNeverTouched) {
    ServerHarness bench;
    ASSERT_EQ(::mkfifo(bench.leasePath.c_str(), 0600), 0);
    bench.start();
    auto first = bench.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, ServerEvent::noticeRaised(Notice{
                          NoticeKind::leaseSaveFailed,
                          "DHCP Anvil can't read leases.json (Could not read leases.json: Not a regular file). Leases "
                          "are kept in memory only and the file is left untouched.",
                          {}}));

    EXPECT_EQ(bench.bind(deviceA, 1), ip("192.168.0.100"));
    bench.server->stop();
    auto events = bench.settled();
    for (const auto& event : events) EXPECT_FALSE(raisedKind(event, NoticeKind::leaseSaveFailed)) << describe(event);
    EXPECT_TRUE(fs::is_fifo(bench.leasePath));
    ASSERT_EQ(bench.server->currentTable().leases().size(), 1u);
}

TEST(CardRun, UndecodableLeaseFileIsSetAsideAndServingSavesAfresh) {
    ServerHarness bench;
    std::ofstream(bench.leasePath) << "{ not json";
    bench.start();
    auto first = bench.next();
    ASSERT_TRUE(first && raisedKind(*first, NoticeKind::leaseFileSetAside));
    const auto& message = first->as<ServerEvent::NoticeRaised>()->notice.message;
    EXPECT_EQ(message.rfind("The lease file could not be read and was moved to leases", 0), 0u) << message;
    EXPECT_EQ(message.find(bench.directory.string()), std::string::npos);

    int setAside = 0;
    for (const auto& entry : fs::directory_iterator(bench.directory))
        if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
            ++setAside;
            std::ifstream moved(entry.path());
            std::string text((std::istreambuf_iterator<char>(moved)), {});
            EXPECT_EQ(text, "{ not json");
            EXPECT_NE(message.find(entry.path().filename().string()), std::string::npos);
        }
    EXPECT_EQ(setAside, 1);

    auto given = bench.bind(deviceA, 1);
    auto stored = bench.stored();
    ASSERT_EQ(stored.leases().size(), 1u);
    EXPECT_EQ(stored.leases()[0].ip, given);
    EXPECT_EQ(stored.leases()[0].state, Lease::State::bound);
}

}  // namespace
