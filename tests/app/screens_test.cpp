// Screen behaviours on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <cstdlib>
#include <deque>
#include <filesystem>

#include "app/app_model.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/settings_dialog.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/process_runner.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

Lease storedLease(const char* mac, const char* ip, Date expiresAt) {
    return Lease{*MACAddress::parse(mac), *IPv4Address::parse(ip), Lease::State::bound, expiresAt, {}, {}, {},
                 Date{1'699'990'000},     Date{1'699'990'000}};
}

struct Screen {
    fs::path folder = fs::temp_directory_path() / ("anvil-screens-" + std::to_string(::getpid()));
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    Date clock{1'700'000'000};
    std::vector<std::string> openedURLs;
    std::vector<NetworkCard> hostCards;
    // Administrator commands go through pkexec on Linux; this is what the fake pkexec answers.
    ProcessRunner::Output pkexecOutput{0, ""};
    std::vector<std::string> ranCommands;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<MainWindow> window;

    // `stored` is written to the lease file before the application starts.
    explicit Screen(const std::vector<Lease>& stored = {}) {
        if (!stored.empty()) {
            fs::create_directories(folder);
            LeaseFile(folder / "leases.json").save(LeaseTable(stored, {}));
        }
        AppModel::Environment env;
        env.mainThread = [](AppModel::Task task) {
            QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
        };
        env.mainThreadAfter = [](double, AppModel::Task task) {
            QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
        };
        env.background = [](AppModel::Task task) { task(); };
        env.now = [this] { return clock; };
        env.openURL = [this](const std::string& url) {
            openedURLs.push_back(url);
            return true;
        };
        env.listCards = [this] { return hostCards; };
        env.knownServiceNames = [this] {
            std::vector<std::string> names;
            for (const auto& card : hostCards)
                if (card.serviceName) names.push_back(*card.serviceName);
            return names;
        };
        env.runAsAdministrator = [this](const std::string& command) {
            ranCommands.push_back(command);
            if (auto error = HostSetup::administratorError(pkexecOutput, true)) throw *error;
        };
        env.gatherPreflight = [](const NetworkCard& card, const ServerConfig& config) {
            return PreflightInput{card, {}, config, Port67State::available(), false};
        };
        env.settings = settings;
        env.leaseFileURL = folder / "leases.json";
        env.logDirectory = folder / "logs";
        model = std::make_unique<AppModel>(std::move(env));
        window = std::make_unique<MainWindow>(*model);
        model->bootstrap();
        settle();
    }
    ~Screen() {
        window.reset();
        model.reset();
        fs::remove_all(folder);
    }

    void settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        window->render();
    }

    // Opens the context menu of the lease table's row that shows this address.
    QMenu* leaseMenuFor(const QString& address) {
        // A closed menu deletes itself later; let it go so that the new one is the only one.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (auto* old : window->findChildren<QMenu*>("leaseMenu")) delete old;
        auto* table = window->findChild<QTableWidget*>("leaseTable");
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, 3)->text() != address) continue;
            QPoint where = table->visualItemRect(table->item(row, 1)).center();
            emit table->customContextMenuRequested(where);
            return window->findChild<QMenu*>("leaseMenu");
        }
        return nullptr;
    }

    QMessageBox* dialog(const char* name) const {
        auto* box = window->findChild<QMessageBox*>(name);
        return box && box->isVisible() ? box : nullptr;
    }

    // A card on DHCP, so the checklist offers to configure it.
    void plugInCard() {
        NetworkCard card;
        card.bsdName = "eth9";
        card.displayName = "USB Ethernet";
        card.serviceName = "Wired 9";
        card.kind = NetworkCard::Kind::ethernet;
        card.mac = MACAddress::parse("02:00:00:00:00:09");
        card.linkUp = true;
        card.configMethod = NetworkCard::ConfigMethod::dhcp();
        hostCards = {card};
        model->refreshCards();
        settle();
    }

    QPushButton* button(QWidget* inside, const QString& text) const {
        // Buttons of an earlier render are deleted later; let them go first.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (auto* candidate : inside->findChildren<QPushButton*>())
            if (candidate->text() == text) return candidate;
        return nullptr;
    }

    // Closes a dialog through one of its buttons and lets the window catch up.
    void click(QAbstractButton* target) {
        QTest::mouseClick(target, Qt::LeftButton);
        settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        settle();
    }

    std::vector<std::string> tableAddresses() const {
        std::vector<std::string> addresses;
        auto* table = window->findChild<QTableWidget*>("leaseTable");
        for (int row = 0; row < table->rowCount(); ++row)
            addresses.push_back(table->item(row, 3)->text().toStdString());
        return addresses;
    }

    std::vector<std::string> bannerKinds() const {
        std::vector<std::string> kinds;
        auto* stack = window->findChild<QWidget*>("bannerStack");
        for (auto* banner : stack->findChildren<QWidget*>("banner"))
            if (!banner->property("noticeKind").toString().isEmpty() && banner->parent() == stack)
                kinds.push_back(banner->property("noticeKind").toString().toStdString());
        return kinds;
    }
};

}  // namespace

