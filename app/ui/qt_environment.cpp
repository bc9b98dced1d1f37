#include "app/ui/qt_environment.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

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

// Closes only on a regular file (or a link to one): a device node or a pipe would hand the loader
// endless or blocking bytes. A directory still opens as usual.
class RegularFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

protected:
    void accept() override {
        const auto files = selectedFiles();
        if (files.size() == 1) {
            QFileInfo info(files.front());
            if (info.exists() && !info.isDir() && !info.isFile()) return;
        }
        QFileDialog::accept();
    }
};

}  // namespace

std::function<void()> chooseFileInWindow(const std::string& title,
                                         std::function<void(std::optional<std::filesystem::path>)> chosen) {
    QWidget* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* main = qobject_cast<QMainWindow*>(top)) window = main;
    // Qt's own dialog on every desktop, so that the regular-file rule always holds.
    auto* dialog = new RegularFileDialog(window, plainWindowTitle(q(title)), QDir::homePath());
    dialog->setObjectName("chooseFileDialog");
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto answered = std::make_shared<bool>(false);
    QObject::connect(
        dialog, &QFileDialog::finished, dialog, [dialog, chosen = std::move(chosen), answered](int result) {
            if (*answered) return;
            *answered = true;
            std::optional<std::filesystem::path> file;
            const auto files = dialog->selectedFiles();
            if (result == QDialog::Accepted && files.size() == 1) {
                // The file itself: the server opens what it serves without following a link.
                QFileInfo info(files.front());
                if (info.isFile())
                    file = std::filesystem::path(QFile::encodeName(info.canonicalFilePath()).toStdString());
            }
            chosen(std::move(file));
        });
    // Modal to the window, but never a nested event loop: the window keeps drawing what the server reports.
    dialog->open();
    QPointer<QFileDialog> open(dialog);
    return [open, answered] {
        *answered = true;
        if (open) open->reject();
    };
}

std::shared_ptr<SettingsStore> makeQtSettingsStore() { return std::make_shared<QtSettingsStore>(); }

void postToMainThread(std::function<void()> task) {
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
}

AppModel::Environment qtSystemEnvironment(std::shared_ptr<SettingsStore> settings) {
    auto env = AppModel::Environment::system(
        postToMainThread,
        [](double seconds, AppModel::Task task) {
            // Scheduling must happen on the main thread, where the timer lives.
            postToMainThread([seconds, task = std::move(task)] {
                QTimer::singleShot(static_cast<int>(seconds * 1000), qApp, task);
            });
        },
        [](const std::string& url) { return QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); },
        std::move(settings));
    env.chooseFile = chooseFileInWindow;
    return env;
}

}  // namespace anvil
