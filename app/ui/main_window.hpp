#pragma once
// The application's one window: the launch screen, then the dashboard, both drawn from the model.
#include <QMainWindow>
#include <QPointer>
#include <optional>
#include <string>

#include "app/app_model.hpp"
#include "app/ui/settings_dialog.hpp"

class QAction;
class QBoxLayout;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QToolButton;
class QVBoxLayout;
class QWidget;

namespace anvil {

// The application's port icon at a pixel size.
QPixmap portIcon(int size);

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Redraws everything from the model now (normally coalesced after each change).
    void render();
    SettingsDialog* settingsDialog() const { return settingsDialog_; }
    void openSettings();

private:
    void scheduleRender();
    void buildMenus();
    QWidget* buildLaunchScreen();
    QWidget* buildDashboard();
    void renderToolbar();
    void renderChecks();
    void renderBanners();
    void renderPanel();
    void renderLeases();
    void renderLog();
    void renderDialogs();
    void showLeaseMenu(const QPoint& position);

    AppModel& model_;
    bool renderPending_ = false;
    QStackedWidget* root_ = nullptr;
    QAction* startAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* startMenuAction_ = nullptr;
    QAction* stopMenuAction_ = nullptr;
    QToolButton* cardPicker_ = nullptr;
    QWidget* checkStrip_ = nullptr;
    QWidget* bannerStack_ = nullptr;
    QGroupBox* checklistPanel_ = nullptr;
    QGroupBox* devicePanel_ = nullptr;
    QTableWidget* leaseTable_ = nullptr;
    QLineEdit* logFilter_ = nullptr;
    QToolButton* pauseButton_ = nullptr;
    QPlainTextEdit* logView_ = nullptr;
    std::string shownLogSignature_;
    std::string shownPendingID_;
    bool errorShown_ = false;
    QPointer<SettingsDialog> settingsDialog_;
};

}  // namespace anvil
