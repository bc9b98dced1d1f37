#include "app/ui/qt_environment.hpp"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QSettings>
#include <QTimer>
#include <QUrl>

namespace anvil {

namespace {

class QtSettingsStore : public SettingsStore {
public:
    std::optional<std::string> value(const std::string& key) const override {
        QVariant stored = settings_.value(QString::fromStdString(key));
        if (!stored.isValid()) return std::nullopt;
        return stored.toString().toStdString();
    }
    void setValue(const std::string& key, const std::string& value) override {
        settings_.setValue(QString::fromStdString(key), QString::fromStdString(value));
    }
    void remove(const std::string& key) override { settings_.remove(QString::fromStdString(key)); }

private:
    mutable QSettings settings_{"DHCP Anvil", "DHCP Anvil"};
};

}  // namespace

std::shared_ptr<SettingsStore> makeQtSettingsStore() { return std::make_shared<QtSettingsStore>(); }

void postToMainThread(std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
}

AppModel::Environment qtSystemEnvironment(std::shared_ptr<SettingsStore> settings) {
    return AppModel::Environment::system(
        postToMainThread,
        [](double seconds, AppModel::Task task) {
            // Scheduling must happen on the main thread, where the timer lives.
            postToMainThread([seconds, task = std::move(task)] {
                QTimer::singleShot(static_cast<int>(seconds * 1000), qApp, task);
            });
        },
        [](const std::string& url) { return QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); },
        std::move(settings));
}

}  // namespace anvil
