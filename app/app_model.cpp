#include "app/app_model.hpp"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <type_traits>

#include "core/addressing/server_config_json.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/events/event_log.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interface_monitor.hpp"
#include "core/host/interfaces.hpp"
#include "core/leases/lease_file_lock.hpp"
#include "core/watch_service/bench_facts.hpp"

namespace anvil {

namespace {

// Lower-cases text in the current locale (the application sets the user's), decoding UTF-8 so that
// letters beyond ASCII match in any case too. Bytes that are not UTF-8 are compared as they are.
std::u32string folded(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 1;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        if (i + length > text.size()) length = 1, point = lead;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                length = 1;
                point = lead;
                break;
            }
            point = (point << 6) | (next & 0x3F);
        }
        i += length;
        out.push_back(static_cast<char32_t>(std::towlower(static_cast<std::wint_t>(point))));
    }
    return out;
}

std::string freshUUID() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<unsigned> byte(0, 255);
    unsigned char bytes[16];
    for (auto& b : bytes) b = static_cast<unsigned char>(byte(generator));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

LogLine::Kind kindOf(const ServerEvent& event) {
    if (event.is<ServerEvent::Received>()) return LogLine::Kind::rx;
    if (event.is<ServerEvent::Sent>()) return LogLine::Kind::tx;
    if (event.is<ServerEvent::Presence>()) return LogLine::Kind::presence;
    if (event.is<ServerEvent::Dropped>() || event.is<ServerEvent::NoticeRaised>() ||
        event.is<ServerEvent::TFTPFailed>())
        return LogLine::Kind::notice;
    return LogLine::Kind::other;
}

ServerConfig storedConfig(const SettingsStore& settings) {
    auto text = settings.value(SettingsStore::serverConfigKey);
    if (!text) return AppModel::defaultConfig();
    try {
        return nlohmann::json::parse(*text).get<ServerConfig>();
    } catch (const std::exception&) {
        return AppModel::defaultConfig();
    }
}

// Readers take no lock; moving an undecodable file aside writes, so that is done only under the
// lock, and while another process holds it the file is left to that one.
LeaseFile::LoadResult readLeases(const LeaseFile& given, Date now) {
    // Refused as a server refuses it, and read where a server writes it.
    LeaseFile file = LeaseFile::resolve(given.url);
    try {
        return file.load(now, LeaseFile::Undecodable::refuse);
    } catch (const LeaseFileError& unread) {
        if (unread.kind != LeaseFileError::Kind::read) throw;
        std::optional<LeaseFileLock> held;
        try {
            held.emplace(LeaseFileLock::acquire(file.url));
        } catch (const std::exception&) {
            throw unread;
        }
        return file.load(now);
    }
}

}  // namespace

AppModel::AppModel(Environment environment)
    : env_(std::move(environment)),
      texts_(ScreenTexts::forPlatform(env_.platform)),
      leaseFile_(env_.leaseFileURL),
      logWriter_(env_.logDirectory),
      alive_(std::make_shared<AppModel*>(this)) {
    if (!env_.settings) env_.settings = std::make_shared<MemorySettingsStore>();
    config = storedConfig(*env_.settings);
}

AppModel::~AppModel() {
    alive_.reset();
    // A server being started or torn down in the background is done with before the process may end.
    if (startup_.valid()) startup_.wait();
    if (teardown_.valid()) teardown_.wait();
    if (monitor_) monitor_->stop();
    removeReachedAddresses(false);
    // A server still running saves its leases on the way out; its lines reach the log file first.
    if (run_) {
        try {
            run_->stop();
        } catch (const std::exception&) {
        }
    }
    logWriter_.flush();
}

AppModel::Task AppModel::guarded(std::function<void(AppModel&)> task) {
    return [weak = std::weak_ptr<AppModel*>(alive_), task = std::move(task)] {
        if (auto model = weak.lock()) task(**model);
    };
}

void AppModel::changed(ModelChange parts) {
    if (onChange) onChange(parts);
}

// MARK: derived values

const NetworkCard* AppModel::selectedCard() const {
    if (!selectedCardID) return nullptr;
    for (const auto& card : cards)
        if (card.id() == *selectedCardID) return &card;
    return nullptr;
}

std::vector<NetworkCard> AppModel::offeredCards() const { return Interfaces::offered(cards, showDisconnected); }

bool AppModel::canStart() const {
    if (isRunning || isStarting || isStopping || leaseFileJobs_ > 0 || selectedCard() == nullptr || checks.empty())
        return false;
    return Preflight::canStart(checks);
}

bool AppModel::matchesFilter(const std::string& text, const std::string& filter) {
    return filter.empty() || folded(text).find(folded(filter)) != std::u32string::npos;
}

std::vector<Lease> AppModel::sortedLeases() const {
    std::vector<Lease> leases;
    leases.reserve(state.leases.size());
    for (const auto& [mac, lease] : state.leases) leases.push_back(lease);
    // The map has no order of its own; start from one that does not change between redraws.
    std::sort(leases.begin(), leases.end(), [](const Lease& a, const Lease& b) { return a.ip < b.ip; });
    return LeaseTable(std::move(leases), {}).sortedForDisplay([this](const Lease& lease) { return presence(lease); });
}