TEST(Screens, BannersFollowTheGroupsThenTheKindNamesAndTakeNoRoomWhenNone) {
    Screen screen;
    EXPECT_EQ(screen.model->phase, AppModel::Phase::ready);
    EXPECT_TRUE(screen.bannerKinds().empty());
    EXPECT_TRUE(screen.window->findChild<QWidget*>("bannerStack")->isHidden());

    screen.model->state.raise(Notice::linkDown("eth9"));
    screen.model->state.raise(Notice::leaseFileSetAside("/tmp/leases.bad.json"));
    screen.model->state.raise(Notice::portInUse(std::nullopt));
    screen.model->state.raise(Notice::localNetworkDenied());
    screen.model->state.raise(Notice::adapterUnplugged());
    screen.model->state.raise(Notice::leaseSaveFailed("disk full"));
    screen.settle();
    QCoreApplication::processEvents();  // old banners are deleted later
    EXPECT_EQ(screen.bannerKinds(), (std::vector<std::string>{"leaseSaveFailed", "localNetworkDenied", "portInUse",
                                                              "adapterUnplugged", "leaseFileSetAside", "linkDown"}));
    EXPECT_FALSE(screen.window->findChild<QWidget*>("bannerStack")->isHidden());
}

TEST(Screens, LeaseWithoutPresenceReadsIdle) {
    Screen screen;
    Lease lease{*MACAddress::parse("aa:bb:cc:dd:ee:ff"),
                *IPv4Address::parse("192.168.0.100"),
                Lease::State::bound,
                Date{1'700'000'600},
                std::string("printer"),
                {},
                {},
                Date{1'700'000'000},
                Date{1'700'000'000}};
    screen.model->state.leases[lease.mac] = lease;
    Lease other = lease;
    other.mac = *MACAddress::parse("aa:bb:cc:dd:ee:01");
    other.ip = *IPv4Address::parse("192.168.0.101");
    screen.model->state.leases[other.mac] = other;
    screen.model->state.presence[other.ip] = PresenceState::online;
    screen.settle();
    auto* table = screen.window->findChild<QTableWidget*>("leaseTable");
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 0)->text(), "Online");
    EXPECT_EQ(table->item(1, 0)->text(), "Idle");
    EXPECT_EQ(table->item(1, 2)->text(), "bound");
    EXPECT_EQ(table->item(1, 3)->text(), "192.168.0.100");
}

TEST(Screens, InvalidSettingsKeepTheSheetOpenAndChangeNothing) {
    Screen screen;
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(screen.model->settingsOpen);
    auto* rangeEnd = sheet->findChild<QLineEdit*>("rangeEnd");
    rangeEnd->clear();
    QTest::keyClicks(rangeEnd, "not an address");
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(screen.model->settingsOpen);
    EXPECT_FALSE(sheet->findChild<QLabel*>("rangeError")->text().isEmpty());
    EXPECT_EQ(screen.model->config, AppModel::defaultConfig());
    EXPECT_EQ(screen.settings->values.count("serverConfig"), 0u);

    rangeEnd->clear();
    QTest::keyClicks(rangeEnd, "192.168.0.120");
    EXPECT_EQ(sheet->findChild<QLabel*>("rangeCount")->text(), "21 addresses");
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_FALSE(screen.model->settingsOpen);
    EXPECT_EQ(screen.settings->values.count("serverConfig"), 1u);
}

TEST(Screens, NoCardShowsThePickerPromptAndDisablesStart) {
    Screen screen;
    auto labels = screen.window->findChild<QWidget*>("checklistPanel")->findChildren<QLabel*>();
    bool prompt = false;
    for (auto* label : labels) prompt |= label->text() == "Choose a network card in the toolbar.";
    EXPECT_TRUE(prompt);
    auto* picker = screen.window->findChild<QWidget*>("cardPicker");
    EXPECT_EQ(picker->property("text").toString(), "Choose a network card");
}

TEST(Screens, LeaseMenuOffersItsActionsAndForgetsOnlyAfterConfirmation) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.100", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'700'003'600})});
    ASSERT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100", "192.168.0.101"}));

    QMenu* menu = screen.leaseMenuFor("192.168.0.101");
    ASSERT_NE(menu, nullptr);
    QStringList titles;
    for (auto* action : menu->actions()) titles << action->text();
    EXPECT_EQ(titles, (QStringList{"Copy IP", "Copy MAC", "Open in browser", "Forget lease"}));
    menu->actions()[2]->trigger();
    EXPECT_EQ(screen.openedURLs, (std::vector<std::string>{"http://192.168.0.101"}));
    menu->actions()[1]->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "aa:00:00:00:00:02");
    menu->close();

    // Cancelling the question keeps the lease.
    screen.leaseMenuFor("192.168.0.101")->actions()[3]->trigger();
    EXPECT_EQ(screen.model->confirmForget, MACAddress::parse("aa:00:00:00:00:02"));
    screen.settle();
    QMessageBox* question = screen.dialog("forgetLeaseDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Forget this lease?");
    EXPECT_EQ(question->informativeText(), "The device gets a new address the next time it asks.");
    QTest::mouseClick(question->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmForget);
    EXPECT_EQ(screen.tableAddresses().size(), 2u);

    screen.leaseMenuFor("192.168.0.101")->actions()[3]->trigger();
    screen.settle();
    question = screen.dialog("forgetLeaseDialog");
    ASSERT_NE(question, nullptr);
    QTest::mouseClick(question->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmForget);
    EXPECT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100"}));
    auto onDisk = LeaseFile(screen.folder / "leases.json").load(screen.clock).table.leases();
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(onDisk[0].ip, IPv4Address::parse("192.168.0.100"));
    EXPECT_FALSE(screen.model->lastError);
}

