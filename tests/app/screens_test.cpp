// Screen behaviours on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/app_model.hpp"
#include "model_staging.hpp"
#include "app/ui/cable_section.hpp"
#include "app/ui/device_panel.hpp"
#include "app/ui/colours.hpp"
#include "app/ui/device_panel.hpp"
#include "app/ui/lease_table.hpp"
#include "app/ui/live_log.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/settings_dialog.hpp"
#include "app/ui/texts.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/user_option_text.hpp"
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

    // `stored` is written to the lease file before the application starts; `adjust` changes the
    // environment last.
    explicit Screen(const std::vector<Lease>& stored = {},
                    const std::function<void(AppModel::Environment&)>& adjust = nullptr) {
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
        env.runSetupCommand = [this](const NetworkCard&, const std::string& command) {
            ranCommands.push_back(command);
            if (auto error = HostSetup::administratorError(pkexecOutput, true)) throw *error;
        };
        env.gatherPreflight = [](const NetworkCard& card, const ServerConfig& config) {
            return PreflightInput{card, {}, config, Port67State::available(), false};
        };
        env.settings = settings;
        env.leaseFileURL = folder / "leases.json";
        env.logDirectory = folder / "logs";
        env.maker = [](const MACAddress&) { return std::optional<std::string>("Bench Maker"); };
        if (adjust) adjust(env);
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
        auto* table = window->findChild<QTableView*>("leaseTable");
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            if (table->model()->index(row, LeaseTableModel::address).data().toString() != address) continue;
            QPoint where = table->visualRect(table->model()->index(row, 1)).center();
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
            if (candidate->text() == text && candidate->isVisibleTo(inside)) return candidate;
        return nullptr;
    }

    // Closes a dialog through one of its buttons and lets the window catch up.
    void click(QAbstractButton* target) {
        QTest::mouseClick(target, Qt::LeftButton);
        settle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        settle();
    }

    // The lease table's cells, row by row.
    std::vector<std::vector<std::string>> tableRows() const {
        std::vector<std::vector<std::string>> rows;
        auto* table = window->findChild<QTableView*>("leaseTable")->model();
        for (int row = 0; row < table->rowCount(); ++row) {
            rows.emplace_back();
            for (int column = 0; column < table->columnCount(); ++column)
                rows.back().push_back(table->index(row, column).data().toString().toStdString());
        }
        return rows;
    }

    std::vector<std::string> tableAddresses() const {
        std::vector<std::string> addresses;
        for (const auto& row : tableRows()) addresses.push_back(row[LeaseTableModel::address]);
        return addresses;
    }

    // Texts of the labels inside `name` that the user can see.
    QStringList visibleTexts(const char* name) const {
        QStringList texts;
        for (auto* label : window->findChild<QWidget*>(name)->findChildren<QLabel*>())
            if (label->isVisibleTo(window.get())) texts << label->text();
        return texts;
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
    EXPECT_EQ(screen.model->phase(), AppModel::Phase::ready);
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
    auto rows = screen.tableRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "Online");
    // Each fact in its own column.
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Idle", "printer", "aa:bb:cc:dd:ee:ff", "Bench Maker", "192.168.0.100",
                                                 "bound"}));
}

TEST(Screens, InvalidSettingsKeepTheSheetOpenAndChangeNothing) {
    Screen screen;
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(screen.model->settingsOpen());
    auto* rangeEnd = sheet->findChild<QLineEdit*>("rangeEnd");
    rangeEnd->clear();
    QTest::keyClicks(rangeEnd, "not an address");
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(screen.model->settingsOpen());
    EXPECT_FALSE(sheet->findChild<QLabel*>("rangeError")->text().isEmpty());
    EXPECT_EQ(screen.model->config(), AppModel::defaultConfig());
    EXPECT_EQ(screen.settings->values.count("serverConfig"), 0u);

    rangeEnd->clear();
    QTest::keyClicks(rangeEnd, "192.168.0.120");
    EXPECT_EQ(sheet->findChild<QLabel*>("rangeCount")->text(), "21 addresses");
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_FALSE(screen.model->settingsOpen());
    EXPECT_EQ(screen.settings->values.count("serverConfig"), 1u);
}

TEST(Screens, TheLeaseMenuPinsAndUnpinsAndTheTableMarksPinnedAndBOOTPLeases) {
    Lease bootp = storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'700'003'600});
    bootp.bootp = true;
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.100", Date{1'700'003'600}), bootp});
    auto titles = [](QMenu* menu) {
        QStringList texts;
        for (auto* action : menu->actions()) texts << action->text();
        return texts;
    };
    auto action = [](QMenu* menu, const QString& text) {
        for (auto* each : menu->actions())
            if (each->text() == text) return each;
        return static_cast<QAction*>(nullptr);
    };
    ASSERT_EQ(screen.tableRows().size(), 2u);
    EXPECT_EQ(screen.tableRows()[1][LeaseTableModel::lease], "bound (BOOTP)");

    QMenu* menu = screen.leaseMenuFor("192.168.0.100");
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(titles(menu).contains("Unpin"));
    action(menu, "Always give this device this address")->trigger();
    screen.settle();
    EXPECT_EQ(screen.model->config().pins,
              (std::vector<Pin>{{MACAddress::parse("aa:00:00:00:00:01"), std::nullopt, *IPv4Address::parse("192.168.0.100"), ""}}));
    EXPECT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100 (pinned)", "192.168.0.101"}));
    if (const char* folder = std::getenv("ANVIL_SCREEN_GRABS"))
        screen.window->findChild<QWidget*>("leasesPanel")->grab().save(QString(folder) + "/leases-pinned.png");

    // From the keyboard: the menu key opens the menu of the row with the focus.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (auto* old : screen.window->findChildren<QMenu*>("leaseMenu")) delete old;
    auto* table = screen.window->findChild<QTableView*>("leaseTable");
    table->setCurrentIndex(table->model()->index(0, 0));
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(1, 1), table->mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(table, &key);
    menu = screen.window->findChild<QMenu*>("leaseMenu");
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(titles(menu).contains("Always give this device this address"));
    action(menu, "Unpin")->trigger();
    screen.settle();
    EXPECT_TRUE(screen.model->config().pins.empty());
    EXPECT_EQ(screen.tableAddresses()[0], "192.168.0.100");
}

TEST(Screens, PinsAndOptionsTablesShowEachRowsProblemBesideItAndSaveTheRest) {
    Screen screen;
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    auto* pins = sheet->findChild<QTableWidget*>("pinsTable");
    auto* options = sheet->findChild<QTableWidget*>("optionsTable");
    ASSERT_TRUE(pins && options);
    auto fill = [](QTableWidget* table, int row, const QStringList& texts) {
        for (int column = 0; column < texts.size(); ++column) table->item(row, column)->setText(texts[column]);
    };
    auto save = [&] {
        QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QCoreApplication::processEvents();
    };
    QTest::mouseClick(sheet->findChild<QPushButton*>("pinsAdd"), Qt::LeftButton);
    QTest::mouseClick(sheet->findChild<QPushButton*>("pinsAdd"), Qt::LeftButton);
    fill(pins, 1, {"board", "192.168.0.50", "bench board"});
    QTest::mouseClick(sheet->findChild<QPushButton*>("optionsAdd"), Qt::LeftButton);
    fill(options, 0, {"", "53", "1"});
    sheet->findChild<QCheckBox*>("answerBOOTP")->setChecked(false);
    save();
    EXPECT_TRUE(sheet->isVisible());
    // The blank first row is not there, and its place still counts.
    EXPECT_EQ(sheet->findChild<QLabel*>("pinsError")->text().toStdString(),
              "Row 2: " + readPin("board", "192.168.0.50", "bench board").error);
    EXPECT_FALSE(pins->item(1, 0)->toolTip().isEmpty());
    EXPECT_TRUE(pins->item(0, 0)->toolTip().isEmpty());
    EXPECT_EQ(sheet->findChild<QLabel*>("optionsError")->text().toStdString(),
              "Row 1: " + readUserOption("", "53", "1", false).error);
    if (const char* folder = std::getenv("ANVIL_SCREEN_GRABS")) {
        sheet->findChild<QWidget*>("pinsGroup")->grab().save(QString(folder) + "/settings-pins.png");
        sheet->findChild<QWidget*>("optionsGroup")->grab().save(QString(folder) + "/settings-options.png");
    }
    EXPECT_EQ(screen.model->config(), AppModel::defaultConfig());

    EXPECT_FALSE(sheet->addPreset("no such preset", ""));
    EXPECT_FALSE(sheet->findChild<QLabel*>("optionsError")->text().isEmpty());
    fill(pins, 1, {"aa:00:00:00:00:09"});
    options->setCurrentCell(0, 0);
    QTest::mouseClick(sheet->findChild<QPushButton*>("optionsRemove"), Qt::LeftButton);
    EXPECT_EQ(options->rowCount(), 0);
    save();
    EXPECT_FALSE(screen.model->settingsOpen());
    EXPECT_FALSE(screen.model->config().answerBOOTP);
    EXPECT_EQ(screen.model->config().pins, (std::vector<Pin>{{MACAddress::parse("aa:00:00:00:00:09"), std::nullopt,
                                                              *IPv4Address::parse("192.168.0.50"), "bench board"}}));
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
    EXPECT_EQ(titles, (QStringList{"Copy IP", "Copy MAC", "Open in browser", "Forget lease", "",
                                   "Always give this device this address"}));
    menu->actions()[2]->trigger();
    EXPECT_EQ(screen.openedURLs, (std::vector<std::string>{"http://192.168.0.101"}));
    menu->actions()[1]->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "aa:00:00:00:00:02");
    menu->close();

    // Cancelling the question keeps the lease.
    screen.leaseMenuFor("192.168.0.101")->actions()[3]->trigger();
    EXPECT_EQ(screen.model->confirmForget(), MACAddress::parse("aa:00:00:00:00:02"));
    screen.settle();
    QMessageBox* question = screen.dialog("forgetLeaseDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Forget this lease?");
    EXPECT_EQ(question->informativeText(), "The device gets a new address the next time it asks.");
    QTest::mouseClick(question->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmForget());
    EXPECT_EQ(screen.tableAddresses().size(), 2u);

    screen.leaseMenuFor("192.168.0.101")->actions()[3]->trigger();
    screen.settle();
    question = screen.dialog("forgetLeaseDialog");
    ASSERT_NE(question, nullptr);
    QTest::mouseClick(question->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmForget());
    EXPECT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100"}));
    auto onDisk = LeaseFile(screen.folder / "leases.json").load(screen.clock).table.leases();
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(onDisk[0].ip, IPv4Address::parse("192.168.0.100"));
    EXPECT_FALSE(screen.model->lastError());
}