std::optional<PresenceState> AppModel::presence(const Lease& lease) const {
    auto found = state.presence.find(lease.ip);
    if (found == state.presence.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> AppModel::maker(const MACAddress& mac) const {
    return env_.maker ? env_.maker(mac) : std::nullopt;
}

std::optional<std::string> AppModel::requestedSummary(const MACAddress& mac) const {
    auto requested = state.requestedOptions(mac);
    if (requested.empty()) return std::nullopt;
    std::string text;
    for (const auto& option : requested)
        text += (text.empty() ? "" : ", ") + option.name + (option.given ? " \u2713" : " \u2717");
    return text;
}

std::optional<IPv4Address> AppModel::nextAddress(Date now) const {
    std::set<std::uint32_t> held;
    for (const auto& [mac, lease] : state.leases)
        if (lease.holdsAddress(now)) held.insert(lease.ip.value);
    AddressRange range = config.range();
    for (std::uint64_t value = range.lowerBound.value; value <= range.upperBound.value; ++value) {
        auto address = static_cast<std::uint32_t>(value);
        if (address != config.serverIP.value && !held.count(address)) return IPv4Address{address};
    }
    return std::nullopt;
}

std::string AppModel::tcpdumpCommand() const {
    std::string interface = texts_.fallbackCaptureInterface;
    if (isRunning && state.serverInterface)
        interface = *state.serverInterface;
    else if (const auto* card = selectedCard())
        interface = card->bsdName;
    return "sudo tcpdump -i " + HostSetup::shellQuote(interface) + " -n -e 'udp port 67 or udp port 68'";
}

std::vector<Notice> AppModel::orderedNotices() const {
    std::vector<Notice> ordered;
    for (const auto& [kind, notice] : state.notices) ordered.push_back(notice);
    std::sort(ordered.begin(), ordered.end(), [](const Notice& a, const Notice& b) {
        if (a.isCritical() != b.isCritical()) return a.isCritical();
        return rawValue(a.kind) < rawValue(b.kind);
    });
    return ordered;
}

bool AppModel::showsWaitingHint(Date at) const {
    if (!isRunning || state.lastPacketAt || !startedAt) return false;
    return at.secondsSince(*startedAt) > waitingHintSeconds;
}

std::string_view AppModel::checkTitle(PreflightCheck::ID id) {
    switch (id) {
        case PreflightCheck::ID::wired: return "Wired card";
        case PreflightCheck::ID::foreignDHCP: return "Other DHCP server";
        case PreflightCheck::ID::adapterConfigured: return "Card address";
        case PreflightCheck::ID::subnetOverlap: return "Subnet";
        case PreflightCheck::ID::vpnOverlap: return "VPN";
        case PreflightCheck::ID::port67: return "Port 67";
        case PreflightCheck::ID::link: return "Link";
        case PreflightCheck::ID::vmware: return "Virtual machines";
    }
    return "Check";
}

std::vector<std::string> AppModel::checklistNotes() const {
    std::vector<std::string> notes{"Start is enabled once every ✗ is fixed. ⚠ items never block it."};
    if (texts_.startAccessNote) notes.push_back(*texts_.startAccessNote);
    return notes;
}

std::string AppModel::waitingHintText() const { return texts_.waitingHint; }

std::optional<std::string> AppModel::noticeActionTitle(NoticeKind kind) const {
    if (kind == NoticeKind::localNetworkDenied && canOpenNetworkSettings()) return texts_.bannerSettingsButton;
    return std::nullopt;
}

std::optional<std::string> AppModel::waitingHintActionTitle() const {
    if (!canOpenNetworkSettings()) return std::nullopt;
    return texts_.hintSettingsButton;
}

// MARK: start-up and cards

void AppModel::bootstrap() {
    phase = Phase::launching;
    // The maker registry is read once, on first use; reading it now, away from the main thread,
    // keeps that first use from stalling a redraw.
    if (env_.maker) env_.background([maker = env_.maker] { maker(MACAddress{}); });
    Date began = env_.now();
    auto list = env_.listCards;
    std::weak_ptr<AppModel*> weak = alive_;
    withTimeout<std::vector<NetworkCard>>(
        hostQueryTimeout, {}, [list] { return list(); },
        [weak, began](std::vector<NetworkCard> found) {
            auto model = weak.lock();
            if (!model) return;
            AppModel& self = **model;
            self.cards = std::move(found);
            self.loadLeasesAtLaunch();
            self.choose(Interfaces::preferredCardID(self.cards, std::nullopt, self.rememberedCard(), false));
            // The launch screen stays up for at least a second so that it does not flicker.
            double elapsed = self.env_.now().secondsSince(began);
            auto finish = self.guarded([](AppModel& m) { m.finishBootstrap(); });
            if (elapsed < 1.0)
                self.env_.mainThreadAfter(1.0 - elapsed, finish);
            else
                finish();
        });
}

void AppModel::loadLeasesAtLaunch() {
    try {
        state.loadLeases(readLeases(leaseFile_, env_.now()));
        auto setAside = state.notices.find(NoticeKind::leaseFileSetAside);
        if (setAside != state.notices.end())
            appendLog(EventLog::line("NOTICE", setAside->second.message, env_.now()), LogLine::Kind::notice);
    } catch (const LeaseFileError& error) {
        state.raise(Notice::leaseReadFailedAtLaunch(error.description()));
    }
    changed(ModelChange::leases | ModelChange::notices | ModelChange::log);
}

void AppModel::finishBootstrap() {
    phase = Phase::ready;
    if (env_.makeMonitor) {
        Executor mainThread = env_.mainThread;
        auto refresh = guarded([](AppModel& model) { model.refreshCards(); });
        monitor_ = env_.makeMonitor([mainThread, refresh] { mainThread(refresh); });
        if (monitor_) monitor_->start();
    }
    changed(ModelChange::everything());
}

void AppModel::scanCards(std::function<void(AppModel&, std::optional<std::vector<NetworkCard>>)> then) {
    auto list = env_.listCards;
    std::weak_ptr<AppModel*> weak = alive_;
    withTimeout<std::optional<std::vector<NetworkCard>>>(
        hostQueryTimeout, std::nullopt, [list] { return std::optional(list()); },
        [weak, then = std::move(then)](std::optional<std::vector<NetworkCard>> found) {
            if (auto model = weak.lock()) then(**model, std::move(found));
        });
}

void AppModel::refreshCards() {
    scanCards([](AppModel& self, std::optional<std::vector<NetworkCard>> found) {
        // A scan that timed out keeps the cards we had.
        if (found) self.cards = std::move(*found);
        auto remembered = self.rememberedCard();
        // A card picked automatically gives way to the user's card when that one comes back.
        auto current = self.selectedCardID;
        const auto* selected = self.selectedCard();
        if (!self.isRunning && remembered && selected && selected->mac != remembered) current.reset();
        auto preferred = Interfaces::preferredCardID(self.cards, current, remembered, self.isRunning);
        if (preferred != self.selectedCardID) {
            self.choose(preferred);
        } else {
            self.refreshChecks();
            self.changed(ModelChange::cards | ModelChange::checks);
        }
    });
}

void AppModel::select(const std::optional<std::string>& cardID) {
    selectedCardID = cardID;
    storeSelection();
    refreshChecks();
    changed(ModelChange::cards | ModelChange::checks);
}

void AppModel::choose(const std::optional<std::string>& cardID) {
    selectedCardID = cardID;
    // With nothing remembered yet, the first card found is as good a memory as any.
    if (!rememberedCard()) storeSelection();
    refreshChecks();
    changed(ModelChange::cards | ModelChange::checks);
}

std::optional<MACAddress> AppModel::rememberedCard() const {
    auto text = env_.settings->value(SettingsStore::selectedCardMACKey);
    return text ? MACAddress::parse(*text) : std::nullopt;
}

void AppModel::storeSelection() {
    const auto* card = selectedCard();
    if (card && card->mac)
        env_.settings->setValue(SettingsStore::selectedCardMACKey, card->mac->description());
    else if (!selectedCardID)
        env_.settings->remove(SettingsStore::selectedCardMACKey);
}

void AppModel::setShowDisconnected(bool show) {
    showDisconnected = show;
    changed(ModelChange::cards);
}

void AppModel::refreshChecks() {
    const auto* card = selectedCard();
    unsigned generation = ++checksGeneration_;
    if (!card) {
        if (!isRunning && !checks.empty()) {
            checks.clear();
            changed(ModelChange::checks);
        }
        return;
    }
    auto gather = env_.gatherPreflight;
    std::weak_ptr<AppModel*> weak = alive_;
    withTimeout<std::optional<PreflightInput>>(
        hostQueryTimeout, std::nullopt,
        [gather, card = *card, config = config] { return std::optional(gather(card, config)); },
        [weak, generation](std::optional<PreflightInput> input) {
            if (auto model = weak.lock()) (**model).applyChecks(generation, std::move(input));
        });
}

void AppModel::applyChecks(unsigned generation, std::optional<PreflightInput> input) {
    // An older gathering that finishes late must not overwrite a newer one.
    if (generation != checksGeneration_ || !input || isRunning) return;
    auto fresh = Preflight::evaluate(*input, env_.platform);
    if (fresh == checks) return;
    checks = std::move(fresh);
    changed(ModelChange::checks);
}

// MARK: serving

struct AppModel::StartOutcome {
    std::shared_ptr<ServerRun> run;
    std::string interface;
    std::mutex mutex;
    bool done = false;
    bool taken = false;
    std::optional<ServerRun::StartFailure> failure;
};

void AppModel::start() {
    if (!canStart()) return;
    // The stored configuration may come from an older version or a hand edit: never serve it unchecked.
    auto problems = SettingsForm::from(config).evaluate().errors;
    if (!problems.empty()) {
        settingsMessages = std::move(problems);
        settingsOpen = true;
        changed(ModelChange::settings | ModelChange::dialogs);
        return;
    }
    const NetworkCard card = *selectedCard();

    Executor mainThread = env_.mainThread;
    std::weak_ptr<AppModel*> weak = alive_;
    // Weak: the hand-over keeps this wake, which must not keep the hand-over in turn.
    auto handOver = std::make_shared<std::weak_ptr<EventHandOver>>();
    ServerRun::Seams seams;
    seams.now = env_.now;
    seams.portHolder = env_.port67Holder ? env_.port67Holder : [] { return std::optional<std::string>(); };
    // At most one task waits on the main thread, however fast the server reports.
    seams.wake = [mainThread, weak, handOver] {
        auto events = handOver->lock();
        if (!events) return;
        mainThread([weak, events] {
            if (auto model = weak.lock()) (**model).takeEvents(*events);
        });
    };
    CardRun::Options options{config, TransportMode::interface(card.bsdName), card.mac, leaseFile_, true};
    try {
        run_ = std::make_shared<ServerRun>(env_.makeServer(std::move(options)), &logWriter_, std::move(seams));
    } catch (const std::exception& error) {
        lastError = error.what();
        changed(ModelChange::dialogs);
        return;
    }
    *handOver = run_->events();

    // Opening the socket asks the privilege helper and loading writes the lease file: both may take
    // seconds, so they run away from the window and the outcome comes back to it.
    isStarting = true;
    stopAfterStart_ = false;
    auto outcome = std::make_shared<StartOutcome>();
    outcome->run = run_;
    outcome->interface = card.bsdName;
    auto started = std::make_shared<std::promise<void>>();
    startup_ = started->get_future().share();
    env_.background([outcome, started, mainThread, weak] {
        auto failure = outcome->run->start();
        {
            std::lock_guard lock(outcome->mutex);
            outcome->failure = std::move(failure);
            outcome->done = true;
        }
        started->set_value();
        mainThread([weak, outcome] {
            if (auto model = weak.lock()) (**model).finishStart(outcome);
        });
    });
    // An executor that ran the start at once has the outcome ready: no need to wait a turn for it.
    finishStart(outcome);
    changed(ModelChange::serving);
}

void AppModel::finishStart(const std::shared_ptr<StartOutcome>& outcome) {
    {
        std::lock_guard lock(outcome->mutex);
        if (!outcome->done || outcome->taken) return;
        outcome->taken = true;
    }
    isStarting = false;
    auto& events = *outcome->run->events();
    if (const auto& failure = outcome->failure) {
        run_.reset();
        // What loading reported before the failure still counts.
        takeEvents(events);
        if (failure->portInUse)
            state.raise(Notice::portInUse(failure->holder, env_.platform));
        else
            lastError = failure->description;
        changed(ModelChange::serving | ModelChange::dialogs | ModelChange::notices);
        return;
    }
    // Before the run's first event: the events held back while starting belong to this run.
    state.runStarted(outcome->interface);
    isRunning = true;
    startedAt = env_.now();
    takeEvents(events);
    if (stopAfterStart_) stop();
    changed(ModelChange::serving | ModelChange::dialogs | ModelChange::notices | ModelChange::leases);
}

void AppModel::stop() {
    if (isStarting) {
        // A start cannot be called back half-way: the server stops as soon as it has started.
        stopAfterStart_ = true;
        return;
    }
    if (run_) {
        // Saving the leases and closing the socket may take a while: tear down away from the window.
        isStopping = true;
        std::shared_ptr<ServerRun> run(std::move(run_));
        auto done = std::make_shared<std::promise<void>>();
        teardown_ = done->get_future().share();
        Executor mainThread = env_.mainThread;
        std::weak_ptr<AppModel*> weak = alive_;
        env_.background([run, done, mainThread, weak]() mutable {
            std::optional<std::string> error;
            try {
                // Returns once the last event was handed over, so the window takes it before finishStop.
                run->stop();
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            run.reset();
            mainThread([weak, error] {
                if (auto model = weak.lock()) (**model).finishStop(error);
            });
            done->set_value();
        });
    }
    isRunning = false;
    startedAt.reset();
    // No update framework here, so no deferred check is ever owed.
    refreshChecks();
    changed(ModelChange::serving);
}

void AppModel::finishStop(std::optional<std::string> error) {
    isStopping = false;
    if (error) lastError = std::move(error);
    refreshChecks();
    changed(ModelChange::serving | ModelChange::dialogs);
}

void AppModel::takeEvents(EventHandOver& events) {
    if (isStarting) return;
    for (const auto& item : events.takeReady()) handle(item);
}

namespace {

// What an event changes besides the log: a packet moves the device panel, a lease or its presence
// the lease table.
ModelChange partsOf(const ServerEvent& event) {
    return std::visit(
        [](const auto& payload) -> ModelChange {
            using Case = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Case, ServerEvent::Started> || std::is_same_v<Case, ServerEvent::Received> ||
                          std::is_same_v<Case, ServerEvent::Sent>)
                return ModelChange::serving;
            else if constexpr (std::is_same_v<Case, ServerEvent::LeaseChanged> ||
                               std::is_same_v<Case, ServerEvent::LeaseRemoved> ||
                               std::is_same_v<Case, ServerEvent::Presence>)
                return ModelChange::leases;
            else if constexpr (std::is_same_v<Case, ServerEvent::NoticeRaised> ||
                               std::is_same_v<Case, ServerEvent::NoticeCleared>)
                return ModelChange::notices;
            else if constexpr (std::is_same_v<Case, ServerEvent::Stopped>)
                return ModelChange::serving | ModelChange::notices | ModelChange::leases;
            // The cable's devices show under the lease table and on the device card.
            else if constexpr (std::is_same_v<Case, ServerEvent::Neighbour>)
                return ModelChange::leases | ModelChange::notices;
            // A transfer shows on its device's row and on the device card, both of which follow the leases.
            else if constexpr (std::is_same_v<Case, ServerEvent::TFTPRequested> ||
                               std::is_same_v<Case, ServerEvent::TFTPProgress> ||
                               std::is_same_v<Case, ServerEvent::TFTPFinished> ||
                               std::is_same_v<Case, ServerEvent::TFTPFailed>)
                return ModelChange::leases;
            else
                return {};
        },
        event.value);
}

}  // namespace

void AppModel::handle(const ServerEvent& event) {
    Date at = env_.now();
    handle(RunEvent{event, at, EventLog::line(event, at)});
}

// The run made the event's line when it took it, at the time the log file shows.
void AppModel::handle(const RunEvent& item) {
    const auto& event = item.event;
    const auto at = item.at;
    ModelChange parts = partsOf(event);
    if (const auto& line = item.line) {
        addLogLine(*line, kindOf(event));
        parts |= ModelChange::log;
    }
    state.apply(event, at);
    followRecovery(event);
    if (event.is<ServerEvent::Link>()) {
        scanCards([](AppModel& self, std::optional<std::vector<NetworkCard>> found) {
            if (!found) return;
            self.cards = std::move(*found);
            self.changed(ModelChange::cards);
        });
    } else if (event.is<ServerEvent::Stopped>()) {
        isRunning = false;
        dropRecovery();
        // Serving a file needs the server: that question has nothing left to add.
        if (addressQuestion && addressQuestion->purpose == AddressQuestion::Purpose::serveFile) {
            addressQuestion.reset();
            parts |= ModelChange::dialogs;
        }
        removeReachedAddresses(true);
    }
    if (!parts.empty()) changed(parts);
}

// MARK: log

void AppModel::appendLog(const std::string& text, LogLine::Kind kind) {
    addLogLine(text, kind);
    changed(ModelChange::log);
}

void AppModel::addLogLine(const std::string& text, LogLine::Kind kind) {
    log.push_back({nextLogID_++, text, kind});
    if (log.size() > logCapacity) log.pop_front();
    // A paused log keeps showing its snapshot; the new line joins when it resumes.
    if (logPaused) return;
    if (matchesFilter(log.back().text, logFilter)) visibleLog_.push_back(log.back());
    while (!visibleLog_.empty() && visibleLog_.front().id < log.front().id) visibleLog_.pop_front();
}

void AppModel::refilterLog() {
    const auto& source = (logPaused && pausedLog_) ? *pausedLog_ : log;
    visibleLog_.clear();
    for (const auto& line : source)
        if (matchesFilter(line.text, logFilter)) visibleLog_.push_back(line);
}

void AppModel::clearLog() {
    log.clear();
    visibleLog_.clear();
    if (pausedLog_) pausedLog_->clear();
    changed(ModelChange::log);
}

void AppModel::setLogPaused(bool paused) {
    if (paused == logPaused) return;
    logPaused = paused;
    if (paused) {
        // The shown lines are already the snapshot's, filtered; only a new filter needs the snapshot.
        pausedLog_ = log;
    } else {
        pausedLog_.reset();
        refilterLog();
    }
    changed(ModelChange::log);
}

void AppModel::setLogFilter(const std::string& filter) {
    if (filter == logFilter) return;
    logFilter = filter;
    refilterLog();
    changed(ModelChange::log);
}

void AppModel::openSettings() {
    if (settingsOpen) return;
    settingsOpen = true;
    changed(ModelChange::settings | ModelChange::dialogs);
}

void AppModel::closeSettings() {
    if (!settingsOpen && settingsMessages.empty()) return;
    settingsOpen = false;
    settingsMessages.clear();
    changed(ModelChange::settings | ModelChange::dialogs);
}

// MARK: adapter commands

bool AppModel::offersAdapterSetup(const NetworkCard& card) { return HostSetup::mayConfigure(card); }

bool AppModel::canConfigureAdapter() const {
    const auto* card = selectedCard();
    return card && card->serviceName && offersAdapterSetup(*card);
}

bool AppModel::offersFix(const PreflightCheck& check) const { return check.fix && canConfigureAdapter(); }

void AppModel::requestConfigureAdapter() {
    if (!canConfigureAdapter()) return;
    const auto* card = selectedCard();
    const std::string& service = *card->serviceName;
    pendingCommand = PendingCommand{freshUUID(),
                                    "Configure " + service + " as " + config.serverIP.description() + "/" +
                                        std::to_string(config.prefixLength) + "?",
                                    HostSetup::setManualCommand(*card, config.serverIP, config.mask()), service,
                                    *card};
    changed(ModelChange::dialogs);
}

void AppModel::requestRestoreDHCP() {
    if (!canConfigureAdapter()) return;
    const auto* card = selectedCard();
    const std::string& service = *card->serviceName;
    pendingCommand =
        PendingCommand{freshUUID(), "Set " + service + " back to DHCP?", HostSetup::setDHCPCommand(*card), service,
                       *card};
    changed(ModelChange::dialogs);
}

void AppModel::cancelPendingCommand() {
    pendingCommand.reset();
    changed(ModelChange::dialogs);
}

void AppModel::run(PendingCommand pending) {
    pendingCommand.reset();
    changed(ModelChange::dialogs);
    struct Outcome {
        bool succeeded = false;
        bool cancelled = false;
        std::string error;
    };
    auto names = env_.knownServiceNames;
    auto runSetupCommand = env_.runSetupCommand;
    Executor mainThread = env_.mainThread;
    std::weak_ptr<AppModel*> weak = alive_;
    // The password dialog can stay up for minutes: never wait for it on the main thread.
    env_.background([pending, names, runSetupCommand, mainThread, weak] {
        Outcome outcome;
        try {
            HostSetup::validatedService(pending.service, names());
            runSetupCommand(pending.card, pending.command);
            outcome.succeeded = true;
        } catch (const HostSetupError& error) {
            outcome.cancelled = error.isCancellation;
            outcome.error = error.description();
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        mainThread([weak, pending, outcome] {
            auto model = weak.lock();
            if (!model) return;
            AppModel& self = **model;
            if (outcome.succeeded) {
                self.appendLog(EventLog::line("ADAPTER", pending.command, self.env_.now()), LogLine::Kind::other);
            } else if (!outcome.cancelled) {
                self.failedCommand = HostSetup::sudoLine(pending.command);
                self.lastError = outcome.error;
            }
            self.refreshCards();
            self.changed(ModelChange::cards | ModelChange::dialogs);
        });
    });
}

// MARK: leases

void AppModel::rewriteLeaseFile(std::function<void(LeaseTable&, Date)> change) {
    // Reading and writing the file can take a while on a slow disk: edit it in the background. Start
    // waits until the edit is done so that the server loads the edited file.
    ++leaseFileJobs_;
    Date now = env_.now();
    LeaseFile file(env_.leaseFileURL);
    Executor mainThread = env_.mainThread;
    std::weak_ptr<AppModel*> weak = alive_;
    env_.background([file, now, change = std::move(change), mainThread, weak, edits = leaseFileEdits_] {
        std::optional<LeaseFile::LoadResult> result;
        std::string error;
        try {
            if (change) {
                // This process's edits one at a time, and none while another process writes the
                // file: the lock is taken before the file is read and held until the last write.
                std::lock_guard serial(*edits);
                LeaseFile real = LeaseFile::resolve(file.url);
                auto held = LeaseFileLock::acquire(real.url);
                LeaseTable table = real.load(now).table;
                change(table, now);
                real.save(table);
            }
            result = readLeases(file, now);
        } catch (const LeaseFileInUse& busy) {
            error = busy.description();
        } catch (const LeaseFileError& failure) {
            error = failure.description();
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        mainThread([weak, result = std::move(result), error] {
            auto model = weak.lock();
            if (!model) return;
            AppModel& self = **model;
            --self.leaseFileJobs_;
            if (result)
                self.state.loadLeases(*result);
            else
                self.lastError = error;
            self.changed(ModelChange::leases | ModelChange::serving | ModelChange::dialogs | ModelChange::notices);
        });
    });
    changed(ModelChange::leases | ModelChange::serving);
}

bool AppModel::refuseEditWhileServerChanges() {
    // The server takes the file's lock while it starts and holds it until its teardown ends; an
    // edit meanwhile has neither the server nor the file to go to.
    if (!isStarting && !isStopping) return false;
    lastError = std::string(serverChangingSentence);
    changed(ModelChange::dialogs);
    return true;
}

void AppModel::requestForgetLease(const MACAddress& mac) {
    confirmForget = mac;
    changed(ModelChange::dialogs);
}

void AppModel::cancelForgetLease() {
    confirmForget.reset();
    changed(ModelChange::dialogs);
}

void AppModel::requestClearExpired() {
    confirmClear = true;
    changed(ModelChange::dialogs);
}

void AppModel::cancelClearExpired() {
    confirmClear = false;
    changed(ModelChange::dialogs);
}

void AppModel::forgetLease(const MACAddress& mac) {
    confirmForget.reset();
    // A running server owns the table and would write its own copy back over an edited file.
    if (run_ && isRunning) {
        run_->card().forgetLease(mac);
        changed(ModelChange::dialogs);
        return;
    }
    if (refuseEditWhileServerChanges()) return;
    rewriteLeaseFile([mac](LeaseTable& table, Date) { table.remove(mac); });
}

void AppModel::clearExpiredLeases() {
    confirmClear = false;
    if (run_ && isRunning) {
        run_->card().clearInactive();
        changed(ModelChange::dialogs);
        return;
    }
    if (refuseEditWhileServerChanges()) return;
    rewriteLeaseFile([](LeaseTable& table, Date now) { table.clearInactive(now); });
}

void AppModel::refreshLeases() {
    if (run_ && isRunning) {
        run_->card().refreshPresence();
        return;
    }
    // Only reads: saving an unchanged table would rewrite the file for nothing.
    rewriteLeaseFile(nullptr);
}

// MARK: notices, errors, links

void AppModel::dismiss(NoticeKind kind) {
    state.dismiss(kind);
    changed(ModelChange::notices);
}

void AppModel::dismissError() {
    lastError.reset();
    failedCommand.reset();
    changed(ModelChange::dialogs);
}

// MARK: the cable's devices

std::optional<IPv4Address> AppModel::neighbourAddress(const MACAddress& mac) const {
    const Neighbour* device = state.neighbour(mac);
    if (!device || device->claims.empty()) return std::nullopt;
    return device->claims.back();
}

std::optional<NeighbourAdvice> AppModel::neighbourAdvice(const MACAddress& mac) const {
    const Neighbour* device = state.neighbour(mac);
    if (!device) return std::nullopt;
    return adviceFor(*device, cableFacts(isRunning ? std::optional<Subnet>(config.subnet()) : std::nullopt));
}

CableFacts AppModel::cableFacts(std::optional<Subnet> served) const {
    CableFacts facts;
    facts.served = served;
    if (const NetworkCard* card = selectedCard())
        facts = env_.benchFacts ? env_.benchFacts(*card, served) : BenchFacts::ofCard(*card, served);
    for (const auto& [other, neighbour] : state.neighbours) addClaims(facts, neighbour);
    return facts;
}

std::optional<CardAddress> AppModel::reachAddress(const MACAddress& mac) const {
    if (auto advice = neighbourAdvice(mac); advice && advice->kind == NeighbourAdvice::Kind::reachIt)
        return advice->cardAddress;
    auto address = neighbourAddress(mac);
    if (!address || (isRunning && config.subnet().contains(*address))) return std::nullopt;
    return reachAddressFor(*address, cableFacts(std::nullopt));
}

bool AppModel::isReached(const MACAddress& mac) const {
    return std::any_of(reached.begin(), reached.end(), [&](const ReachedAddress& item) { return item.mac == mac; });
}

void AppModel::runAddressCommand(const NetworkCard& card, const std::string& command,
                                 std::function<void(AppModel&)> done) {
    auto run = env_.runAddressCommand;
    Executor mainThread = env_.mainThread;
    std::weak_ptr<AppModel*> weak = alive_;
    // The administrator prompt can stay up for minutes: never wait for it on the main thread.
    env_.background([card, command, run, mainThread, weak, done = std::move(done)] {
        std::optional<std::string> error;
        bool cancelled = false;
        try {
            if (!run) throw std::runtime_error("This computer cannot add addresses to a card.");
            run(card, command, true);
        } catch (const HostSetupError& failure) {
            cancelled = failure.isCancellation;
            error = failure.description();
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        mainThread([weak, command, error, cancelled, done] {
            auto model = weak.lock();
            if (!model) return;
            AppModel& self = **model;
            if (!error) {
                self.appendLog(EventLog::line("ADAPTER", command, self.env_.now()), LogLine::Kind::other);
                done(self);
            } else if (!cancelled) {
                self.failedCommand = HostSetup::sudoLine(command);
                self.lastError = *error;
            }
            self.changed(ModelChange::leases | ModelChange::notices | ModelChange::dialogs);
        });
    });
}

std::string AppModel::AddressQuestion::title() const {
    return "Add " + address.cidr() + " to " + plainText(card.bsdName) + "?";
}

std::string AppModel::AddressQuestion::command() const {
    return HostSetup::addAddressCommand(card, address.address, address.prefixLength);
}

std::optional<AppModel::AddressQuestion> AppModel::questionFor(const MACAddress& mac,
                                                               AddressQuestion::Purpose purpose) const {
    const NetworkCard* card = selectedCard();
    if (!card) return std::nullopt;
    if (purpose == AddressQuestion::Purpose::reach) {
        auto address = reachAddress(mac);
        if (!address || isReached(mac)) return std::nullopt;
        return AddressQuestion{0, purpose, mac, *card, *address};
    }
    auto advice = neighbourAdvice(mac);
    if (!run_ || !advice || advice->kind != NeighbourAdvice::Kind::recoveryLoader || recovery) return std::nullopt;
    return AddressQuestion{0, purpose, mac, *card, advice->cardAddress};
}

void AppModel::askToReach(const MACAddress& mac) {
    // At the limit nothing would be added: say so instead of asking.
    if (reached.size() >= reachedCapacity && !isReached(mac)) {
        reachNeighbour(mac);
        return;
    }
    auto question = questionFor(mac, AddressQuestion::Purpose::reach);
    if (!question) return;
    question->id = nextQuestionID_++;
    addressQuestion = std::move(question);
    changed(ModelChange::dialogs);
}

void AppModel::askToServeFile(const MACAddress& mac) {
    auto question = questionFor(mac, AddressQuestion::Purpose::serveFile);
    if (!question) return;
    question->id = nextQuestionID_++;
    addressQuestion = std::move(question);
    changed(ModelChange::dialogs);
}

void AppModel::confirmAddress() {
    if (!addressQuestion) return;
    AddressQuestion asked = *addressQuestion;
    addressQuestion.reset();
    // The cable may have changed while the question was open: only what was shown may run.
    auto now = questionFor(asked.mac, asked.purpose);
    if (now && (now->address != asked.address || now->card.bsdName != asked.card.bsdName)) {
        now->id = nextQuestionID_++;
        addressQuestion = std::move(now);
    } else if (now && asked.purpose == AddressQuestion::Purpose::reach) {
        reachNeighbour(asked.mac);
    } else if (now) {
        serveFileToNeighbour(asked.mac);
    }
    changed(ModelChange::dialogs);
}

void AppModel::cancelAddress() {
    addressQuestion.reset();
    changed(ModelChange::dialogs);
}

void AppModel::reachNeighbour(const MACAddress& mac) {
    if (reached.size() >= reachedCapacity && !isReached(mac)) {
        lastError = "DHCP Anvil reaches at most " + std::to_string(reachedCapacity) +
                    " devices at once; stop reaching one first.";
        changed(ModelChange::dialogs);
        return;
    }
    auto question = questionFor(mac, AddressQuestion::Purpose::reach);
    if (!question) return;
    ReachedAddress item{mac, question->card, question->address};
    runAddressCommand(question->card, question->command(), [item](AppModel& self) {
        if (!self.isReached(item.mac)) self.reached.push_back(item);
    });
}

void AppModel::stopReaching(const MACAddress& mac) {
    auto found = std::find_if(reached.begin(), reached.end(), [&](const ReachedAddress& item) { return item.mac == mac; });
    if (found == reached.end()) return;
    ReachedAddress item = *found;
    runAddressCommand(item.card,
                      HostSetup::removeAddressCommand(item.card, item.address.address, item.address.prefixLength),
                      [item](AppModel& self) { std::erase(self.reached, item); });
}

void AppModel::openNeighbourInBrowser(const MACAddress& mac) {
    if (auto address = neighbourAddress(mac)) openInBrowser(*address);
}

void AppModel::removeReachedAddresses(bool inBackground) {
    if (reached.empty()) return;
    std::vector<ReachedAddress> items;
    items.swap(reached);
    auto run = env_.runAddressCommand;
    // Best effort, and never an administrator prompt on the way out.
    auto removeAll = [items, run]() {
        std::vector<std::string> left;
        for (const auto& item : items) {
            auto command = HostSetup::removeAddressCommand(item.card, item.address.address, item.address.prefixLength);
            try {
                if (run) run(item.card, command, false);
            } catch (const std::exception&) {
                left.push_back(command);
            }
        }
        return left;
    };
    if (!inBackground) {
        for (const auto& command : removeAll())
            logWriter_.append(EventLog::line("ADAPTER", "could not remove the added address: " + command, env_.now()), env_.now());
        return;
    }
    Executor mainThread = env_.mainThread;
    std::weak_ptr<AppModel*> weak = alive_;
    env_.background([removeAll, mainThread, weak] {
        auto left = removeAll();
        mainThread([weak, left] {
            auto model = weak.lock();
            if (!model) return;
            for (const auto& command : left)
                (**model).appendLog(EventLog::line("ADAPTER", "could not remove the added address: " + command,
                                                   (**model).env_.now()),
                                    LogLine::Kind::other);
            (**model).changed(ModelChange::leases | ModelChange::notices);
        });
    });
}

void AppModel::serveFileToNeighbour(const MACAddress& mac) {
    auto question = questionFor(mac, AddressQuestion::Purpose::serveFile);
    if (!question) return;
    ReachedAddress item{mac, question->card, question->address};
    IPv4Address device = neighbourAdvice(mac)->device;
    runAddressCommand(question->card, question->command(), [item, device](AppModel& self) {
        std::erase_if(self.reached, [&](const ReachedAddress& kept) { return kept.mac == item.mac; });
        self.reached.push_back(item);
        if (!self.run_) return;
        self.recovery = RecoveryServing{item.mac, device, std::nullopt, false, nullptr};
        if (self.env_.startRecoveryServing)
            self.env_.startRecoveryServing(self.run_->card());
        else
            self.run_->card().startRecoveryServing();
    });
}

void AppModel::followRecovery(const ServerEvent& event) {
    if (!recovery) return;
    auto fromDevice = [this](IPv4Address client, const std::optional<MACAddress>& mac) {
        return client == recovery->device || (mac && *mac == recovery->mac);
    };
    if (const auto* requested = std::get_if<ServerEvent::TFTPRequested>(&event.value)) {
        if (fromDevice(requested->client, requested->mac)) recovery->file = requested->file;
    } else if (const auto* failed = std::get_if<ServerEvent::TFTPFailed>(&event.value)) {
        if (fromDevice(failed->client, failed->mac) && failed->reason == TFTPFailureReason::notInFolder)
            askForRecoveryFile(failed->file);
    } else if (const auto* finished = std::get_if<ServerEvent::TFTPFinished>(&event.value)) {
        if (fromDevice(finished->client, finished->mac)) endRecovery();
    }
}

void AppModel::askForRecoveryFile(const std::string& name) {
    // One question per name: the loader retries while the user picks.
    if (recovery->askedForFile && recovery->file == name) return;
    recovery->file = name;
    recovery->askedForFile = true;
    MACAddress mac = recovery->mac;
    std::weak_ptr<AppModel*> weak = alive_;
    env_.mainThread(guarded([name, mac, weak](AppModel& self) {
        if (!self.recovery || self.recovery->mac != mac || !self.env_.chooseFile) return;
        if (self.recovery->withdrawFileQuestion) self.recovery->withdrawFileQuestion();
        // The dialog stays open while the server serves on; its answer comes back here.
        auto answered = [name, mac, weak](std::optional<std::filesystem::path> chosen) {
            auto model = weak.lock();
            if (!model) return;
            AppModel& self = **model;
            if (!self.recovery || self.recovery->mac != mac || !self.run_) return;
            self.recovery->withdrawFileQuestion = nullptr;
            if (!chosen) {
                self.appendLog(EventLog::line("TFTP", "no file chosen for " + plainText(name) + ": nothing is served",
                                              self.env_.now()),
                               LogLine::Kind::other);
                self.endRecovery();
                self.changed(ModelChange::leases | ModelChange::notices);
                return;
            }
            if (self.env_.serveFileAs)
                self.env_.serveFileAs(self.run_->card(), name, *chosen);
            else
                self.run_->card().serveFileAs(name, *chosen);
        };
        auto withdraw = self.env_.chooseFile(std::string(chooseFileTitle) + plainText(name), answered);
        if (self.recovery) self.recovery->withdrawFileQuestion = std::move(withdraw);
    }));
}

void AppModel::dropRecovery() {
    if (!recovery) return;
    auto withdraw = std::move(recovery->withdrawFileQuestion);
    recovery.reset();
    if (withdraw) withdraw();
}

void AppModel::endRecovery() {
    MACAddress mac = recovery->mac;
    dropRecovery();
    if (run_) {
        if (env_.stopRecoveryServing)
            env_.stopRecoveryServing(run_->card());
        else
            run_->card().stopRecoveryServing();
    }
    stopReaching(mac);
}

void AppModel::openInBrowser(IPv4Address ip) {
    if (env_.openURL) env_.openURL("http://" + ip.description());
}

bool AppModel::canOpenNetworkSettings() const { return static_cast<bool>(env_.openNetworkSettings); }

void AppModel::openLocalNetworkSettings() {
    if (canOpenNetworkSettings()) env_.openNetworkSettings();
}

// MARK: settings

std::map<SettingsForm::Field, std::vector<std::string>> AppModel::saveSettings(const SettingsForm& form) {
    auto evaluation = form.evaluate();
    if (!evaluation.config || !evaluation.errors.empty()) return evaluation.errors;
    config = *evaluation.config;
    env_.settings->setValue(SettingsStore::serverConfigKey, nlohmann::json(config).dump());
    settingsOpen = false;
    settingsMessages.clear();
    refreshChecks();
    changed(ModelChange::settings | ModelChange::dialogs);
    return {};
}

}  // namespace anvil