TEST(Screens, ClearExpiredAsksFirstAndKeepsActiveLeases) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.100", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'699'999'000})});
    ASSERT_EQ(screen.tableAddresses().size(), 2u);
    auto* clear = screen.window->findChild<QPushButton*>("clearExpired");

    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_TRUE(screen.model->confirmClear);
    screen.settle();
    QMessageBox* question = screen.dialog("clearExpiredDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Clear expired leases?");
    EXPECT_EQ(question->informativeText(), "Removes expired, released and reclaimed records. Active leases stay.");
    QTest::mouseClick(question->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmClear);
    EXPECT_EQ(screen.tableAddresses().size(), 2u);

    QTest::mouseClick(clear, Qt::LeftButton);
    screen.settle();
    question = screen.dialog("clearExpiredDialog");
    ASSERT_NE(question, nullptr);
    QTest::mouseClick(question->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmClear);
    EXPECT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100"}));
    EXPECT_EQ(LeaseFile(screen.folder / "leases.json").load(screen.clock).table.leases().size(), 1u);
}

TEST(Screens, LiveLogColoursLinesByKindAndFollowsFilterPauseClearAndTrimming) {
    Screen screen;
    auto* view = screen.window->findChild<QPlainTextEdit*>("logView");
    auto shown = [view] {
        std::vector<std::pair<std::string, QColor>> lines;
        for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
            if (block.text().isEmpty() && view->document()->blockCount() == 1) break;
            QColor colour;
            if (block.begin() != block.end()) {
                QBrush brush = block.begin().fragment().charFormat().foreground();
                if (brush.style() != Qt::NoBrush) colour = brush.color();
            }
            lines.emplace_back(block.text().toStdString(), colour);
        }
        return lines;
    };
    const std::vector<std::pair<const char*, LogLine::Kind>> kinds{{"RX DISCOVER aa:bb", LogLine::Kind::rx},
                                                                   {"TX OFFER 192.168.0.100", LogLine::Kind::tx},
                                                                   {"PRESENCE online", LogLine::Kind::presence},
                                                                   {"NOTICE link down", LogLine::Kind::notice},
                                                                   {"STARTED eth9", LogLine::Kind::other}};
    for (auto [text, kind] : kinds) screen.model->appendLog(text, kind);
    screen.settle();
    auto lines = shown();
    ASSERT_EQ(lines.size(), kinds.size());
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(lines[i].first, kinds[i].first);
        EXPECT_EQ(lines[i].second, logColour(kinds[i].second)) << kinds[i].first;
    }
    EXPECT_NE(logColour(LogLine::Kind::rx), logColour(LogLine::Kind::tx));

    QTest::keyClicks(screen.window->findChild<QLineEdit*>("logFilter"), "AA:BB");
    screen.settle();
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].second, logColour(LogLine::Kind::rx));
    screen.window->findChild<QLineEdit*>("logFilter")->clear();
    screen.settle();
    EXPECT_EQ(shown().size(), 5u);

    screen.model->setLogPaused(true);
    screen.model->appendLog("RX REQUEST", LogLine::Kind::rx);
    screen.settle();
    EXPECT_EQ(shown().size(), 5u) << "a paused log keeps its snapshot";
    screen.model->setLogPaused(false);
    screen.settle();
    EXPECT_EQ(shown().back().first, "RX REQUEST");

    // At capacity every new line pushes the oldest out of the view too.
    for (int i = 0; i < 5000; ++i) screen.model->appendLog("line " + std::to_string(i), LogLine::Kind::tx);
    screen.settle();
    screen.model->appendLog("last", LogLine::Kind::notice);
    screen.settle();
    lines = shown();
    ASSERT_EQ(lines.size(), 5000u);
    EXPECT_EQ(lines.front().first, "line 1");
    EXPECT_EQ(lines.back(), std::make_pair(std::string("last"), logColour(LogLine::Kind::notice)));

    screen.model->clearLog();
    screen.settle();
    EXPECT_TRUE(shown().empty());
}

