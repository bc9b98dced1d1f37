#include "app/app_model.hpp"

#include <algorithm>
#include <set>

#include "core/events/event_log.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interface_monitor.hpp"
#include "core/host/interfaces.hpp"

namespace anvil {

AppModel::Environment AppModel::withStore(Environment environment) {
    if (!environment.settings) environment.settings = std::make_shared<MemorySettingsStore>();
    return environment;
}

AppModel::AppModel(Environment environment)
    : env_(withStore(std::move(environment))),
      texts_(ScreenTexts::forPlatform(env_.platform)),
      logWriter_(env_.logDirectory),
      background_(env_),
      context_{env_, background_, state, log_, alert_, [this](ModelChange parts) { changed(parts); }},
      settings_(context_),
      cards_(context_),
      serving_(context_, logWriter_),
      checks_(context_, [this] { return serving_.isRunning(); }),
      commands_(context_, cards_, settings_),
      leaseEdits_(context_, serving_),
      cable_(context_, cards_, serving_, settings_, commands_),
      recovery_(context_, serving_, cable_, commands_) {
    serving_.deliver = [this](const RunEvent& item) { handle(item); };
    // No update framework here, so no deferred check is ever owed.
    serving_.stopped = [this] { refreshChecks(); };
    commands_.setupFinished = [this] { refreshCards(); };
    cable_.mayServeFile = [this] { return serving_.run() && !recovery_.current(); };
}

AppModel::~AppModel() {
    background_.close();
    // A server being started or torn down in the background is done with before the process may end.
    serving_.awaitBackground();
    if (monitor_) monitor_->stop();
    cable_.removeAllNow(logWriter_);
    // A server still running saves its leases on the way out; its lines reach the log file first.
    serving_.shutDown();
    logWriter_.flush();
}

void AppModel::changed(ModelChange parts) {
    if (onChange) onChange(parts);
}

// MARK: derived values

bool AppModel::canStart() const {
    if (serving_.isBusy() || leaseEdits_.isEditing() || !selectedCard() || checks().empty()) return false;
    return Preflight::canStart(checks());
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
    AddressRange range = config().range();
    for (std::uint64_t value = range.lowerBound.value; value <= range.upperBound.value; ++value) {
        auto address = static_cast<std::uint32_t>(value);
        if (address != config().serverIP.value && !held.count(address)) return IPv4Address{address};
    }
    return std::nullopt;
}

std::string AppModel::tcpdumpCommand() const {
    std::string interface = texts_.fallbackCaptureInterface;
    if (isRunning() && state.serverInterface)
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
    if (!isRunning() || state.lastPacketAt || !startedAt()) return false;
    return at.secondsSince(*startedAt()) > waitingHintSeconds;
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
    phase_ = Phase::launching;
    // The maker registry is read once, on first use; reading it now, away from the main thread,
    // keeps that first use from stalling a redraw.
    if (env_.maker) background_.detach([maker = env_.maker] { maker(MACAddress{}); });
    Date began = env_.now();
    cards_.scan([this, began](std::optional<std::vector<NetworkCard>> found) {
        cards_.take(found.value_or(std::vector<NetworkCard>{}));
        leaseEdits_.loadAtLaunch();
        cards_.choose(Interfaces::preferredCardID(cards_.cards(), std::nullopt, cards_.remembered(), false));
        refreshChecks();
        changed(ModelChange::cards | ModelChange::checks);
        // The launch screen stays up for at least a second so that it does not flicker.
        double elapsed = env_.now().secondsSince(began);
        if (elapsed < 1.0)
            background_.after(1.0 - elapsed, [this] { finishBootstrap(); });
        else
            finishBootstrap();
    });
}

void AppModel::finishBootstrap() {
    phase_ = Phase::ready;
    if (env_.makeMonitor) {
        monitor_ = env_.makeMonitor(background_.poster([this] { refreshCards(); }));
        if (monitor_) monitor_->start();
    }
    changed(ModelChange::everything());
}

void AppModel::refreshCards() {
    cards_.scan([this](std::optional<std::vector<NetworkCard>> found) {
        // A scan that timed out keeps the cards we had.
        if (found) cards_.take(std::move(*found));
        cards_.pickAgain(isRunning());
        refreshChecks();
        changed(ModelChange::cards | ModelChange::checks);
    });
}

void AppModel::select(const std::optional<std::string>& cardID) {
    cards_.select(cardID);
    refreshChecks();
    changed(ModelChange::cards | ModelChange::checks);
}

void AppModel::setShowDisconnected(bool show) {
    cards_.setShowDisconnected(show);
    changed(ModelChange::cards);
}

// MARK: serving

void AppModel::start() {
    if (!canStart() || settings_.refusesToServe()) return;
    serving_.start(*selectedCard(), config());
}

void AppModel::handle(const ServerEvent& event) {
    Date at = env_.now();
    handle(RunEvent{event, at, EventLog::line(event, at)});
}

// The run made the event's line when it took it, at the time the log file shows.
void AppModel::handle(const RunEvent& item) {
    const auto& event = item.event;
    ModelChange parts = serving_.intake(item);
    recovery_.follow(event);
    if (event.is<ServerEvent::Link>()) {
        cards_.scan([this](std::optional<std::vector<NetworkCard>> found) {
            if (!found) return;
            cards_.take(std::move(*found));
            changed(ModelChange::cards);
        });
    } else if (event.is<ServerEvent::Stopped>()) {
        recovery_.drop();
        if (cable_.dropServeFileQuestion()) parts |= ModelChange::dialogs;
        cable_.removeAll();
    }
    if (!parts.empty()) changed(parts);
}

// MARK: log

void AppModel::appendLog(const std::string& text, LogLine::Kind kind) {
    log_.add(text, kind);
    changed(ModelChange::log);
}

void AppModel::clearLog() {
    log_.clear();
    changed(ModelChange::log);
}

void AppModel::setLogPaused(bool paused) {
    if (log_.setPaused(paused)) changed(ModelChange::log);
}

void AppModel::setLogFilter(const std::string& filter) {
    if (log_.setFilter(filter)) changed(ModelChange::log);
}

// MARK: the cable's devices, notices, links

void AppModel::confirmAddress() {
    auto confirmed = cable_.confirm();
    if (!confirmed) return;
    if (confirmed->purpose == AddressQuestion::Purpose::reach)
        cable_.reach(confirmed->mac);
    else
        recovery_.serveFile(confirmed->mac);
}

void AppModel::openNeighbourInBrowser(const MACAddress& mac) {
    if (auto address = neighbourAddress(mac)) openInBrowser(*address);
}

void AppModel::dismiss(NoticeKind kind) {
    state.dismiss(kind);
    changed(ModelChange::notices);
}

void AppModel::dismissError() {
    alert_ = {};
    changed(ModelChange::dialogs);
}

void AppModel::openInBrowser(IPv4Address ip) {
    if (env_.openURL) env_.openURL("http://" + ip.description());
}

void AppModel::openLocalNetworkSettings() {
    if (canOpenNetworkSettings()) env_.openNetworkSettings();
}

// MARK: settings

SettingsForm::Messages AppModel::saveSettings(const SettingsForm& form) {
    auto errors = settings_.save(form);
    if (!errors.empty()) return errors;
    refreshChecks();
    changed(ModelChange::settings | ModelChange::dialogs);
    return {};
}

void AppModel::pinLease(const Lease& lease) {
    const Pin* held = pinFor(lease.mac);
    std::string label = held ? held->label : lease.hostname.value_or("");
    afterPinChange(settings_.pin(lease.mac, lease.ip, label),
                   "pinned " + lease.mac.description() + " to " + lease.ip.description());
}

void AppModel::unpin(const MACAddress& mac) {
    if (!pinFor(mac)) return;
    afterPinChange(settings_.unpin(mac), "unpinned " + mac.description());
}

void AppModel::afterPinChange(std::optional<std::string> refused, const std::string& done) {
    if (refused) {
        alert_.message = std::move(refused);
        changed(ModelChange::dialogs);
        return;
    }
    // The running server keeps the configuration it started with, as after Save.
    context_.logLine("SETTINGS", isRunning() ? done + "; the server uses it from the next Start" : done);
    refreshChecks();
    changed(ModelChange::settings | ModelChange::leases | ModelChange::log);
}

}  // namespace anvil
