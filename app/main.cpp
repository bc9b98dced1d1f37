// DHCPAnvilApp: the desktop application.
#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "app/app_model.hpp"
#include "app/ui/colours.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/qt_environment.hpp"
#include "core/host/standard_descriptors.hpp"

int main(int argc, char** argv) {
    anvil::StandardDescriptors::reserve();
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
    return application.exec();
}
