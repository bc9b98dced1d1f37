#pragma once
// The application's one window: the launch screen, then the dashboard; every panel is built once and
// redrawn in place from the model.
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <array>
#include <string>

#include "app/app_model.hpp"
#include "app/ui/settings_dialog.hpp"

class QAction;
class QScrollArea;
class QSplitter;
class QStackedWidget;
class QToolButton;

namespace anvil {

class BannerStack;
class CableSection;
class CheckStrip;
class ChecklistPanel;
class DevicePanel;
class LaunchScreen;
class LeasesPanel;
class LiveLogPanel;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Redraws everything from the model now (normally coalesced after each change).
    void render() { render(ModelChange::everything()); }
    // Redraws the panels that show these parts.
    void render(ModelChange parts);

    // The window's panels, and how often each was redrawn: the screen tests read these counts.
    enum class Panel { toolbar, checkStrip, banners, checklist, device, leases, cable, log, dialogs };
    int renders(Panel panel) const { return renders_[static_cast<std::size_t>(panel)]; }
    SettingsDialog* settingsDialog() const { return settingsDialog_; }
    void openSettings();
    // The window's size, the panels' share of the height and the lease columns, for the next launch.
    void saveLayout();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void scheduleRender(ModelChange parts);
    void rendered(Panel panel) { ++renders_[static_cast<std::size_t>(panel)]; }
    void buildMenus();
    void buildToolbar();
    QWidget* buildDashboard();
    void fillCardMenu();
    void renderToolbar();
    void renderDialogs();
    void renderConfirmations();
    void animate();
    void restoreLayout();
    void showAbout();
    void fitTopPanels();
    void paintIcons();

    AppModel& model_;
    // The parts changed since the last redraw; a redraw is scheduled while there are any.
    ModelChange pendingParts_;
    std::array<int, 8> renders_{};
    QStackedWidget* root_ = nullptr;
    LaunchScreen* launch_ = nullptr;
    QAction* startAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    QAction* startMenuAction_ = nullptr;
    QAction* stopMenuAction_ = nullptr;
    QToolButton* cardPicker_ = nullptr;
    QSplitter* split_ = nullptr;
    QScrollArea* topPanels_ = nullptr;
    CheckStrip* checkStrip_ = nullptr;
    BannerStack* banners_ = nullptr;
    ChecklistPanel* checklist_ = nullptr;
    DevicePanel* devicePanel_ = nullptr;
    LeasesPanel* leases_ = nullptr;
    CableSection* cable_ = nullptr;
    LiveLogPanel* log_ = nullptr;
    int animationFrame_ = 0;
    QPointer<QMessageBox> forgetDialog_;
    QPointer<QMessageBox> clearDialog_;
    QPointer<QMessageBox> addressDialog_;
    long long shownQuestionID_ = 0;
    std::string shownPendingID_;
    bool errorShown_ = false;
    QPointer<SettingsDialog> settingsDialog_;
};

}  // namespace anvil
