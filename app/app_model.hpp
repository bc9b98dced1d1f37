#pragma once
// The desktop application's state and operations, free of any window toolkit: every change
// happens on the thread the injected executor runs, and `onChange` tells the screens which parts to redraw.
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/model_change.hpp"
#include "app/screen_texts.hpp"
#include "app/settings_store.hpp"
#include "app/state/anvil_state.hpp"
#include "app/updater.hpp"
#include "core/addressing/date.hpp"
#include "core/addressing/maker_registry.hpp"
#include "core/addressing/server_config.hpp"
#include "core/addressing/settings_form.hpp"
#include "core/watch/neighbour_advice.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/host/network_card.hpp"
#include "core/host/preflight.hpp"
#include "core/leases/lease_file.hpp"
#include "core/run/card_run.hpp"
#include "core/run/server_run.hpp"

namespace anvil {

class InterfaceMonitor;

struct LogLine {
    enum class Kind { rx, tx, presence, notice, other };
    long long id = 0;
    std::string text;
    Kind kind = Kind::other;
    friend bool operator==(const LogLine&, const LogLine&) = default;
};

struct PendingCommand {
    std::string id;
    std::string title;
    std::string command;
    std::string service;
    // The card the command is for: setup re-checks it just before running.
    NetworkCard card;
    friend bool operator==(const PendingCommand&, const PendingCommand&) = default;
};

class AppModel {
public:
    using Task = std::function<void()>;
    using Executor = std::function<void(Task)>;

    // Everything the model asks of the host and the toolkit.
    struct Environment {
        Executor mainThread;
        // Runs a task on the main thread after a delay in seconds.
        std::function<void(double, Task)> mainThreadAfter;
        // Runs a task away from the main thread.
        Executor background;
        std::function<Date()> now;
        std::function<std::vector<NetworkCard>()> listCards;
        // What this computer uses off the card, for the advice (BenchFacts::read); the card's own
        // addresses alone when null.
        std::function<CableFacts(const NetworkCard& card, std::optional<Subnet> served)> benchFacts;
        std::function<PreflightInput(const NetworkCard&, const ServerConfig&)> gatherPreflight;
        std::function<std::optional<std::string>()> port67Holder;
        std::function<std::unique_ptr<CardRun>(CardRun::Options)> makeServer;
        // Null when the host's card changes cannot be watched.
        std::function<std::unique_ptr<InterfaceMonitor>(Task onChange)> makeMonitor;
        std::function<std::vector<std::string>()> knownServiceNames;
        // Runs a setup command for a card with the least rights that work; throws HostSetupError.
        std::function<void(const NetworkCard& card, const std::string& command)> runSetupCommand;
        // Adds or removes a second address of the card (HostSetup::runAddressCommand): with the user's
        // rights, and as administrator only when refused and `mayAskAdministrator`; throws HostSetupError.
        std::function<void(const NetworkCard& card, const std::string& command, bool mayAskAdministrator)>
            runAddressCommand;
        // Asks the user for a file on the main thread without waiting: `chosen` gets the answer there
        // later, nothing when cancelled. Returns a call that withdraws the question unanswered.
        std::function<std::function<void()>(const std::string& title,
                                            std::function<void(std::optional<std::filesystem::path>)> chosen)>
            chooseFile;
        // The running server's recovery serving; the server's own calls when null.
        std::function<void(CardRun&)> startRecoveryServing;
        std::function<void(CardRun&, const std::string& name, const std::filesystem::path& source)> serveFileAs;
        std::function<void(CardRun&)> stopRecoveryServing;
        // False when nothing could open the address.
        std::function<bool(const std::string& url)> openURL;
        // Picks the wording of texts that name the system's own features.
        Platform platform = hostPlatform;
        // Opens the settings that can lift a block on DHCP broadcasts (networkSettingsOpener), without
        // blocking the main thread; null when there are none, and the buttons that would open them are hidden.
        std::function<void()> openNetworkSettings;
        std::shared_ptr<SettingsStore> settings;
        std::filesystem::path leaseFileURL;
        std::filesystem::path logDirectory;
        // Who made a device's hardware; null when makers are not known.
        MakerLookup maker;
        // Empty where the system has no updater.
        Updater updater;

