#pragma once
// The desktop application's one observable object, free of any window toolkit: the screens read
// it and call its operations, and `onChange` tells them which parts to redraw. Each concern lives
// in its own controller under app/model/; this façade wires them and words what the screens show.
// Every change happens on the thread the environment's main-thread executor runs.
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model/admin_commands.hpp"
#include "app/model/app_environment.hpp"
#include "app/model/background.hpp"
#include "app/model/cable_devices.hpp"
#include "app/model/card_choice.hpp"
#include "app/model/checks.hpp"
#include "app/model/lease_edits.hpp"
#include "app/model/log_buffer.hpp"
#include "app/model/model_context.hpp"
#include "app/model/recovery.hpp"
#include "app/model/serving.hpp"
#include "app/model/settings_sheet.hpp"
#include "app/model_change.hpp"
#include "app/screen_texts.hpp"
#include "app/state/anvil_state.hpp"
#include "core/run/log_file_writer.hpp"

namespace anvil {

class InterfaceMonitor;

class AppModel {
public:
    using Environment = AppEnvironment;
    using Task = AppEnvironment::Task;
    using Executor = AppEnvironment::Executor;
    using ReachedAddress = anvil::ReachedAddress;
    using AddressQuestion = anvil::AddressQuestion;
    using RecoveryServing = anvil::RecoveryServing;

    enum class Phase { launching, ready };

    explicit AppModel(Environment environment);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    static constexpr std::size_t logCapacity = LogBuffer::capacity;
    static constexpr double hostQueryTimeout = CardChoice::hostQueryTimeout;
    static constexpr double waitingHintSeconds = 60;
    static constexpr std::string_view serverChangingSentence = LeaseEdits::serverChangingSentence;
    static constexpr std::size_t reachedCapacity = CableDevices::reachedCapacity;
    static constexpr std::string_view chooseFileTitle = Recovery::chooseFileTitle;
    static ServerConfig defaultConfig() { return defaultServerConfig(); }

    // Called after every change with the parts it touched; the screens redraw those from the model.
    std::function<void(ModelChange)> onChange;

    // What the server's events say: leases, presence, notices, the device found, the cable's devices.
    AnvilState state;

    // The state, read by the screens.
    Phase phase() const { return phase_; }
    const std::vector<NetworkCard>& cards() const { return cards_.cards(); }
    bool showDisconnected() const { return cards_.showsDisconnected(); }
    const std::optional<std::string>& selectedCardID() const { return cards_.selectedID(); }
    const ServerConfig& config() const { return settings_.config(); }
    const std::vector<PreflightCheck>& checks() const { return checks_.list(); }
    bool isRunning() const { return serving_.isRunning(); }
    bool isStarting() const { return serving_.isStarting(); }
    bool isStopping() const { return serving_.isStopping(); }
    const std::optional<Date>& startedAt() const { return serving_.startedAt(); }
    const std::deque<LogLine>& log() const { return log_.lines(); }
    const std::deque<LogLine>& visibleLog() const { return log_.visible(); }
    const std::string& logFilter() const { return log_.filter(); }
    bool logPaused() const { return log_.paused(); }
    bool settingsOpen() const { return settings_.isOpen(); }
    const SettingsSheet::Messages& settingsMessages() const { return settings_.messages(); }
    const std::optional<std::string>& lastError() const { return alert_.message; }
    const std::optional<std::string>& failedCommand() const { return alert_.failedCommand; }
    const std::optional<PendingCommand>& pendingCommand() const { return commands_.pending(); }
    const std::optional<MACAddress>& confirmForget() const { return leaseEdits_.confirmForget(); }
    bool confirmClear() const { return leaseEdits_.confirmClear(); }
    const std::vector<ReachedAddress>& reached() const { return cable_.reached(); }
    const std::optional<RecoveryServing>& recovery() const { return recovery_.current(); }
    const std::optional<AddressQuestion>& addressQuestion() const { return cable_.question(); }

    // Derived values.
    const NetworkCard* selectedCard() const { return cards_.selected(); }
    std::vector<NetworkCard> offeredCards() const { return cards_.offered(); }
    bool canStart() const;
    static bool matchesFilter(const std::string& text, const std::string& filter) {
        return LogBuffer::matches(text, filter);
    }
    std::vector<Lease> sortedLeases() const;
    std::optional<PresenceState> presence(const Lease& lease) const;
    std::optional<std::string> maker(const MACAddress& mac) const;
    // What the device asked for, each name marked "✓" when the last reply gave it and "✗" when
    // DHCP Anvil does not serve it; nothing when the device sent no request list.
    std::optional<std::string> requestedSummary(const MACAddress& mac) const;
    std::optional<IPv4Address> nextAddress(Date now) const;
    std::optional<IPv4Address> nextAddress() const { return nextAddress(env_.now()); }
    // The capture line for a terminal; the card name is one quoted shell word whatever it holds.
    std::string tcpdumpCommand() const;
    static bool offersAdapterSetup(const NetworkCard& card) { return AdminCommands::offersSetup(card); }
    bool canConfigureAdapter() const { return commands_.canConfigure(); }
    // Whether a check's row shows its "Configure adapter…" button.
    bool offersFix(const PreflightCheck& check) const { return commands_.offersFix(check); }
    // The platform's wording of the screens.
    const ScreenTexts& texts() const { return texts_; }
    // Whether the settings buttons have something to open.
    bool canOpenNetworkSettings() const { return static_cast<bool>(env_.openNetworkSettings); }
    const Updater& updates() const { return env_.updater; }
    // Where the screens keep their layout too.
    SettingsStore& settingsStore() const { return *env_.settings; }
    // Banners: the critical kinds first, then the others, each group by the kind's name.
    std::vector<Notice> orderedNotices() const;
    bool showsWaitingHint(Date at) const;
    // Texts and buttons that depend on the host; the screens draw them from here.
    static std::string_view checkTitle(PreflightCheck::ID id);
    std::vector<std::string> checklistNotes() const;
    std::string waitingHintText() const { return texts_.waitingHint; }
    // The extra button of a notice's banner, and of the waiting hint; none when there is nothing to open.
    std::optional<std::string> noticeActionTitle(NoticeKind kind) const;
    std::optional<std::string> waitingHintActionTitle() const;
    Date now() const { return env_.now(); }

