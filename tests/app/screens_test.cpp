// Screen behaviours on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <deque>
#include <filesystem>

#include "app/app_model.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/settings_dialog.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

struct Screen {
    fs::path folder = fs::temp_directory_path() / ("anvil-screens-" + std::to_string(::getpid()));
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::unique_ptr<AppModel> model;
    std::unique_ptr<MainWindow> window;

    Screen() {
        AppModel::Environment env;
        env.mainThread = [](AppModel::Task task) {
            QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
        };
        env.mainThreadAfter = [](double, AppModel::Task task) {
            QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
        };
        env.background = [](AppModel::Task task) { task(); };
        env.now = [] { return Date{1'700'000'000}; };
        env.listCards = [] { return std::vector<NetworkCard>{}; };
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

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
