// DHCPAnvilApp: the desktop application.
#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>

#include "app/app_model.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/qt_environment.hpp"

namespace {

// `--screenshots DIR`: saves the dashboard before Start, starts serving, waits for a device to be
// found with its lease row, saves the serving window, stops and quits. Used by scripts/screenshots.sh.
void driveScreenshots(anvil::AppModel& model, anvil::MainWindow& window, const QString& folder) {
    auto* poll = new QTimer(&window);
    auto* clock = new QElapsedTimer;
    clock->start();
    auto step = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, &window, [&model, &window, folder, poll, clock, step] {
        auto fail = [&](const char* why) {
            std::fprintf(stderr, "screenshots: %s\n", why);
            poll->stop();
            model.stop();
            QApplication::exit(1);
        };
        if (clock->elapsed() > 90'000) return fail("timed out");
        window.render();
        if (*step == 0 && model.phase == anvil::AppModel::Phase::ready && !model.checks.empty()) {
            window.grab().save(folder + "/dashboard.png");
            std::fprintf(stderr, "screenshots: dashboard saved\n");
            if (!model.canStart()) return fail("Start is not enabled on this card");
            model.start();
            if (!model.isRunning) return fail(model.lastError.value_or("start failed").c_str());
            *step = 1;
        } else if (*step == 1 && model.state.deviceFound && !model.sortedLeases().empty() &&
                   model.presence(*model.state.deviceFound)) {
            *step = 2;
            // One more redraw so that the table and the presence label are current.
            QTimer::singleShot(1500, &window, [&model, &window, folder, poll] {
                window.render();
                window.grab().save(folder + "/serving.png");
                std::fprintf(stderr, "screenshots: serving saved\n");
                poll->stop();
                model.stop();
                QApplication::exit(0);
            });
        }
    });
    poll->start(250);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName("DHCP Anvil");
    QApplication::setApplicationName("DHCP Anvil");
    QApplication::setDesktopFileName("dhcpanvil");
    QApplication::setWindowIcon(QIcon::fromTheme("dhcpanvil", QIcon(anvil::portIcon(256))));

    anvil::AppModel model(anvil::qtSystemEnvironment(anvil::makeQtSettingsStore()));
    anvil::MainWindow window(model);
    window.show();
    window.raise();
    window.activateWindow();
    QTimer::singleShot(0, &window, [&model] { model.bootstrap(); });
    auto arguments = QApplication::arguments();
    if (auto at = arguments.indexOf("--screenshots"); at > 0 && at + 1 < arguments.size())
        driveScreenshots(model, window, arguments.at(at + 1));
    return application.exec();
}