TEST(Screens, ClearExpiredAsksFirstAndKeepsActiveLeases) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.100", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'699'999'000})});
    ASSERT_EQ(screen.tableAddresses().size(), 2u);
    auto* clear = screen.window->findChild<QPushButton*>("clearExpired");

    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_TRUE(screen.model->confirmClear());
    screen.settle();
    QMessageBox* question = screen.dialog("clearExpiredDialog");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text(), "Clear expired leases?");
    EXPECT_EQ(question->informativeText(), "Removes expired, released and reclaimed records. Active leases stay.");
    QTest::mouseClick(question->findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmClear());
    EXPECT_EQ(screen.tableAddresses().size(), 2u);

    QTest::mouseClick(clear, Qt::LeftButton);
    screen.settle();
    question = screen.dialog("clearExpiredDialog");
    ASSERT_NE(question, nullptr);
    QTest::mouseClick(question->findChild<QPushButton*>("confirmButton"), Qt::LeftButton);
    screen.settle();
    EXPECT_FALSE(screen.model->confirmClear());
    EXPECT_EQ(screen.tableAddresses(), (std::vector<std::string>{"192.168.0.100"}));
    EXPECT_EQ(LeaseFile(screen.folder / "leases.json").load(screen.clock).table.leases().size(), 1u);
}

TEST(Screens, LiveLogColoursLinesByKindAndFollowsFilterPauseClearAndTrimming) {
    Screen screen;
    auto* view = screen.window->findChild<QListView*>("logView");
    const QPalette palette = view->palette();
    auto shown = [view] {
        std::vector<std::pair<std::string, QColor>> lines;
        for (int row = 0; row < view->model()->rowCount(); ++row) {
            QModelIndex index = view->model()->index(row, 0);
            lines.emplace_back(index.data().toString().toStdString(), index.data(Qt::ForegroundRole).value<QColor>());
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
        EXPECT_EQ(lines[i].second, logColour(kinds[i].second, palette)) << kinds[i].first;
    }
    EXPECT_NE(logColour(LogLine::Kind::rx, palette), logColour(LogLine::Kind::tx, palette));

    QTest::keyClicks(screen.window->findChild<QLineEdit*>("logFilter"), "AA:BB");
    screen.settle();
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].second, logColour(LogLine::Kind::rx, palette));
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
    EXPECT_EQ(lines.back(), std::make_pair(std::string("last"), logColour(LogLine::Kind::notice, palette)));

    screen.model->clearLog();
    screen.settle();
    EXPECT_TRUE(shown().empty());
}

TEST(Screens, MenusFollowTheDesktopWithMnemonicsAndShortcuts) {
    Screen screen;
    struct Entry {
        const char* menu;
        const char* action;
        QList<QKeySequence> shortcuts;
    };
    const std::vector<Entry> expected{{"&File", "&Quit", {QKeySequence("Ctrl+Q")}},
                                      {"&Edit", "&Preferences…", {QKeySequence("Ctrl+,")}},
                                      {"&Server", "&Start", {QKeySequence("Ctrl+R")}},
                                      {"&Server", "S&top", {QKeySequence("Ctrl+T"), QKeySequence(Qt::Key_Escape)}},
                                      {"&Help", "&About DHCP Anvil", {}}};
    QStringList menus;
    for (auto* top : screen.window->menuBar()->actions()) menus << top->text();
    EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&Server", "&Help"}));
    for (const auto& entry : expected) {
        QAction* found = nullptr;
        for (auto* top : screen.window->menuBar()->actions())
            if (top->text() == entry.menu)
                for (auto* action : top->menu()->actions())
                    if (action->text() == entry.action) found = action;
        ASSERT_NE(found, nullptr) << entry.action;
        EXPECT_EQ(found->shortcuts(), entry.shortcuts) << entry.action;
    }
    // Start and Stop follow the model; no card, nothing running.
    for (auto* action : screen.window->findChild<QMenu*>("serverMenu")->actions())
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
}

// Updates are offered only where the environment has an updater (Linux has none); then the menu
// entry and the settings toggle reach it, and an invalid form saves nothing, the toggle included.
TEST(Screens, UpdatesAreOfferedOnlyThroughAnUpdater) {
    for (bool hasUpdater : {false, true}) {
        SCOPED_TRACE(hasUpdater ? "an updater" : "no updater");
        int checks = 0;
        std::vector<bool> stored;
        Screen screen({}, [&](AppModel::Environment& env) {
            if (!hasUpdater) return;
            env.updater.checkNow = [&checks] { ++checks; };
            env.updater.checksAutomatically = [] { return true; };
            env.updater.setChecksAutomatically = [&stored](bool on) { stored.push_back(on); };
        });
        auto* updates = screen.window->findChild<QAction*>("checkForUpdates");
        ASSERT_NE(updates, nullptr);
        EXPECT_EQ(updates->isVisible(), hasUpdater);
        updates->trigger();
        EXPECT_EQ(checks, hasUpdater ? 1 : 0);

        screen.window->openSettings();
        SettingsDialog* sheet = screen.window->settingsDialog();
        QGroupBox* box = nullptr;
        for (auto* each : sheet->findChildren<QGroupBox*>())
            if (each->title() == "Updates") box = each;
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->isVisibleTo(sheet), hasUpdater);
        auto* automatic = sheet->findChild<QCheckBox*>("automaticUpdateChecks");
        ASSERT_NE(automatic, nullptr);
        EXPECT_EQ(automatic->isChecked(), hasUpdater);
        automatic->setChecked(false);
        auto* rangeEnd = sheet->findChild<QLineEdit*>("rangeEnd");
        rangeEnd->setText("not an address");
        QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        EXPECT_TRUE(stored.empty());
        rangeEnd->setText("192.168.0.120");
        QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
        QCoreApplication::processEvents();
        EXPECT_EQ(stored, hasUpdater ? std::vector<bool>{false} : std::vector<bool>{});
    }
}