        // The real host: cards, preflight, servers, pkexec; the caller supplies the executors,
        // the URL opener and the settings store.
        static Environment system(Executor mainThread, std::function<void(double, Task)> mainThreadAfter,
                                  std::function<bool(const std::string&)> openURL,
                                  std::shared_ptr<SettingsStore> settings);
    };

    enum class Phase { launching, ready };

    explicit AppModel(Environment environment);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    static constexpr std::size_t logCapacity = 5000;
    static constexpr double hostQueryTimeout = 3.0;
    static constexpr double waitingHintSeconds = 60;
    // An edit of the leases while the server starts or stops, which holds the file meanwhile.
    static constexpr std::string_view serverChangingSentence =
        "The server is starting or stopping; forget or clear leases again once it has.";
    static ServerConfig defaultConfig() { return defaultServerConfig(); }

    // Called after every change with the parts it touched; the screens redraw those from the model.
    std::function<void(ModelChange)> onChange;

    // Fields, read by the screens.
    Phase phase = Phase::launching;
    std::vector<NetworkCard> cards;
    bool showDisconnected = false;
    std::optional<std::string> selectedCardID;
    ServerConfig config;
    std::vector<PreflightCheck> checks;
    bool isRunning = false;
    AnvilState state;
    // The newest lines, oldest first; a new line past the capacity pushes out the oldest.
    std::deque<LogLine> log;
    std::string logFilter;
    bool logPaused = false;
    std::optional<Date> startedAt;
    bool settingsOpen = false;
    // Problems of the stored configuration found at Start; the settings sheet opens showing them.
    std::map<SettingsForm::Field, std::vector<std::string>> settingsMessages;
    // The server is opening its socket and loading its leases away from the window.
    bool isStarting = false;
    // The last server's teardown is still running; Start waits for it.
    bool isStopping = false;
    std::optional<std::string> lastError;
    std::optional<std::string> failedCommand;
    std::optional<PendingCommand> pendingCommand;
    std::optional<MACAddress> confirmForget;
    bool confirmClear = false;

    // An address the app added to a card to reach a device on the cable; removed when done.
    struct ReachedAddress {
        MACAddress mac;
        NetworkCard card;
        CardAddress address;
        friend bool operator==(const ReachedAddress&, const ReachedAddress&) = default;
    };
    std::vector<ReachedAddress> reached;
    static constexpr std::size_t reachedCapacity = 8;
    // A recovery loader being served: the device, the address it looks for, the file it asked for.
    struct RecoveryServing {
        MACAddress mac;
        IPv4Address device;
        std::optional<std::string> file;
        bool askedForFile = false;
        // Closes the open file question; empty while none is open.
        std::function<void()> withdrawFileQuestion;
    };
    std::optional<RecoveryServing> recovery;
    // The address "Reach it" or "Serve a file to it" would add, shown with its card before anything runs.
    struct AddressQuestion {
        enum class Purpose { reach, serveFile };
        long long id = 0;
        Purpose purpose = Purpose::reach;
        MACAddress mac;
        NetworkCard card;
        CardAddress address;
        // "Add 192.168.1.254/24 to enx00e04c680001?"
        std::string title() const;
        std::string command() const;
        friend bool operator==(const AddressQuestion&, const AddressQuestion&) = default;
    };
    std::optional<AddressQuestion> addressQuestion;