    // The cable's devices (CableDevices).
    std::optional<NeighbourAdvice> neighbourAdvice(const MACAddress& mac) const { return cable_.advice(mac); }
    std::optional<CardAddress> reachAddress(const MACAddress& mac) const { return cable_.reachAddress(mac); }
    bool canReach(const MACAddress& mac) const { return cable_.canReach(mac); }
    bool isReached(const MACAddress& mac) const { return cable_.isReached(mac); }
    std::optional<IPv4Address> neighbourAddress(const MACAddress& mac) const { return cable_.address(mac); }

    // Operations.
    // The screens ask first: these set `addressQuestion`, and only its confirmation adds the address.
    void askToReach(const MACAddress& mac) { cable_.askToReach(mac); }
    void askToServeFile(const MACAddress& mac) { cable_.askToServeFile(mac); }
    // Adds the asked address when the advice still names it and its card; asks again when it changed.
    void confirmAddress();
    void cancelAddress() { cable_.cancel(); }
    // Add the address at once, without asking.
    void reachNeighbour(const MACAddress& mac) { cable_.reach(mac); }
    void stopReaching(const MACAddress& mac) { cable_.stopReaching(mac); }
    void openNeighbourInBrowser(const MACAddress& mac);
    void serveFileToNeighbour(const MACAddress& mac) { recovery_.serveFile(mac); }
    void bootstrap();
    void refreshCards();
    void refreshChecks() { checks_.refresh(cards_.selected(), settings_.config()); }
    // The user's choice of card; it is remembered for the next launch.
    void select(const std::optional<std::string>& cardID);
    void setShowDisconnected(bool show);
    void start();
    void stop() { serving_.stop(); }
    void handle(const ServerEvent& event);
    void handle(const RunEvent& item);
    void appendLog(const std::string& text, LogLine::Kind kind);
    void clearLog();
    void setLogPaused(bool paused);
    void setLogFilter(const std::string& filter);
    // The settings sheet is open while the model says so; closing it forgets the problems it showed.
    void openSettings() { settings_.open(); }
    void closeSettings() { settings_.close(); }
    void requestConfigureAdapter() { commands_.requestConfigure(); }
    void requestRestoreDHCP() { commands_.requestRestoreDHCP(); }
    // Takes a copy: callers pass the model's own pendingCommand, which this clears.
    void run(PendingCommand pending) { commands_.run(std::move(pending)); }
    void cancelPendingCommand() { commands_.cancel(); }
    // Forgetting and clearing ask first: the request shows the question, the answer acts or cancels.
    void requestForgetLease(const MACAddress& mac) { leaseEdits_.requestForget(mac); }
    void cancelForgetLease() { leaseEdits_.cancelForget(); }
    void forgetLease(const MACAddress& mac) { leaseEdits_.forget(mac); }
    void requestClearExpired() { leaseEdits_.requestClear(); }
    void cancelClearExpired() { leaseEdits_.cancelClear(); }
    void clearExpiredLeases() { leaseEdits_.clearExpired(); }
    // Reloads the lease list; while serving, also asks for fresh presence.
    void refreshLeases() { leaseEdits_.refresh(); }
    void dismiss(NoticeKind kind);
    void dismissError();
    void openInBrowser(IPv4Address ip);
    void openLocalNetworkSettings();
    // Applies the settings sheet: the per-field errors, empty when the configuration was saved.
    SettingsForm::Messages saveSettings(const SettingsForm& form);
    // The device's pin, if one names its hardware address.
    const Pin* pinFor(const MACAddress& mac) const { return settings_.pinFor(mac); }
    // The lease's device always gets the lease's address; stored as Save stores the sheet, so a
    // running server takes it at the next Start. A pin the configuration would not hold is refused
    // in `lastError`.
    void pinLease(const Lease& lease);
    void unpin(const MACAddress& mac);

private:
    friend struct ModelStaging;
    static Environment withStore(Environment environment);
    void changed(ModelChange parts);
    void finishBootstrap();
    void afterPinChange(std::optional<std::string> refused, const std::string& done);

    Environment env_;
    ScreenTexts texts_;
    LogFileWriter logWriter_;
    Background background_;
    LogBuffer log_;
    ErrorAlert alert_;
    ModelContext context_;
    Phase phase_ = Phase::launching;
    SettingsSheet settings_;
    CardChoice cards_;
    Serving serving_;
    Checks checks_;
    AdminCommands commands_;
    LeaseEdits leaseEdits_;
    CableDevices cable_;
    Recovery recovery_;
    std::unique_ptr<InterfaceMonitor> monitor_;
};

}  // namespace anvil