TEST(Screens, WaitingPanelThenDeviceCardWhileRunning) {
    Screen screen;
    auto labelTexts = [&screen] { return screen.visibleTexts("devicePanel"); };
    auto* hint = screen.window->findChild<QLabel*>("waitingHint");
    ASSERT_NE(hint, nullptr);
    // A run as the model records it after Start; no server is needed to draw it.
    ModelStaging::running(*screen.model, screen.clock);
    screen.model->state.runStarted("eth9");
    screen.clock = screen.clock.addingSeconds(59);
    screen.settle();
    EXPECT_TRUE(screen.window->findChild<QWidget*>("checklistPanel")->isHidden());
    QStringList texts = labelTexts();
    EXPECT_TRUE(texts.contains("Listening on eth9")) << texts.join("|").toStdString();
    EXPECT_TRUE(texts.contains("Waiting for a device · 0:59"));
    EXPECT_TRUE(texts.contains("192.168.0.100 is ready to hand out"));
    EXPECT_FALSE(hint->isVisibleTo(screen.window.get()));

    screen.clock = screen.clock.addingSeconds(66);
    screen.settle();
    texts = labelTexts();
    EXPECT_TRUE(texts.contains("Waiting for a device · 2:05"));
    EXPECT_TRUE(hint->isVisibleTo(screen.window.get()));
    EXPECT_EQ(hint->text().toStdString(), screen.model->waitingHintText());
    // No network settings tool in this environment: no button that would open nothing.
    EXPECT_FALSE(screen.window->findChild<QPushButton*>("hintAction")->isVisibleTo(screen.window.get()));
    QTest::mouseClick(screen.window->findChild<QPushButton*>("copyTcpdump"), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "sudo tcpdump -i 'eth9' -n -e 'udp port 67 or udp port 68'");

    Lease lease = storedLease("aa:00:00:00:00:07", "192.168.0.100", screen.clock.addingSeconds(3600));
    lease.vendorClass = "APC SmartUPS";
    lease.hostname = "ups";
    screen.model->state.leases[lease.mac] = lease;
    screen.model->state.deviceFound = lease;
    screen.model->state.presence[lease.ip] = PresenceState::conflict;
    PacketSummary request;
    request.mac = lease.mac;
    request.options = {{55, {1, 42}}};
    screen.model->state.apply(ServerEvent::received(request), screen.clock);
    SentSummary ack{DHCPMessageType::ack, lease.ip, lease.mac, ReplyDestination::broadcast(), "eth9", {}, {53, 1}};
    // The card names the user options of the note, not the lease or the boot remarks.
    ack.note = "lease 1h, option 43 for vendor class APC, option 42 for every device; boot file for U-Boot";
    screen.model->state.apply(ServerEvent::sent(ack), screen.clock);
    screen.settle();
    texts = labelTexts();
    EXPECT_TRUE(texts.contains("option 43 for vendor class APC, option 42 for every device"))
        << texts.join("|").toStdString();
    EXPECT_EQ(screen.window->findChild<QGroupBox*>("devicePanel")->title(), "Device found");
    EXPECT_EQ(screen.window->findChild<QLabel*>("deviceAddress")->text(), "192.168.0.100");
    EXPECT_EQ(screen.window->findChild<QLabel*>("devicePresence")->text(), "Conflict");
    for (const char* text : {"Maker", "Bench Maker", "Hostname", "Vendor", "Requested", "Lease", "ups",
                             "APC SmartUPS (cookie sent)", "bound, 1 h left", "Subnet Mask \u2713, NTP Servers \u2717"})
        EXPECT_TRUE(texts.contains(text)) << text << " in " << texts.join("|").toStdString();
    EXPECT_FALSE(hint->isVisibleTo(screen.window.get()));
    ModelStaging::running(*screen.model, std::nullopt);
}

TEST(Screens, AdministratorCommandRunsOnlyAfterConfirmation) {
    Screen screen;
    screen.plugInCard();
    ASSERT_EQ(screen.model->selectedCardID(), "eth9");
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
    const auto logBefore = screen.model->log();
    screen.click(screen.button(question, "Cancel"));
    EXPECT_FALSE(screen.model->pendingCommand());
    EXPECT_EQ(screen.dialog("pendingCommandDialog"), nullptr);
    EXPECT_TRUE(screen.ranCommands.empty());
    EXPECT_EQ(screen.model->log(), logBefore);
    EXPECT_EQ(screen.dialog("errorAlert"), nullptr);
    EXPECT_FALSE(screen.model->lastError());

    // Confirm: the command reaches the administrator runner exactly as shown and lands in the log.
    QTest::mouseClick(screen.button(checklist, "Configure adapter…"), Qt::LeftButton);
    screen.settle();
    question = screen.dialog("pendingCommandDialog");
    ASSERT_NE(question, nullptr);
    screen.click(screen.button(question, "Run with administrator password"));
    EXPECT_EQ(screen.ranCommands, (std::vector<std::string>{command}));
    EXPECT_FALSE(screen.model->pendingCommand());
    EXPECT_EQ(screen.dialog("pendingCommandDialog"), nullptr);
    ASSERT_FALSE(screen.model->log().empty());
    EXPECT_NE(screen.model->log().back().text.find("ADAPTER      " + command), std::string::npos)
        << screen.model->log().back().text;
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
    EXPECT_FALSE(screen.model->lastError());
    EXPECT_FALSE(screen.model->failedCommand());
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
    EXPECT_FALSE(screen.model->pendingCommand());
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
    EXPECT_FALSE(screen.model->lastError());
    EXPECT_FALSE(screen.model->failedCommand());

    // An error with no command behind it offers nothing to copy.
    ModelStaging::error(*screen.model, "Could not open the network card.");
    screen.settle();
    alert = screen.dialog("errorAlert");
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->informativeText(), "Could not open the network card.");
    EXPECT_EQ(screen.button(alert, "Copy Terminal command"), nullptr);
    screen.click(alert->button(QMessageBox::Ok));
    EXPECT_FALSE(screen.model->lastError());
}

