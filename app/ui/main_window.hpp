#pragma once
// The application's one window: the launch screen, then the dashboard, both drawn from the model.
#include <QColor>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <optional>
#include <string>
#include <vector>

#include "app/app_model.hpp"
#include "app/ui/settings_dialog.hpp"

class QAction;
class QBoxLayout;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QToolButton;
class QVBoxLayout;
class QWidget;

namespace anvil {

// The application's port icon at a pixel size; `lit` picks the one pin drawn lit (none when negative),
// so that stepping it animates a signal across the port.
QPixmap portIcon(int size, int lit = -1);
// The colour of an on-screen log line of this kind; invalid for lines drawn in the text colour.
QColor logColour(LogLine::Kind kind);

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
    void renderConfirmations();
    void showLeaseMenu(const QPoint& position);
    void animate();

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
    QLabel* launchIcon_ = nullptr;
    QPointer<QLabel> waitingIcon_;
    int animationFrame_ = 0;
    // What the log view holds, so that a redraw only appends and trims.
    std::vector<long long> shownLogIDs_;
    std::string shownLogFilter_;
    bool shownLogPaused_ = false;
    QPointer<QMessageBox> forgetDialog_;
    QPointer<QMessageBox> clearDialog_;
    std::string shownPendingID_;
    bool errorShown_ = false;
    QPointer<SettingsDialog> settingsDialog_;
};

}  // namespace anvil