    // Derived values.
    const NetworkCard* selectedCard() const;
    std::vector<NetworkCard> offeredCards() const;
    bool canStart() const;
    // The lines the on-screen log shows: those of `log` (or of the paused snapshot) that pass the
    // filter. Kept as lines arrive, so that each line is filtered once.
    const std::deque<LogLine>& visibleLog() const { return visibleLog_; }
    // Whether a log line passes the filter, compared case-insensitively in the user's locale.
    static bool matchesFilter(const std::string& text, const std::string& filter);
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
    // Whether the app offers to set this card's address or put it back on DHCP: never for the
    // computer's main internet connection, whose addresses such a command would take away.
    static bool offersAdapterSetup(const NetworkCard& card);
    // The selected card can be configured: it has a service and the app offers its setup.
    bool canConfigureAdapter() const;
    // Whether a check's row shows its "Configure adapter…" button.
    bool offersFix(const PreflightCheck& check) const;
    // The platform's wording of the screens.
    const ScreenTexts& texts() const { return texts_; }
    // Whether the settings buttons have something to open.
    bool canOpenNetworkSettings() const;
    const Updater& updates() const { return env_.updater; }
    // Where the screens keep their layout too.
    SettingsStore& settingsStore() const { return *env_.settings; }
    // Banners: the critical kinds first, then the others, each group by the kind's name.
    std::vector<Notice> orderedNotices() const;
    bool showsWaitingHint(Date at) const;
    // Texts and buttons that depend on the host; the screens draw them from here.
    static std::string_view checkTitle(PreflightCheck::ID id);
    std::vector<std::string> checklistNotes() const;
    std::string waitingHintText() const;
    // The extra button of a notice's banner, and of the waiting hint; none when there is nothing to open.
    std::optional<std::string> noticeActionTitle(NoticeKind kind) const;
    std::optional<std::string> waitingHintActionTitle() const;
    Date now() const { return env_.now(); }

    // What can be done about a device on the cable, judged against the served subnet, the card's
    // addresses and every address the cable's devices claim.
    std::optional<NeighbourAdvice> neighbourAdvice(const MACAddress& mac) const;
    // The address to add to reach it: the advice's, or for any device claiming an address outside
    // the served subnet, a free one of its network.
    std::optional<CardAddress> reachAddress(const MACAddress& mac) const;
    // The facts advice is decided on: the selected card's, the host's, and every device's claims.
    CableFacts cableFacts(std::optional<Subnet> served) const;
    bool canReach(const MACAddress& mac) const { return reachAddress(mac).has_value() && !isReached(mac); }
    bool isReached(const MACAddress& mac) const;
    // The address a device names as its own, newest; none when it named none.
    std::optional<IPv4Address> neighbourAddress(const MACAddress& mac) const;
    static constexpr std::string_view chooseFileTitle = "Choose the file to send as ";

    // Operations.
    // The screens ask first: these set `addressQuestion`, and only its confirmation adds the address.
    void askToReach(const MACAddress& mac);
    void askToServeFile(const MACAddress& mac);
    // Adds the asked address when the advice still names it and its card; asks again when it changed.
    void confirmAddress();
    void cancelAddress();
    // Add the address at once, without asking.
    void reachNeighbour(const MACAddress& mac);
    void stopReaching(const MACAddress& mac);
    void openNeighbourInBrowser(const MACAddress& mac);
    void serveFileToNeighbour(const MACAddress& mac);
    void bootstrap();
    void refreshCards();
    void refreshChecks();
    // The user's choice of card; it is remembered for the next launch.
    void select(const std::optional<std::string>& cardID);
    void setShowDisconnected(bool show);
    void start();
    void stop();
    void handle(const ServerEvent& event);
    void handle(const RunEvent& item);
    void appendLog(const std::string& text, LogLine::Kind kind);
    void clearLog();
    void setLogPaused(bool paused);
    void setLogFilter(const std::string& filter);
    // The settings sheet is open while the model says so; closing it forgets the problems it showed.
    void openSettings();
    void closeSettings();
    void requestConfigureAdapter();
    void requestRestoreDHCP();
    // Takes a copy: callers pass the model's own pendingCommand, which this clears.
    void run(PendingCommand pending);
    void cancelPendingCommand();
    // Forgetting and clearing ask first: the request shows the question, the answer acts or cancels.
    void requestForgetLease(const MACAddress& mac);
    void cancelForgetLease();
    void forgetLease(const MACAddress& mac);
    void requestClearExpired();
    void cancelClearExpired();
    void clearExpiredLeases();
    // Reloads the lease list; while serving, also asks for fresh presence.
    void refreshLeases();
    void dismiss(NoticeKind kind);
    void dismissError();
    void openInBrowser(IPv4Address ip);
    void openLocalNetworkSettings();
    // Applies the settings sheet: the per-field errors, empty when the configuration was saved.
    std::map<SettingsForm::Field, std::vector<std::string>> saveSettings(const SettingsForm& form);