TEST(Screens, ClicksFocusAndSelectionSurviveStreamingEvents) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.101", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.102", Date{1'700'003'600})});
    Lease found = storedLease("aa:00:00:00:00:07", "192.168.0.107", Date{1'700'003'600});
    ModelStaging::running(*screen.model, screen.clock);
    screen.model->state.runStarted("eth9");
    screen.model->state.leases[found.mac] = found;
    screen.model->state.deviceFound = found;
    screen.model->state.raise(Notice::linkDown("eth9"));
    screen.model->state.raise(Notice::adapterUnplugged());
    screen.settle();

    // What a serving window gets several times a second: log lines, presence answers, new leases,
    // notices coming and going, the clock moving on.
    int step = 0;
    auto stream = [&] {
        for (int i = 0; i < 3; ++i, ++step) {
            screen.clock = screen.clock.addingSeconds(1);
            screen.model->appendLog("RX DISCOVER " + std::to_string(step), LogLine::Kind::rx);
            screen.model->state.presence[found.ip] = step % 2 ? PresenceState::online : PresenceState::unknown;
            Lease newcomer = storedLease("aa:00:00:00:01:00", "192.168.0.100", Date{1'700'003'600});
            newcomer.mac.bytes[5] = static_cast<std::uint8_t>(step);
            newcomer.ip.value -= static_cast<std::uint32_t>(step % 50);
            screen.model->state.leases[newcomer.mac] = newcomer;
            if (step % 2)
                screen.model->state.raise(Notice::leaseSaveFailed("disk full"));
            else
                screen.model->state.dismiss(NoticeKind::leaseSaveFailed);
            screen.settle();
        }
    };
    // Each press and release straddles redraws; the action must land every time.
    struct Case {
        const char* name;
        std::function<QPushButton*()> button;
        std::function<void()> prepare;
        std::function<bool()> tookEffect;
    };
    auto dismissOf = [&screen](NoticeKind kind) -> QPushButton* {
        for (auto* banner : screen.window->findChildren<QWidget*>("banner"))
            if (banner->property("noticeKind").toString() == q(rawValue(kind)))
                return banner->findChild<QPushButton*>("dismissButton");
        return nullptr;
    };
    const std::vector<Case> cases{
        {"Copy IP", [&] { return screen.window->findChild<QPushButton*>("copyIP"); },
         [] { QGuiApplication::clipboard()->clear(); },
         [] { return QGuiApplication::clipboard()->text() == "192.168.0.107"; }},
        {"Dismiss link down", [&] { return dismissOf(NoticeKind::linkDown); }, [] {},
         [&] { return !screen.model->state.notices.count(NoticeKind::linkDown); }},
        {"Dismiss unplugged", [&] { return dismissOf(NoticeKind::adapterUnplugged); }, [] {},
         [&] { return !screen.model->state.notices.count(NoticeKind::adapterUnplugged); }},
    };
    for (const auto& each : cases) {
        for (int round = 0; round < 3; ++round) {
            each.prepare();
            QPushButton* button = each.button();
            if (!button) {
                ASSERT_GT(round, 0) << each.name;  // a dismissed banner is gone, as it should be
                break;
            }
            button->setFocus();
            QTest::mousePress(button, Qt::LeftButton);
            stream();
            EXPECT_EQ(screen.window->focusWidget(), button) << each.name << " kept the keyboard focus";
            QTest::mouseRelease(button, Qt::LeftButton);
            screen.settle();
            EXPECT_TRUE(each.tookEffect()) << each.name << ", round " << round;
        }
    }

    // A selected row stays on its lease while rows arrive above it and the order changes.
    auto* table = screen.window->findChild<QTableView*>("leaseTable");
    auto selectedAddress = [table] {
        auto rows = table->selectionModel()->selectedRows(LeaseTableModel::address);
        return rows.size() == 1 ? rows[0].data().toString() : QString("none");
    };
    for (int row = 0; row < table->model()->rowCount(); ++row)
        if (table->model()->index(row, LeaseTableModel::address).data() == "192.168.0.102") table->selectRow(row);
    ASSERT_EQ(selectedAddress(), "192.168.0.102");
    for (int round = 0; round < 4; ++round) {
        stream();
        screen.model->state.presence[*IPv4Address::parse("192.168.0.102")] =
            round % 2 ? PresenceState::online : PresenceState::offline;
        screen.settle();
        EXPECT_EQ(selectedAddress(), "192.168.0.102") << "round " << round;
    }
    ModelStaging::running(*screen.model, std::nullopt);
}

TEST(Screens, StoredConfigurationThatDoesNotHoldOpensTheSettingsInsteadOfServing) {
    Screen screen;
    screen.plugInCard();
    screen.model->refreshChecks();
    screen.settle();
    ModelStaging::checks(*screen.model, {PreflightCheck{}});  // every check passes
    ServerConfig broken = AppModel::defaultConfig();
    broken.serverIP = *IPv4Address::parse("192.168.0.150");  // inside its own range
    ModelStaging::config(*screen.model, broken);
    ASSERT_TRUE(screen.model->canStart());
    screen.model->start();
    screen.settle();
    EXPECT_FALSE(screen.model->isRunning());
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    auto* error = sheet->findChild<QLabel*>("serverError");
    EXPECT_TRUE(error->isVisibleTo(sheet));
    EXPECT_FALSE(error->text().isEmpty());
}

namespace {

// Ends the process with a message when the window stops answering, so that a label reading
// `<img src=/dev/zero>` fails the test instead of hanging it.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds bound)
        : thread_([this, bound] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, bound, [this] { return finished_; })) {
                  std::fprintf(stderr, "the window stopped answering\n");
                  std::_Exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// What a button or menu entry shows: "&&" is one "&", a lone "&" marks the shortcut.
QString shownActionText(QString text) {
    text.replace("&&", QChar(0x1));
    text.remove('&');
    return text.replace(QChar(0x1), "&");
}

QString plainOf(const QString& html) {
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

NetworkCard benchCard() {
    NetworkCard card;
    card.bsdName = "eth9";
    card.displayName = "USB Ethernet";
    card.serviceName = "Wired 9";
    card.kind = NetworkCard::Kind::ethernet;
    card.mac = MACAddress::parse("02:00:00:00:00:09");
    card.linkUp = true;
    card.configMethod = NetworkCard::ConfigMethod::dhcp();
    return card;
}

}  // namespace

// Names and texts from the cable and the computer reach the window through many channels; markup in
// any of them is shown as written and never read, and the window keeps answering.
TEST(Screens, OutsideTextIsShownAsWrittenInEveryChannel) {
    Watchdog watchdog(std::chrono::seconds(60));
    const std::vector<std::string> markups{"<img src=/dev/zero>", "<b>bold</b>", "&amp;", "<a href=x>x</a>",
                                           "[*] & <br>"};
    struct Channel {
        const char* name;
        // Puts the text where this channel carries it.
        std::function<void(Screen&, const std::string&)> feed;
        // The texts the user sees, as shown; one of them must be `expected`.
        std::function<QStringList(Screen&)> shown;
        std::function<std::string(Screen&, const std::string&)> expected;
    };
    auto runWith = [](Screen& screen, Lease device) {
        ModelStaging::running(*screen.model, screen.clock);
        screen.model->state.runStarted("eth9");
        screen.model->state.leases[device.mac] = device;
        screen.model->state.deviceFound = device;
    };
    auto device = [] { return storedLease("aa:00:00:00:00:07", "192.168.0.100", Date{1'700'003'600}); };
    auto labels = [](QWidget* inside) {
        QStringList texts;
        for (auto* label : inside->findChildren<QLabel*>()) texts << label->text();
        return texts;
    };
    auto dialogTexts = [&labels](QMessageBox* box) {
        QStringList texts = labels(box);
        texts << box->windowHandle()->title();
        return texts;
    };
    auto picker = [](Screen& screen) {
        auto* button = screen.window->findChild<QToolButton*>("cardPicker");
        QStringList texts{shownActionText(button->text())};
        screen.window->findChild<QMenu*>("cardMenu")->aboutToShow();
        for (auto* action : screen.window->findChild<QMenu*>("cardMenu")->actions())
            texts << shownActionText(action->text());
        return texts;
    };
    const std::vector<Channel> channels{
        {"host name",
         [&](Screen& screen, const std::string& text) {
             Lease lease = device();
             lease.hostname = text;
             runWith(screen, lease);
         },
         [&](Screen& screen) {
             QStringList texts = labels(screen.window->findChild<QWidget*>("deviceCard"));
             for (const auto& row : screen.tableRows()) texts << QString::fromStdString(row[1]);
             return texts;
         },
         [](Screen&, const std::string& text) { return text; }},
        {"vendor class",
         [&](Screen& screen, const std::string& text) {
             Lease lease = device();
             lease.vendorClass = text;
             runWith(screen, lease);
         },
         [&](Screen& screen) { return labels(screen.window->findChild<QWidget*>("deviceCard")); },
         [](Screen&, const std::string& text) { return text; }},
        {"card display name",
         [](Screen& screen, const std::string& text) {
             NetworkCard card = benchCard();
             card.displayName = text;
             card.isPrimary = true;  // its check then names it
             screen.hostCards = {card};
             screen.model->refreshCards();
         },
         [&](Screen& screen) {
             QStringList texts = picker(screen) + labels(screen.window->findChild<QWidget*>("checklistPanel"));
             for (auto* mark : screen.window->findChildren<QLabel*>("checkMark")) texts << plainOf(mark->toolTip());
             screen.window->openSettings();
             texts << screen.window->settingsDialog()->findChild<QLabel*>("adapterState")->text();
             return texts;
         },
         [](Screen&, const std::string& text) { return "eth9 \u00b7 " + text; }},
        // Such a name is never offered as a bench card, but a notice still names the card it is about.
        {"card name",
         [&](Screen& screen, const std::string& text) {
             NetworkCard card = benchCard();
             card.bsdName = "eth" + text;
             screen.hostCards = {card};
             screen.model->refreshCards();
             screen.model->state.raise(Notice::linkDown("eth" + text));
         },
         [&](Screen& screen) { return picker(screen) + labels(screen.window->findChild<QWidget*>("bannerStack")); },
         [](Screen&, const std::string& text) { return Notice::linkDown("eth" + text).message; }},
        {"profile name",
         [](Screen& screen, const std::string& text) {
             NetworkCard card = benchCard();
             card.serviceName = text;
             screen.hostCards = {card};
             screen.model->refreshCards();
             screen.settle();
             screen.model->requestConfigureAdapter();
         },
         // The question is the dialog's title too, shown as the window manager gets it.
         [](Screen& screen) { return QStringList{screen.dialog("pendingCommandDialog")->windowHandle()->title()}; },
         [](Screen&, const std::string& text) { return "Configure " + text + " as 192.168.0.1/24?"; }},
        {"port 67 holder",
         [](Screen& screen, const std::string& text) { screen.model->state.raise(Notice::portInUse(text)); },
         [&](Screen& screen) { return labels(screen.window->findChild<QWidget*>("bannerStack")); },
         [](Screen& screen, const std::string&) {
             return screen.model->state.notices.at(NoticeKind::portInUse).message;
         }},
        {"error text",
         [](Screen& screen, const std::string& text) {
             ModelStaging::error(*screen.model, "Could not use " + text, "ip link set " + text + " up");
         },
         [&](Screen& screen) { return dialogTexts(screen.dialog("errorAlert")); },
         [](Screen&, const std::string& text) {
             return "Could not use " + text + "\n\nYou can run this in Terminal instead:\nip link set " + text + " up";
         }},
        {"option value in the log",
         [](Screen& screen, const std::string& text) {
             screen.model->appendLog("RX REQUEST " + text, LogLine::Kind::rx);
         },
         [](Screen& screen) {
             QStringList texts;
             auto* view = screen.window->findChild<QListView*>("logView");
             for (int row = 0; row < view->model()->rowCount(); ++row)
                 texts << view->model()->index(row, 0).data().toString();
             return texts;
         },
         [](Screen&, const std::string& text) { return "RX REQUEST " + text; }},
    };
    for (const auto& channel : channels) {
        for (const auto& markup : markups) {
            SCOPED_TRACE(std::string(channel.name) + ": " + markup);
            Screen screen;
            channel.feed(screen, markup);
            screen.settle();
            // Paint every window, dialogs included: a label taking the text for markup would load
            // its images here.
            for (auto* top : QApplication::topLevelWidgets())
                if (top->isVisible()) top->grab();
            bool answered = false;
            QTimer::singleShot(0, [&answered] { answered = true; });
            for (int round = 0; round < 100 && !answered; ++round) QCoreApplication::processEvents();
            EXPECT_TRUE(answered);

            QStringList shown = channel.shown(screen);
            QString expected = QString::fromStdString(channel.expected(screen, markup));
            EXPECT_TRUE(shown.contains(expected)) << expected.toStdString() << " not in "
                                                  << shown.join(" | ").toStdString();
            for (auto* widget : QApplication::allWidgets()) {
                auto* label = qobject_cast<QLabel*>(widget);
                if (label && label->text().contains(QString::fromStdString(markup))) {
                    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
                }
            }
            ModelStaging::running(*screen.model, std::nullopt);
            if (auto* sheet = screen.window->settingsDialog()) sheet->reject();
        }
    }
}

// The computer's own internet connection is never offered a setting that would take its address.
TEST(Screens, TheInternetConnectionOffersNoAdapterCommand) {
    for (bool primary : {false, true}) {
        SCOPED_TRACE(primary ? "main internet connection" : "bench card");
        Screen screen;
        NetworkCard card = benchCard();
        card.isPrimary = primary;
        screen.hostCards = {card};
        screen.model->refreshCards();
        screen.settle();
        auto* checklist = screen.window->findChild<QWidget*>("checklistPanel");
        EXPECT_EQ(screen.button(checklist, "Configure adapter…") != nullptr, !primary);
        screen.window->openSettings();
        SettingsDialog* sheet = screen.window->settingsDialog();
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(screen.button(sheet, "Configure adapter…") != nullptr, !primary);
        EXPECT_EQ(screen.button(sheet, "Restore DHCP on adapter") != nullptr, !primary);
        sheet->reject();
    }
}

TEST(Screens, ColoursKeepTheirContrastOnLightAndDarkPalettes) {
    // WCAG contrast of two colours: 4.5 is the floor for text of ordinary size.
    auto luminance = [](const QColor& colour) {
        auto channel = [](double value) {
            return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
    };
    auto contrast = [&](const QColor& a, const QColor& b) {
        double x = luminance(a), y = luminance(b);
        return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
    };
    QPalette light(QColor("#efefef"), QColor("#efefef"));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    QPalette dark(QColor("#353535"), QColor("#353535"));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor("#2a2a2a"));
    for (const auto& [name, palette] : {std::pair{"light", light}, std::pair{"dark", dark}}) {
        SCOPED_TRACE(name);
        for (QPalette::ColorRole ground : {QPalette::Window, QPalette::Base}) {
            for (auto status : {PreflightCheck::Status::pass, PreflightCheck::Status::warn, PreflightCheck::Status::fail})
                EXPECT_GE(contrast(statusColour(status, palette), palette.color(ground)), 4.5) << static_cast<int>(status);
            for (auto kind : {LogLine::Kind::rx, LogLine::Kind::tx, LogLine::Kind::presence, LogLine::Kind::notice})
                EXPECT_GE(contrast(logColour(kind, palette), palette.color(ground)), 4.5) << static_cast<int>(kind);
        }
        EXPECT_GE(contrast(secondaryText(palette), palette.color(QPalette::Window)), 4.5);
        for (bool critical : {true, false}) {
            auto banner = bannerColours(critical, palette);
            EXPECT_GE(contrast(banner.text, banner.background), 7.0) << critical;
        }
    }
}

// ANVIL_TEST_SCREEN=1366x768 gives the offscreen platform one screen of that size, scaled by
// QT_SCALE_FACTOR as a desktop would; without it, the platform's own screen. Another platform (xcb on
// an X server of that size) keeps its screen.
int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    fs::path screenFile;
    int width = 0, height = 0;
    const char* size = std::getenv("ANVIL_TEST_SCREEN");
    if (size && std::string_view(std::getenv("QT_QPA_PLATFORM")).starts_with("offscreen") &&
        std::sscanf(size, "%dx%d", &width, &height) == 2) {
        screenFile = fs::temp_directory_path() / ("anvil-screen-" + std::to_string(::getpid()) + ".json");
        if (FILE* file = std::fopen(screenFile.c_str(), "w")) {
            std::fprintf(file, R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": %d, "height": %d}]})", width,
                         height);
            std::fclose(file);
        }
        ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screenFile.string()).c_str(), 1);
    }
    QApplication application(argc, argv);
    if (!screenFile.empty()) fs::remove(screenFile);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

TEST(Screens, AChangeRedrawsOnlyThePanelsThatShowIt) {
    using Panel = MainWindow::Panel;
    using Part = ModelChange;
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.101", Date{1'700'003'600})});
    ModelStaging::running(*screen.model, screen.clock);
    screen.model->state.runStarted("eth9");
    screen.settle();
    Lease lease = storedLease("aa:00:00:00:00:02", "192.168.0.102", Date{1'700'003'600});
    PacketSummary discover;
    discover.type = DHCPMessageType::discover;
    discover.mac = lease.mac;
    const std::vector<Panel> panels{Panel::toolbar, Panel::checkStrip, Panel::banners, Panel::checklist,
                                    Panel::device,  Panel::leases,     Panel::cable,   Panel::log,
                                    Panel::dialogs};
    Neighbour device;
    device.mac = *MACAddress::parse("aa:00:00:00:00:09");
    device.claims = {*IPv4Address::parse("192.168.88.1")};
    struct Case {
        const char* name;
        std::function<void()> act;
        std::vector<Panel> redrawn;
    };
    const std::vector<Case> cases{
        {"a log line", [&] { screen.model->appendLog("INFO", LogLine::Kind::other); }, {Panel::log}},
        {"a received packet", [&] { screen.model->handle(ServerEvent::received(discover)); },
         {Panel::toolbar, Panel::device, Panel::log}},
        {"a lease", [&] { screen.model->handle(ServerEvent::leaseChanged(lease)); },
         {Panel::device, Panel::leases, Panel::cable, Panel::log}},
        // Several a second while a boot file is on its way: the device card alone follows it.
        {"a transfer's progress",
         [&] {
             screen.model->handle(
                 ServerEvent::tftpProgress(1, lease.ip, lease.mac, "vmlinuz", 65536, std::uint64_t{524288}));
         },
         {Panel::device, Panel::log}},
        {"a device on the cable",
         [&] { screen.model->handle(ServerEvent::neighbour(NeighbourChange::seen, device)); },
         {Panel::device, Panel::cable, Panel::log}},
        {"a notice", [&] { screen.model->dismiss(NoticeKind::linkDown); }, {Panel::banners}},
        {"a question", [&] { screen.model->requestClearExpired(); }, {Panel::dialogs}},
        {"the clock", [&] { screen.window->render(Part::clock); }, {Panel::device, Panel::leases, Panel::cable}},
    };
    for (const auto& each : cases) {
        std::vector<int> before;
        for (auto panel : panels) before.push_back(screen.window->renders(panel));
        each.act();
        // Only what the change scheduled: no full redraw as settle() does.
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        for (std::size_t i = 0; i < panels.size(); ++i) {
            bool expected =
                std::find(each.redrawn.begin(), each.redrawn.end(), panels[i]) != each.redrawn.end();
            EXPECT_EQ(screen.window->renders(panels[i]) > before[i], expected) << each.name << ", panel " << i;
            EXPECT_LE(screen.window->renders(panels[i]) - before[i], 1) << each.name << ": one redraw per change";
        }
    }
    screen.model->cancelClearExpired();
    ModelStaging::running(*screen.model, std::nullopt);
}

TEST(Screens, LeaseRowsFollowEachChangeInDisplayOrderKeepingTheirIdentity) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.101", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.102", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:03", "192.168.0.103", Date{1'700'003'600})});
    auto* table = screen.window->findChild<QTableView*>("leaseTable");
    int resets = 0;
    int widestChange = 0;
    QObject::connect(table->model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(table->model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         widestChange = std::max(widestChange, to.row() - from.row() + 1);
                     });
    auto select = [&](const char* address) {
        for (int row = 0; row < table->model()->rowCount(); ++row)
            if (table->model()->index(row, LeaseTableModel::address).data() == address) table->selectRow(row);
    };
    auto selected = [table] {
        auto rows = table->selectionModel()->selectedRows(LeaseTableModel::address);
        return rows.size() == 1 ? rows[0].data().toString().toStdString() : std::string("none");
    };
    auto displayOrder = [&screen] {
        std::vector<std::string> addresses;
        for (const auto& lease : screen.model->sortedLeases()) addresses.push_back(lease.ip.description());
        return addresses;
    };
    select("192.168.0.102");
    ASSERT_EQ(selected(), "192.168.0.102");

    Lease moved = storedLease("aa:00:00:00:00:02", "192.168.0.102", Date{1'700'003'600});
    moved.hostname = "renamed";
    struct Case {
        const char* name;
        ServerEvent event;
        std::string selectedAfter;
    };
    const std::vector<Case> cases{
        {"a lease changes in place", ServerEvent::leaseChanged(moved), "192.168.0.102"},
        {"a new lease joins before it", ServerEvent::leaseChanged(storedLease("aa:00:00:00:00:04", "192.168.0.100",
                                                                              Date{1'700'003'600})),
         "192.168.0.102"},
        {"its device answers and moves up",
         ServerEvent::presence(moved.ip, moved.mac, PresenceState::online, "ARP"), "192.168.0.102"},
        {"another device conflicts",
         ServerEvent::presence(*IPv4Address::parse("192.168.0.103"), *MACAddress::parse("aa:00:00:00:00:03"),
                               PresenceState::conflict, "ARP"),
         "192.168.0.102"},
        {"another lease leaves", ServerEvent::leaseRemoved(*MACAddress::parse("aa:00:00:00:00:01")), "192.168.0.102"},
    };
    for (const auto& each : cases) {
        widestChange = 0;
        screen.model->handle(each.event);
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        EXPECT_EQ(screen.tableAddresses(), displayOrder()) << each.name;
        EXPECT_EQ(selected(), each.selectedAfter) << each.name;
        EXPECT_LE(widestChange, 1) << each.name << ": only the changed row is redrawn";
    }
    EXPECT_EQ(resets, 0);
    EXPECT_EQ(screen.tableRows()[0][LeaseTableModel::hostName], "renamed");
}

namespace {

TEST(Screens, ABootFileOnItsWayShowsItsBarItsRowAndThenItsResult) {
    Screen screen;
    ModelStaging::running(*screen.model, screen.clock);
    screen.model->state.runStarted("eth9");
    Lease lease = storedLease("aa:00:00:00:00:07", "192.168.0.100", screen.clock.addingSeconds(3600));
    screen.model->state.leases[lease.mac] = lease;
    screen.model->state.deviceFound = lease;
    screen.settle();
    auto* bar = screen.window->findChild<QProgressBar*>("transferProgress");
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(screen.window->findChild<QWidget*>("transfer")->isVisibleTo(screen.window.get()))
        << "no boot, no room taken";

    const std::uint64_t mebibyte = 1024 * 1024;
    struct Step {
        const char* what;
        ServerEvent event;
        bool barShown;
        int percent;          // -1: size unknown, the bar only moves
        std::string file;     // the file line, when the bar shows
        std::string leaseCell;
        std::string result;   // the last result line, when one shows
    };
    const Step steps[] = {
        {"asked", ServerEvent::tftpRequested(1, lease.ip, 2070, lease.mac, "ipxe.efi", "tsize=0"), true, -1,
         "TFTP ipxe.efi \u00b7 0 B", "bound \u00b7 TFTP ipxe.efi 0 B", ""},
        {"under way", ServerEvent::tftpProgress(1, lease.ip, lease.mac, "ipxe.efi", 450, 1000), true, 45,
         "TFTP ipxe.efi \u00b7 450 B of 1000 B", "bound \u00b7 TFTP ipxe.efi 45 %", ""},
        {"sent", ServerEvent::tftpFinished(1, lease.ip, lease.mac, "ipxe.efi", mebibyte, 2.0), false, 0, "", "bound",
         "Last boot file: Sent ipxe.efi: 1.0 MiB in 2.0 s"},
        // The client's name reaches no label as markup and no cell as control bytes.
        {"a hostile name", ServerEvent::tftpProgress(2, lease.ip, lease.mac, "<b>x</b>\x1b[2J", 1, 4), true, 25,
         "TFTP <b>x</b>\\x1b[2J \u00b7 1 B of 4 B", "bound \u00b7 TFTP <b>x</b>\\x1b[2J 25 %",
         "Last boot file: Sent ipxe.efi: 1.0 MiB in 2.0 s"},
        {"refused", ServerEvent::tftpFailed(2, lease.ip, lease.mac, "<b>x</b>\x1b[2J", TFTPFailureReason::notInFolder, ""),
         false, 0, "", "bound", "Last boot file: <b>x</b>\\x1b[2J failed: not in the boot folder"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        screen.model->handle(step.event);
        screen.settle();
        EXPECT_EQ(bar->isVisibleTo(screen.window.get()), step.barShown);
        auto* file = screen.window->findChild<QLabel*>("transferFile");
        EXPECT_EQ(file->textFormat(), Qt::PlainText);
        if (step.barShown) {
            EXPECT_EQ(file->text().toStdString(), step.file);
            EXPECT_EQ(bar->maximum(), step.percent < 0 ? 0 : 100);
            if (step.percent >= 0) {
                EXPECT_EQ(bar->value(), step.percent);
            }
        }
        auto* result = screen.window->findChild<QLabel*>("transferResult");
        EXPECT_EQ(result->isVisibleTo(screen.window.get()), !step.result.empty());
        if (!step.result.empty()) {
            EXPECT_EQ(result->text().toStdString(), step.result);
        }
        EXPECT_EQ(screen.tableRows().at(0).at(LeaseTableModel::lease), step.leaseCell);
    }

    screen.model->handle(ServerEvent::noticeRaised(Notice::bootFileMissing("ipxe.efi", "/srv/boot")));
    screen.settle();
    QCoreApplication::processEvents();
    EXPECT_EQ(screen.bannerKinds(), std::vector<std::string>{"bootFileMissing"});
    auto* message = screen.window->findChild<QLabel*>("bannerMessage");
    EXPECT_EQ(message->text(), "Device asked for boot file ipxe.efi, which is not in the boot folder /srv/boot");
    ModelStaging::running(*screen.model, std::nullopt);
}

TEST(Screens, NetworkBootSettingsAreSavedAndReopenAsTyped) {
    Screen screen;
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    auto* enabled = sheet->findChild<QCheckBox*>("bootEnabled");
    auto* folder = sheet->findChild<QLineEdit*>("bootFolder");
    EXPECT_FALSE(enabled->isChecked()) << "off until asked for";
    EXPECT_FALSE(folder->isEnabled());

    // On with no folder: refused where the boot settings are, nothing stored.
    enabled->setChecked(true);
    EXPECT_TRUE(folder->isEnabled());
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(screen.model->settingsOpen());
    EXPECT_EQ(sheet->findChild<QLabel*>("bootError")->text(), "Choose the folder to serve boot files from.");
    EXPECT_EQ(screen.settings->values.count("serverConfig"), 0u);

    QTest::keyClicks(folder, "/srv/boot");
    QTest::keyClicks(sheet->findChild<QLineEdit*>("bootFileForAll"), "ipxe.efi");
    QTest::keyClicks(sheet->findChild<QLineEdit*>("bootFile-bios"), "undionly.kpxe");
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_FALSE(screen.model->settingsOpen());
    BootConfig expected{"/srv/boot", "ipxe.efi", {{BootKind::bios, "undionly.kpxe"}}, defaultBlockSizeCeiling};
    EXPECT_EQ(screen.model->config().boot, expected);
    EXPECT_NE(screen.settings->values.at("serverConfig").find(R"("folder":"/srv/boot")"), std::string::npos);

    // Reopened: the same values in the same fields; turned off, the server gets no boot but the names wait.
    screen.window->openSettings();
    sheet = screen.window->settingsDialog();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->findChild<QCheckBox*>("bootEnabled")->isChecked());
    EXPECT_EQ(sheet->findChild<QLineEdit*>("bootFolder")->text(), "/srv/boot");
    EXPECT_EQ(sheet->findChild<QLineEdit*>("bootFile-bios")->text(), "undionly.kpxe");
    EXPECT_EQ(sheet->findChild<QLineEdit*>("bootFile-rpi")->text(), "");
    EXPECT_EQ(sheet->form().config()->boot, expected);
    sheet->findChild<QCheckBox*>("bootEnabled")->setChecked(false);
    QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(screen.model->config().boot, std::nullopt);
}

}  // namespace

TEST(Screens, DevicesOnTheCableShowUnderTheLeasesAsTextWithTheirBannerActions) {
    Screen screen;
    auto* section = screen.window->findChild<QWidget*>("cableSection");
    ASSERT_TRUE(section);
    EXPECT_TRUE(section->isHidden());

    Neighbour device;
    device.mac = *MACAddress::parse("02:00:00:00:00:42");
    device.claims = {*IPv4Address::parse("10.1.1.1")};
    device.maker = "<img src=/dev/zero>";
    device.lldp = LLDPIdentity{};
    device.lldp->systemName = "<b>x</b>";
    device.lastSeen = Date{1'699'999'970};
    screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::seen, device), device.lastSeen);
    // One that holds a lease is not repeated here.
    Neighbour holder = device;
    holder.mac = *MACAddress::parse("02:00:00:00:00:43");
    holder.holdsLease = true;
    screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::seen, holder), device.lastSeen);
    screen.model->state.raise(Notice::neighbourAdvice(
        NeighbourAdvice{NeighbourAdvice::Kind::reachIt, device.claims[0], {*IPv4Address::parse("10.1.1.254"), 24}}, device));
    screen.settle();
    QCoreApplication::processEvents();

    EXPECT_FALSE(section->isHidden());
    auto* table = screen.window->findChild<QTableView*>("cableTable")->model();
    auto cells = [table] {
        std::vector<std::vector<std::string>> rows;
        for (int row = 0; row < table->rowCount(); ++row) {
            rows.emplace_back();
            for (int column = 0; column < table->columnCount(); ++column)
                rows.back().push_back(table->index(row, column).data().toString().toStdString());
        }
        return rows;
    };
    EXPECT_EQ(cells(), (std::vector<std::vector<std::string>>{
                           {"10.1.1.1", "02:00:00:00:00:42", "<img src=/dev/zero>", "<b>x</b>", "30 s ago"}}));

    // Seen again with another address: the same row changes in place, nothing starts over.
    int resets = 0, inserted = 0;
    QObject::connect(table, &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(table, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });
    Neighbour moved = device;
    moved.claims.push_back(*IPv4Address::parse("10.1.1.2"));
    moved.lastSeen = screen.clock;
    screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::changed, moved), moved.lastSeen);
    screen.settle();
    EXPECT_EQ(cells(), (std::vector<std::vector<std::string>>{
                           {"10.1.1.2, 10.1.1.1", "02:00:00:00:00:42", "<img src=/dev/zero>", "<b>x</b>", "0 s ago"}}));
    EXPECT_EQ(resets + inserted, 0);

    auto* banner = screen.window->findChild<QWidget*>("bannerStack")->findChild<QWidget*>("banner");
    ASSERT_TRUE(banner);
    // It says which address it would add before anything is asked.
    auto* reach = banner->findChild<QPushButton*>("bannerReach");
    EXPECT_FALSE(reach->isHidden());
    ASSERT_TRUE(screen.model->reachAddress(device.mac));
    EXPECT_EQ(reach->text().toStdString(), "Reach it (add " + screen.model->reachAddress(device.mac)->cidr() + ")");
    EXPECT_TRUE(banner->findChild<QPushButton*>("bannerStopReaching")->isHidden());
    EXPECT_TRUE(banner->findChild<QPushButton*>("bannerServeFile")->isHidden());

    // With no lease on the cable, the one device that never asks takes the device card's place.
    DevicePanel panel(*screen.model);
    panel.render(ModelChange::everything());
    auto* card = panel.findChild<QWidget*>("neighbourCard");
    ASSERT_TRUE(card);
    EXPECT_FALSE(card->isHidden());
    auto* details = panel.findChild<QLabel*>("neighbourDetails");
    EXPECT_EQ(details->textFormat(), Qt::PlainText);
    EXPECT_EQ(details->text().toStdString(),
              "Addresses: 10.1.1.1, 10.1.1.2\nHardware address: 02:00:00:00:00:42\nMaker: <img src=/dev/zero>\nName: "
              "<b>x</b>");
    // A second such device: no card picks one of them.
    Neighbour other = device;
    other.mac = *MACAddress::parse("02:00:00:00:00:44");
    screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::seen, other), device.lastSeen);
    panel.render(ModelChange::everything());
    EXPECT_TRUE(card->isHidden());
}

// "Reach it" runs nothing until the question naming the address and the card is answered; the card's
// name is outside text.
TEST(Screens, TheBannersReachItAsksForTheAddressAndCancelRunsNothing) {
    Screen screen;
    screen.plugInCard();
    screen.hostCards[0].bsdName = "<b>e</b>9";
    screen.model->refreshCards();
    screen.settle();
    screen.model->select("<b>e</b>9");
    screen.settle();
    ASSERT_EQ(screen.model->selectedCardID(), "<b>e</b>9");
    Neighbour device;
    device.mac = *MACAddress::parse("02:00:00:00:00:42");
    device.claims = {*IPv4Address::parse("10.1.1.1")};
    screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::seen, device), screen.clock);
    screen.model->state.raise(Notice::neighbourAdvice(
        NeighbourAdvice{NeighbourAdvice::Kind::reachIt, device.claims[0], {*IPv4Address::parse("10.1.1.254"), 24}},
        device));
    screen.settle();

    auto* banner = screen.window->findChild<QWidget*>("bannerStack")->findChild<QWidget*>("banner");
    ASSERT_TRUE(banner);
    screen.click(banner->findChild<QPushButton*>("bannerReach"));
    auto* box = screen.dialog("addAddressDialog");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowTitle(), "Add 10.1.1.254/24 to <b>e</b>9?");
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->text(), "Add 10.1.1.254/24 to <b>e</b>9?");
    EXPECT_EQ(box->findChild<QLabel*>("qt_msgbox_informativelabel")->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->informativeText(), "DHCP Anvil will run:\n\nip address add 10.1.1.254/24 dev '<b>e</b>9'");

    screen.click(box->findChild<QPushButton*>("cancelButton"));
    EXPECT_FALSE(screen.dialog("addAddressDialog"));
    EXPECT_FALSE(screen.model->addressQuestion());
    // Running anything would have failed here: this environment cannot add addresses.
    EXPECT_FALSE(screen.model->lastError()) << *screen.model->lastError();
}

// Enter on a lease row shows its details, Delete forgets it after asking, Ctrl+F types into the log's
// filter: no pointer needed.
TEST(Screens, TheKeyboardReachesTheLeaseRowsAndTheLogFilter) {
    Screen screen({storedLease("aa:00:00:00:00:01", "192.168.0.100", Date{1'700'003'600}),
                   storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'700'003'600})});
    screen.window->show();
    screen.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(screen.window.get()));
    auto* table = screen.window->findChild<QTableView*>("leaseTable");
    table->setFocus();
    for (int row = 0; row < table->model()->rowCount(); ++row)
        if (table->model()->index(row, LeaseTableModel::address).data() == "192.168.0.101")
            table->setCurrentIndex(table->model()->index(row, 0));

    QTest::keyClick(table, Qt::Key_Return);
    QMessageBox* details = screen.dialog("leaseDetailsDialog");
    ASSERT_TRUE(details);
    EXPECT_EQ(details->text(), "192.168.0.101");
    EXPECT_EQ(details->textFormat(), Qt::PlainText);
    EXPECT_TRUE(details->informativeText().contains(
        "Hardware address: aa:00:00:00:00:02\nHost name: \u2014\nMaker: Bench Maker"))
        << details->informativeText().toStdString();
    details->close();
    screen.settle();

    QTest::keyClick(table, Qt::Key_Delete);
    EXPECT_EQ(screen.model->confirmForget(), MACAddress::parse("aa:00:00:00:00:02"));
    screen.settle();
    QMessageBox* question = screen.dialog("forgetLeaseDialog");
    ASSERT_TRUE(question) << "Delete asks first";
    screen.click(question->findChild<QPushButton*>("cancelButton"));
    EXPECT_EQ(screen.tableAddresses().size(), 2u);

    screen.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(screen.window.get()));
    QTest::keyClick(screen.window.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(screen.window->findChild<QLineEdit*>("logFilter")->hasFocus());
    // Alt+C opens the card menu, which waits for a choice: close it unchosen.
    QString opened;
    QTimer::singleShot(50, [&opened] {
        if (auto* popup = QApplication::activePopupWidget()) {
            opened = popup->objectName();
            popup->close();
        }
    });
    QTest::keyClick(screen.window.get(), Qt::Key_C, Qt::AltModifier);
    QTest::qWait(100);
    EXPECT_EQ(opened, "cardMenu");
    EXPECT_TRUE(screen.window->findChild<QToolButton*>("cardPicker")->hasFocus());
}

// A column sorts the rows by what it shows; the columns' order, widths and sorting outlive the window.
TEST(Screens, LeaseColumnsSortByTheChosenColumnAndAreRememberedAcrossLaunches) {
    const std::vector<Lease> stored{storedLease("aa:00:00:00:00:03", "192.168.0.100", Date{1'700'003'600}),
                                    storedLease("aa:00:00:00:00:01", "192.168.0.102", Date{1'700'003'600}),
                                    storedLease("aa:00:00:00:00:02", "192.168.0.101", Date{1'700'003'600})};
    Screen first(stored);
    auto* view = first.window->findChild<QTableView*>("leaseTable");
    auto* header = view->horizontalHeader();
    auto macs = [](Screen& screen) {
        std::vector<std::string> shown;
        for (const auto& row : screen.tableRows()) shown.push_back(row[LeaseTableModel::hardware].substr(15));
        return shown;
    };
    EXPECT_EQ(first.tableAddresses(), (std::vector<std::string>{"192.168.0.100", "192.168.0.101", "192.168.0.102"}));
    view->sortByColumn(LeaseTableModel::hardware, Qt::AscendingOrder);
    EXPECT_EQ(macs(first), (std::vector<std::string>{"01", "02", "03"}));
    view->sortByColumn(LeaseTableModel::address, Qt::DescendingOrder);
    EXPECT_EQ(first.tableAddresses(), (std::vector<std::string>{"192.168.0.102", "192.168.0.101", "192.168.0.100"}));
    header->resizeSection(LeaseTableModel::hostName, 231);
    header->moveSection(header->visualIndex(LeaseTableModel::maker), 1);
    first.window->close();

    Screen second(stored, [&](AppModel::Environment& env) { env.settings = first.settings; });
    auto* again = second.window->findChild<QTableView*>("leaseTable")->horizontalHeader();
    EXPECT_EQ(again->sectionSize(LeaseTableModel::hostName), 231);
    EXPECT_EQ(again->visualIndex(LeaseTableModel::maker), 1);
    EXPECT_EQ(again->sortIndicatorSection(), LeaseTableModel::address);
    EXPECT_EQ(again->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(second.tableAddresses(), (std::vector<std::string>{"192.168.0.102", "192.168.0.101", "192.168.0.100"}));
}

namespace {

// The laptop screens run where ANVIL_TEST_SCREEN gave the platform a laptop's screen.
bool onLaptopScreen() { return std::getenv("ANVIL_TEST_SCREEN") != nullptr; }

// Where a widget lies on the screen.
QRect onScreen(const QWidget* widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); }

void showAndWait(QWidget* widget) {
    widget->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
}

}  // namespace

// Two banners, five leases, two devices on the cable and the log, all on one laptop screen.
TEST(LaptopScreen, TheDashboardShowsBannersLeasesCableDevicesAndTheLogInsideTheScreen) {
    if (!onLaptopScreen()) GTEST_SKIP() << "set ANVIL_TEST_SCREEN";
    std::vector<Lease> stored;
    for (int i = 0; i < 5; ++i) {
        Lease lease = storedLease(("aa:00:00:00:00:1" + std::to_string(i)).c_str(),
                                  ("192.168.0." + std::to_string(100 + i)).c_str(), Date{1'700'003'600});
        lease.hostname = "bench-device-" + std::to_string(i);
        stored.push_back(lease);
    }
    Screen screen(stored);
    ModelStaging::running(*screen.model, screen.clock);
    screen.model->state.runStarted("eth9");
    screen.model->state.deviceFound = stored[0];
    // One device with a fixed address of another network, one recovery loader asking for its server.
    Neighbour fixed;
    fixed.mac = *MACAddress::parse("66:9f:ca:70:7e:c1");
    fixed.claims = {*IPv4Address::parse("192.168.1.10")};
    fixed.maker = "locally administered";
    fixed.lldp = LLDPIdentity{};
    fixed.lldp->systemName = "bench-switch";
    fixed.lldp->model = "GS108";
    fixed.lastSeen = screen.clock;
    Neighbour loader;
    loader.mac = *MACAddress::parse("02:00:00:00:00:51");
    loader.asksFor = {{*IPv4Address::parse("192.168.1.1"), 5}};
    loader.lastSeen = screen.clock;
    for (const auto& device : {fixed, loader})
        screen.model->state.apply(ServerEvent::neighbour(NeighbourChange::seen, device), screen.clock);
    screen.model->state.raise(Notice::neighbourAdvice(
        NeighbourAdvice{NeighbourAdvice::Kind::reachIt, fixed.claims[0], {*IPv4Address::parse("192.168.1.254"), 24}},
        fixed));
    screen.model->state.raise(Notice::neighbourAdvice(NeighbourAdvice{NeighbourAdvice::Kind::recoveryLoader,
                                                                      *IPv4Address::parse("192.168.1.1"),
                                                                      {*IPv4Address::parse("192.168.1.1"), 24}},
                                                      loader));
    for (int i = 0; i < 60; ++i) screen.model->appendLog("RX DISCOVER line " + std::to_string(i), LogLine::Kind::rx);
    screen.model->appendLog("the last line", LogLine::Kind::notice);
    screen.settle();
    showAndWait(screen.window.get());
    screen.settle();
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
    ASSERT_EQ(screen.bannerKinds().size(), 2u);

    QRect screenArea = screen.window->screen()->availableGeometry();
    EXPECT_TRUE(screenArea.contains(screen.window->frameGeometry()))
        << screen.window->frameGeometry().height() << " px high on " << screenArea.height();

    auto* leases = screen.window->findChild<QTableView*>("leaseTable");
    ASSERT_EQ(leases->model()->rowCount(), 5);
    for (int row = 0; row < 4; ++row)
        EXPECT_TRUE(leases->viewport()->rect().contains(leases->visualRect(leases->model()->index(row, 0))))
            << "lease row " << row << " in a view " << leases->viewport()->height() << " px high";
    for (int column = 0; column < LeaseTableModel::columns; ++column)
        EXPECT_LE(leases->horizontalHeader()->sectionSize(column), leases->viewport()->width() / 2) << column;

    auto* log = screen.window->findChild<QListView*>("logView");
    QModelIndex last = log->model()->index(log->model()->rowCount() - 1, 0);
    ASSERT_EQ(last.data().toString(), "the last line");
    EXPECT_TRUE(log->viewport()->rect().contains(log->visualRect(last)))
        << "the log's last line in a view " << log->viewport()->height() << " px high";

    auto* cable = screen.window->findChild<QTableView*>("cableTable");
    ASSERT_EQ(cable->model()->rowCount(), 2);
    EXPECT_TRUE(cable->isVisible());
    auto* header = cable->horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        QString title = header->model()->headerData(column, Qt::Horizontal).toString();
        EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column)) << title.toStdString() << " is cut";
        EXPECT_LE(header->sectionViewportPosition(column) + header->sectionSize(column), header->viewport()->width())
            << title.toStdString() << " runs past the table's edge";
    }
    EXPECT_LT(header->sectionSize(CableTableModel::seen), header->viewport()->width() / 4);
    if (const char* folder = std::getenv("ANVIL_SCREEN_GRABS"))
        screen.window->grab().save(QString(folder) + "/dashboard.png");
}

// The settings sheet keeps Save and Cancel on the screen, with and without a message under a field,
// and every group can be scrolled into view.
TEST(LaptopScreen, TheSettingsSheetKeepsSaveAndCancelOnTheScreenAndReachesEveryGroup) {
    if (!onLaptopScreen()) GTEST_SKIP() << "set ANVIL_TEST_SCREEN";
    Screen screen;
    showAndWait(screen.window.get());
    screen.window->openSettings();
    SettingsDialog* sheet = screen.window->settingsDialog();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    // Typing starts in the first field, so that Enter does not save a sheet nobody read.
    EXPECT_EQ(QApplication::focusWidget(), sheet->findChild<QLineEdit*>("serverIP"));
    // On with no folder: the message a save shows is the one that makes the sheet the tallest.
    sheet->findChild<QCheckBox*>("bootEnabled")->setChecked(true);
    auto* scroll = sheet->findChild<QScrollArea*>("settingsScroll");
    ASSERT_TRUE(scroll);
    QRect screenArea = sheet->screen()->availableGeometry();
    for (bool message : {false, true}) {
        SCOPED_TRACE(message ? "with a message" : "as opened");
        if (message) {
            QTest::mouseClick(sheet->findChild<QPushButton*>("saveButton"), Qt::LeftButton);
            for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
            auto* error = sheet->findChild<QLabel*>("bootError");
            ASSERT_TRUE(error->isVisible());
            EXPECT_TRUE(scroll->viewport()->rect().contains(
                QRect(error->mapTo(scroll->viewport(), QPoint(0, 0)), error->size())))
                << "the message is scrolled into view";
        }
        EXPECT_TRUE(screenArea.contains(sheet->frameGeometry()))
            << sheet->frameGeometry().height() << " px high on " << screenArea.height();
        for (const char* name : {"saveButton", "cancelButton"}) {
            auto* button = sheet->findChild<QPushButton*>(name);
            EXPECT_TRUE(button->isVisible()) << name;
            EXPECT_TRUE(screenArea.contains(onScreen(button))) << name;
            EXPECT_FALSE(scroll->isAncestorOf(button)) << name << " scrolls away";
        }
        int groups = 0;
        for (auto* group : sheet->findChildren<QGroupBox*>()) {
            if (!group->isVisibleTo(sheet)) continue;
            ++groups;
            scroll->ensureWidgetVisible(group, 0, 0);
            QCoreApplication::processEvents();
            QRect shown(group->mapTo(scroll->viewport(), QPoint(0, 0)), group->size());
            // Whole when it fits; a group taller than the view fills it.
            QRect view = scroll->viewport()->rect();
            EXPECT_TRUE(group->height() <= view.height() ? view.contains(shown) : shown.contains(view))
                << group->title().toStdString();
        }
        EXPECT_GE(groups, 4);
    }
    if (const char* folder = std::getenv("ANVIL_SCREEN_GRABS")) sheet->grab().save(QString(folder) + "/settings.png");
    sheet->reject();
}