TEST(Screens, ServerMenuHasShortcutsEnabledByStartAndRunningAndUpdatesStayOff) {
    Screen screen;
    auto* menu = screen.window->findChild<QMenu*>("serverMenu");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 2);
    for (auto* action : menu->actions()) {
        EXPECT_FALSE(action->shortcut().isEmpty()) << action->text().toStdString();
        EXPECT_FALSE(action->isEnabled()) << "no card, nothing running";
    }
    EXPECT_EQ(menu->actions()[0]->text(), "Start");
    EXPECT_EQ(menu->actions()[1]->text(), "Stop");
    bool updatesFound = false;
    for (auto* top : screen.window->menuBar()->actions())
        if (top->menu())
            for (auto* action : top->menu()->actions())
                if (action->text() == "Check for Updates…") {
                    updatesFound = true;
                    EXPECT_FALSE(action->isEnabled());
                }
    EXPECT_TRUE(updatesFound);
}

TEST(Screens, WaitingPanelThenDeviceCardWhileRunning) {
    Screen screen;
    auto labelTexts = [&screen] {
        QStringList texts;
        for (auto* label : screen.window->findChild<QWidget*>("devicePanel")->findChildren<QLabel*>())
            texts << label->text();
        return texts;
    };
    // A run as the model records it after Start; no server is needed to draw it.
    screen.model->isRunning = true;
    screen.model->startedAt = screen.clock;
    screen.model->state.runStarted("eth9");
    screen.clock = screen.clock.addingSeconds(59);
    screen.settle();
    EXPECT_TRUE(screen.window->findChild<QWidget*>("checklistPanel")->isHidden());
    QStringList texts = labelTexts();
    EXPECT_TRUE(texts.contains("Listening on eth9")) << texts.join("|").toStdString();
    EXPECT_TRUE(texts.contains("Waiting for a device · 0:59"));
    EXPECT_TRUE(texts.contains("192.168.0.100 is ready to hand out"));
    EXPECT_EQ(screen.window->findChild<QLabel*>("waitingHint"), nullptr);

    screen.clock = screen.clock.addingSeconds(66);
    screen.settle();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    texts = labelTexts();
    EXPECT_TRUE(texts.contains("Waiting for a device · 2:05"));
    auto* hint = screen.window->findChild<QLabel*>("waitingHint");
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(hint->text(),
              "Nothing has arrived for over a minute. Try power-cycling the device, check that it uses "
              "DHCP, and check that no firewall on this computer drops DHCP broadcasts.");
    // No network settings tool in this environment: no button that would open nothing.
    for (auto* button : screen.window->findChild<QWidget*>("devicePanel")->findChildren<QPushButton*>())
        EXPECT_NE(button->text(), "Network settings");
    for (auto* button : screen.window->findChild<QWidget*>("devicePanel")->findChildren<QPushButton*>())
        if (button->text() == "Copy tcpdump command") QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "sudo tcpdump -i eth9 -n -e 'udp port 67 or udp port 68'");

    Lease lease = storedLease("aa:00:00:00:00:07", "192.168.0.100", screen.clock.addingSeconds(3600));
    lease.vendorClass = "APC SmartUPS";
    lease.hostname = "ups";
    screen.model->state.leases[lease.mac] = lease;
    screen.model->state.deviceFound = lease;
    screen.model->state.presence[lease.ip] = PresenceState::conflict;
    screen.settle();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    texts = labelTexts();
    EXPECT_EQ(screen.window->findChild<QGroupBox*>("devicePanel")->title(), "Device found");
    EXPECT_EQ(screen.window->findChild<QLabel*>("deviceAddress")->text(), "192.168.0.100");
    EXPECT_EQ(screen.window->findChild<QLabel*>("devicePresence")->text(), "Conflict");
    for (const char* text : {"Hostname", "Vendor", "Lease", "ups", "APC SmartUPS (cookie sent)"})
        EXPECT_TRUE(texts.contains(text)) << text;
    EXPECT_EQ(screen.window->findChild<QLabel*>("waitingHint"), nullptr);
    screen.model->isRunning = false;
}