    // Runs `work` in the background and hands its result, or `fallback` after `seconds` when the
    // work is slower, to `resume` on the main thread, exactly once.
    template <typename Value>
    void withTimeout(double seconds, Value fallback, std::function<Value()> work, std::function<void(Value)> resume);

private:
    void changed(ModelChange parts);
    // Adds a line to the log without announcing it; the caller does.
    void addLogLine(const std::string& text, LogLine::Kind kind);
    // Filters the shown lines again from the start, after the filter or the source changed.
    void refilterLog();
    void finishBootstrap();
    void loadLeasesAtLaunch();
    void applyChecks(unsigned generation, std::optional<PreflightInput> input);
    void storeSelection();
    // Selects without remembering: automatic picks never replace the user's card.
    void choose(const std::optional<std::string>& cardID);
    std::optional<MACAddress> rememberedCard() const;
    struct StartOutcome;
    void finishStart(const std::shared_ptr<StartOutcome>& outcome);
    void finishStop(std::optional<std::string> error);
    // Runs an address command away from the window; `done` on the main thread when it worked.
    void runAddressCommand(const NetworkCard& card, const std::string& command, std::function<void(AppModel&)> done);
    // Removes every address the app added, with the user's rights only; logs what stayed.
    void removeReachedAddresses(bool inBackground);
    std::optional<AddressQuestion> questionFor(const MACAddress& mac, AddressQuestion::Purpose purpose) const;
    void followRecovery(const ServerEvent& event);
    void askForRecoveryFile(const std::string& name);
    void endRecovery();
    // Forgets the recovery serving, closing its file question if one is open.
    void dropRecovery();
    // Handles what the run handed over; while a start is pending the events wait for its outcome.
    void takeEvents(EventHandOver& events);
    // Edits the lease file in the background with `change` (only reads it when null), then reloads the table.
    void rewriteLeaseFile(std::function<void(LeaseTable&, Date)> change);
    // While the own server starts or stops, an edit is refused with a sentence: true when it was.
    bool refuseEditWhileServerChanges();
    // Wraps a task so that it does nothing once the model is gone.
    Task guarded(std::function<void(AppModel&)> task);
    // Lists the cards off the main thread under the host-query timeout; nothing when it timed out.
    void scanCards(std::function<void(AppModel&, std::optional<std::vector<NetworkCard>>)> then);

    Environment env_;
    ScreenTexts texts_;
    LeaseFile leaseFile_;
    LogFileWriter logWriter_;
    std::shared_ptr<ServerRun> run_;
    std::unique_ptr<InterfaceMonitor> monitor_;
    std::optional<std::deque<LogLine>> pausedLog_;
    std::deque<LogLine> visibleLog_;
    long long nextLogID_ = 1;
    long long nextQuestionID_ = 1;
    unsigned checksGeneration_ = 0;
    // Stop was asked for while the start was still running.
    bool stopAfterStart_ = false;
    std::shared_future<void> startup_;
    std::shared_future<void> teardown_;
    int leaseFileJobs_ = 0;
    // Held by an edit of the lease file from the file's lock to its last write.
    std::shared_ptr<std::mutex> leaseFileEdits_ = std::make_shared<std::mutex>();
    std::shared_ptr<AppModel*> alive_;
};

template <typename Value>
void AppModel::withTimeout(double seconds, Value fallback, std::function<Value()> work,
                           std::function<void(Value)> resume) {
    // Both paths resume on the main thread, so the flag needs no lock there.
    auto resumed = std::make_shared<bool>(false);
    auto finish = [resumed, resume](Value value) {
        if (*resumed) return;
        *resumed = true;
        resume(std::move(value));
    };
    Executor mainThread = env_.mainThread;
    env_.background([work = std::move(work), finish, mainThread] {
        Value value = work();
        mainThread([finish, value = std::move(value)] { finish(value); });
    });
    env_.mainThreadAfter(seconds, [finish, fallback = std::move(fallback)] { finish(fallback); });
}

}  // namespace anvil