TEST(Screens, AdministratorCommandRunsOnlyAfterConfirmation) {
    Screen screen;
    screen.plugInCard();
    ASSERT_EQ(screen.model->selectedCardID, "eth9");
    const std::string command =
        HostSetup::setManualCommand(HostSetup::SettingsTool::ipRoute, "Wired 9", *IPv4Address::parse("192.168.0.1"),
                                    *IPv4Address::parse("255.255.255.0"));
    auto* checklist = screen.window->findChild<QWidget*>("checklistPanel");

    QPushButton* configure = screen.button(checklist, "Configure adapter…");
    ASSERT_NE(configure, nullptr);
    QTest::mouseClick(configure, Qt::LeftButton);
    screen.settle();
    QMessageBox* question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->windowTitle(), "Configure Wired 9 as 192.168.0.1/24?");
    EXPECT_EQ(question->text(), "Configure Wired 9 as 192.168.0.1/24?");
    EXPECT_EQ(question->informativeText().toStdString(), "DHCP Anvil will run:\n\n" + command);
    QStringList buttons;
    for (auto* each : question->buttons()) buttons << each->text();
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"Cancel", "Run with administrator password"}));

    // Cancel: nothing runs, nothing is logged, no alert.
    const auto logBefore = screen.model->log;
    screen.click(screen.button(question, "Cancel"));
    EXPECT_FALSE(screen.model->pendingCommand);
    EXPECT_EQ(screen.dialog("pendingCommandDialog"), nullptr);
    EXPECT_TRUE(screen.ranCommands.empty());
    EXPECT_EQ(screen.model->log, logBefore);
    EXPECT_EQ(screen.dialog("errorAlert"), nullptr);
    EXPECT_FALSE(screen.model->lastError);

    // Confirm: the command reaches the administrator runner exactly as shown and lands in the log.
    QTest::mouseClick(screen.button(checklist, "Configure adapter…"), Qt::LeftButton);
    screen.settle();
    question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    screen.click(screen.button(question, "Run with administrator password"));
    EXPECT_EQ(screen.ranCommands, (std::vector<std::string>{command}));
    EXPECT_FALSE(screen.model->pendingCommand);
    EXPECT_EQ(screen.dialog("pendingCommandDialog"), nullptr);
    ASSERT_FALSE(screen.model->log.empty());
    EXPECT_NE(screen.model->log.back().text.find("ADAPTER      " + command), std::string::npos)
        << screen.model->log.back().text;
    EXPECT_EQ(screen.dialog("errorAlert"), nullptr);

    // Dismissing the password dialog is no failure: no alert, nothing to copy.
    screen.pkexecOutput = {126, "Error executing command as another user: Request dismissed"};
    screen.model->requestRestoreDHCP();
    screen.settle();
    question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Set Wired 9 back to DHCP?");
    EXPECT_EQ(question->informativeText().toStdString(),
              "DHCP Anvil will run:\n\n" + HostSetup::setDHCPCommand(HostSetup::SettingsTool::ipRoute, "Wired 9"));
    screen.click(screen.button(question, "Run with administrator password"));
    EXPECT_EQ(screen.ranCommands.size(), 2u);
    EXPECT_EQ(screen.dialog("errorAlert"), nullptr);
    EXPECT_FALSE(screen.model->lastError);
    EXPECT_FALSE(screen.model->failedCommand);
}

TEST(Screens, SettingsSheetAsksBeforeRestoringDHCP) {
    Screen screen;
    screen.plugInCard();
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    QPushButton* restore = screen.button(sheet, "Restore DHCP on adapter");
    ASSERT_NE(restore, nullptr);
    QTest::mouseClick(restore, Qt::LeftButton);
    screen.settle();
    QMessageBox* question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Set Wired 9 back to DHCP?");
    EXPECT_TRUE(screen.ranCommands.empty());
    screen.click(screen.button(question, "Cancel"));
    EXPECT_TRUE(screen.ranCommands.empty());
    EXPECT_FALSE(screen.model->pendingCommand);
}

TEST(Screens, FailedAdministratorCommandShowsTheAlertWithACopyableTerminalLine) {
    Screen screen;
    screen.plugInCard();
    const std::string command = HostSetup::setDHCPCommand(HostSetup::SettingsTool::ipRoute, "Wired 9");
    screen.pkexecOutput = {4, "Error: Connection activation failed.\n"};
    screen.model->requestRestoreDHCP();
    screen.settle();
    QMessageBox* question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    screen.click(screen.button(question, "Run with administrator password"));
    EXPECT_EQ(screen.ranCommands, (std::vector<std::string>{command}));

    QMessageBox* alert = screen.dialog("errorAlert");
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowTitle(), "Something went wrong");
    EXPECT_EQ(alert->text(), "Something went wrong");
    EXPECT_EQ(alert->informativeText().toStdString(),
              "Error: Connection activation failed.\n\nYou can run this in Terminal instead:\n" +
                  HostSetup::sudoLine(command));
    QGuiApplication::clipboard()->clear();
    QPushButton* copy = screen.button(alert, "Copy Terminal command");
    ASSERT_NE(copy, nullptr);
    screen.click(copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), HostSetup::sudoLine(command));
    // Copying leaves the alert up so the line can be read; closing it clears the error.
    alert = screen.dialog("errorAlert");
    ASSERT_NE(alert, nullptr);
    screen.click(alert->button(QMessageBox::Ok));
    EXPECT_EQ(screen.dialog("errorAlert"), nullptr);
    EXPECT_FALSE(screen.model->lastError);
    EXPECT_FALSE(screen.model->failedCommand);

    // An error with no command behind it offers nothing to copy.
    screen.model->lastError = "Could not open the network card.";
    screen.settle();
    alert = screen.dialog("errorAlert");
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->informativeText(), "Could not open the network card.");
    EXPECT_EQ(screen.button(alert, "Copy Terminal command"), nullptr);
    screen.click(alert->button(QMessageBox::Ok));
    EXPECT_FALSE(screen.model->lastError);
}

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
