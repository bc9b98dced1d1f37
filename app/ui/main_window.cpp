#include "app/ui/main_window.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "app/ui/banner_stack.hpp"
#include "app/ui/cable_section.hpp"
#include "app/ui/check_views.hpp"
#include "app/ui/colours.hpp"
#include "app/ui/device_panel.hpp"
#include "app/ui/launch_screen.hpp"
#include "app/ui/layout_state.hpp"
#include "app/ui/lease_table.hpp"
#include "app/ui/live_log.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"
#include "core/addressing/timing.hpp"

namespace anvil {

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent), model_(model) {
    setWindowTitle("DHCP Anvil");
    buildMenus();
    buildToolbar();
    root_ = new QStackedWidget;
    launch_ = new LaunchScreen;
    root_->addWidget(launch_);
    root_->addWidget(buildDashboard());
    setCentralWidget(root_);
    restoreLayout();
    paintIcons();
    model_.onChange = [this](ModelChange parts) { scheduleRender(parts); };
    // The waiting panel's clock and hint and the lease countdowns move with time, not only with events.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        if (model_.isRunning()) scheduleRender(ModelChange::clock);
    });
    tick->start(1000);
    auto* animation = new QTimer(this);
    connect(animation, &QTimer::timeout, this, &MainWindow::animate);
    animation->start(150);
    // Ctrl+F from anywhere in the window types into the log's filter.
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        if (model_.phase() == AppModel::Phase::ready) log_->focusFilter();
    });
    render();
}

MainWindow::~MainWindow() { model_.onChange = nullptr; }

void MainWindow::restoreLayout() {
    SettingsStore& store = model_.settingsStore();
    if (!restoreGeometry(storedLayout(store, SettingsStore::windowGeometryKey))) {
        // First launch: a comfortable size that leaves a laptop's panel and title bar their room.
        QSize size(1180, 720);
        if (QScreen* screen = QGuiApplication::primaryScreen())
            size = size.boundedTo(screen->availableGeometry().size() * 0.92);
        resize(size);
    }
    // The leases first, the devices on the cable and the log a little less, when nothing was stored.
    if (!split_->restoreState(storedLayout(store, SettingsStore::dashboardSplitterKey)))
        split_->setSizes({260, 140, 180});
}

void MainWindow::saveLayout() {
    SettingsStore& store = model_.settingsStore();
    storeLayout(store, SettingsStore::windowGeometryKey, saveGeometry());
    storeLayout(store, SettingsStore::dashboardSplitterKey, split_->saveState());
    leases_->saveLayout();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveLayout();
    QMainWindow::closeEvent(event);
}

void MainWindow::changeEvent(QEvent* event) {
    // A new palette (the desktop switched between light and dark) recolours everything.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        paintIcons();
        scheduleRender(ModelChange::everything());
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::animate() {
    // Only the launch screen and the waiting panel show the moving port; nothing to draw otherwise.
    animationFrame_ = (animationFrame_ + 1) % 8;
    if (model_.phase() == AppModel::Phase::launching)
        launch_->animate(animationFrame_);
    else if (model_.isRunning())
        devicePanel_->animate(animationFrame_);
}

void MainWindow::scheduleRender(ModelChange parts) {
    bool pending = !pendingParts_.empty();
    pendingParts_ |= parts;
    if (pending) return;
    QTimer::singleShot(0, this, [this] { render(std::exchange(pendingParts_, {})); });
}

void MainWindow::buildMenus() {
    // One action per command; the platform's screen texts lay them out in its conventions.
    auto* settings = new QAction(this);
    settings->setMenuRole(QAction::PreferencesRole);
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    auto* quit = new QAction(this);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    auto* updates = new QAction(this);
    updates->setObjectName("checkForUpdates");
    updates->setEnabled(model_.updates().exists());
    updates->setVisible(model_.updates().exists());
    connect(updates, &QAction::triggered, this, [this] {
        if (model_.updates().exists()) model_.updates().checkNow();
    });
    auto* about = new QAction(this);
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    startMenuAction_ = new QAction(this);
    connect(startMenuAction_, &QAction::triggered, this, [this] { model_.start(); });
    stopMenuAction_ = new QAction(this);
    connect(stopMenuAction_, &QAction::triggered, this, [this] { model_.stop(); });

    auto actionFor = [&](MenuCommand command) -> QAction* {
        switch (command) {
            case MenuCommand::about: return about;
            case MenuCommand::checkForUpdates: return updates;
            case MenuCommand::settings: return settings;
            case MenuCommand::quit: return quit;
            case MenuCommand::start: return startMenuAction_;
            case MenuCommand::stop: return stopMenuAction_;
        }
        return about;
    };
    for (const auto& layout : model_.texts().menus) {
        auto* menu = menuBar()->addMenu(q(layout.title));
        menu->setObjectName(q(layout.name));
        for (const auto& entry : layout.entries) {
            if (entry.separatorBefore) menu->addSeparator();
            QAction* action = actionFor(entry.command);
            action->setText(q(entry.text));
            QList<QKeySequence> shortcuts;
            for (const auto& shortcut : entry.shortcuts)
                shortcuts << QKeySequence::fromString(q(shortcut), QKeySequence::PortableText);
            action->setShortcuts(shortcuts);
            action->setShortcutVisibleInContextMenu(true);
            menu->addAction(action);
        }
    }
}

void MainWindow::showAbout() {
    QMessageBox::about(this, "About DHCP Anvil",
                       QString("<b>DHCP Anvil</b> %1<p>A DHCP server for the bench: it hands a device plugged "
                               "into a wired card an address on that card only.</p>")
                           .arg(DHCPCoreInfo::version));
}

void MainWindow::buildToolbar() {
    auto* toolbar = addToolBar("Toolbar");
    toolbar->setObjectName("toolbar");
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    // Alt+C opens the picker's menu; the picker keeps the focus, and Space opens it again.
    auto* cardLabel = new QLabel("&Card:");
    cardLabel->setContentsMargins(6, 0, 4, 0);
    cardPicker_ = new QToolButton;
    cardPicker_->setObjectName("cardPicker");
    cardPicker_->setFocusPolicy(Qt::StrongFocus);
    cardLabel->setBuddy(cardPicker_);
    cardPicker_->setPopupMode(QToolButton::InstantPopup);
    cardPicker_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    cardPicker_->setToolTip("Network card");
    auto* cards = new QMenu("Network card", cardPicker_);
    cards->setObjectName("cardMenu");
    // Filled as it opens, so that a change arriving meanwhile never pulls an entry from under the pointer.
    connect(cards, &QMenu::aboutToShow, this, &MainWindow::fillCardMenu);
    cardPicker_->setMenu(cards);
    toolbar->addWidget(cardLabel);
    toolbar->addWidget(cardPicker_);
    startAction_ = toolbar->addAction("Start");
    startAction_->setObjectName("startAction");
    stopAction_ = toolbar->addAction("Stop");
    stopAction_->setObjectName("stopAction");
    connect(startAction_, &QAction::triggered, this, [this] { model_.start(); });
    connect(stopAction_, &QAction::triggered, this, [this] { model_.stop(); });
    settingsAction_ = toolbar->addAction("Settings");
    auto* settings = settingsAction_;
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    toolbar->hide();
}

void MainWindow::paintIcons() {
    startAction_->setIcon(glyphIcon(Glyph::play, palette()));
    stopAction_->setIcon(glyphIcon(Glyph::stop, palette()));
    settingsAction_->setIcon(glyphIcon(Glyph::gear, palette()));
}

void MainWindow::fillCardMenu() {
    QMenu* menu = cardPicker_->menu();
    menu->clear();
    for (const auto& card : model_.offeredCards()) {
        QString text = q(card.title());
        if (!card.linkUp) text += " · no link";
        auto* action = menu->addAction(plainActionText(text));
        action->setCheckable(true);
        action->setChecked(model_.selectedCardID() == card.id());
        connect(action, &QAction::triggered, this, [this, id = card.id()] { model_.select(id); });
    }
    menu->addSeparator();
    auto* disconnected = menu->addAction("Show disconnected");
    disconnected->setCheckable(true);
    disconnected->setChecked(model_.showDisconnected());
    connect(disconnected, &QAction::toggled, this, [this](bool on) { model_.setShowDisconnected(on); });
}

QWidget* MainWindow::buildDashboard() {
    // The top panels take the height they need and scroll when notices pile up; the leases, the
    // devices on the cable and the log share the rest through a splitter whose sizes are remembered.
    auto* top = new QWidget;
    auto* topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(4);
    checkStrip_ = new CheckStrip;
    banners_ = new BannerStack(model_);
    checklist_ = new ChecklistPanel(model_);
    devicePanel_ = new DevicePanel(model_);
    topLayout->addWidget(checkStrip_);
    topLayout->addWidget(banners_);
    topLayout->addWidget(checklist_);
    topLayout->addWidget(devicePanel_);
    topPanels_ = new QScrollArea;
    topPanels_->setObjectName("topPanels");
    topPanels_->setWidget(top);
    topPanels_->setWidgetResizable(true);
    topPanels_->setFrameShape(QFrame::NoFrame);
    topPanels_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    topPanels_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

    leases_ = new LeasesPanel(model_);
    cable_ = new CableSection(model_);
    log_ = new LiveLogPanel(model_);
    split_ = new QSplitter(Qt::Vertical);
    split_->setObjectName("dashboardSplitter");
    split_->setChildrenCollapsible(false);
    split_->addWidget(leases_);
    split_->addWidget(cable_);
    split_->addWidget(log_);
    split_->setStretchFactor(0, 3);
    split_->setStretchFactor(1, 1);
    split_->setStretchFactor(2, 2);

    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);
    layout->addWidget(topPanels_);
    layout->addWidget(split_, 1);
    return page;
}

void MainWindow::fitTopPanels() {
    // As tall as the panels want at this width, but never so tall that the leases and the log lose
    // their room. Widgets added during a redraw show themselves a moment later, so measure after that.
    QTimer::singleShot(0, this, [this] {
        QWidget* panels = topPanels_->widget();
        int width = topPanels_->viewport()->width();
        int wanted = panels->hasHeightForWidth() ? panels->heightForWidth(width) : panels->sizeHint().height();
        if (wanted <= 0) wanted = panels->sizeHint().height();
        int ceiling = std::max(160, height() * 9 / 20);
        topPanels_->setFixedHeight(std::min(wanted, ceiling));
    });
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    fitTopPanels();
}

void MainWindow::render(ModelChange parts) {
    using Part = ModelChange;
    bool ready = model_.phase() == AppModel::Phase::ready;
    // Whether Start is possible follows the card, its checks and the run (lease file edits count as the run).
    const ModelChange startParts = Part::cards | Part::checks | Part::serving;
    if (parts.touches(startParts)) {
        root_->setCurrentIndex(ready ? 1 : 0);
        if (auto* toolbar = findChild<QToolBar*>("toolbar")) toolbar->setVisible(ready);
        startMenuAction_->setEnabled(model_.canStart());
        stopMenuAction_->setEnabled(model_.isRunning());
    }
    if (!ready) return;
    if (parts.touches(startParts)) {
        renderToolbar();
        rendered(Panel::toolbar);
    }
    if (parts.touches(Part::checks)) {
        checkStrip_->render(model_);
        rendered(Panel::checkStrip);
    }
    if (parts.touches(Part::notices)) {
        banners_->render();
        rendered(Panel::banners);
    }
    if (parts.touches(Part::serving)) {
        checklist_->setVisible(!model_.isRunning());
        devicePanel_->setVisible(model_.isRunning());
    }
    // The device card shows its transfer; a device alone on the cable shows in its place.
    const ModelChange deviceParts =
        Part::serving | Part::leases | Part::neighbours | Part::transfers | Part::settings | Part::clock;
    if (model_.isRunning() && parts.touches(deviceParts)) {
        devicePanel_->render(parts);
        rendered(Panel::device);
    } else if (!model_.isRunning() && parts.touches(Part::cards | Part::checks | Part::serving)) {
        checklist_->render();
        rendered(Panel::checklist);
    }
    // A transfer's progress shows on the device card; the table catches up with the clock.
    if (parts.touches(Part::leases | Part::clock)) {
        leases_->render(parts);
        rendered(Panel::leases);
    }
    // The cable's devices without a lease: a lease taken hides one.
    if (parts.touches(Part::neighbours | Part::leases | Part::clock)) {
        cable_->render(parts);
        rendered(Panel::cable);
    }
    if (parts.touches(Part::log)) {
        log_->render();
        rendered(Panel::log);
    }
    if (parts.touches(Part::cards | Part::checks | Part::notices | Part::serving)) fitTopPanels();
    if (parts.touches(Part::dialogs | Part::settings)) {
        renderConfirmations();
        renderDialogs();
        rendered(Panel::dialogs);
    }
    if (settingsDialog_ && parts.touches(Part::cards | Part::checks | Part::settings)) settingsDialog_->refresh();
}

void MainWindow::renderToolbar() {
    startAction_->setVisible(!model_.isRunning());
    startAction_->setEnabled(model_.canStart());
    stopAction_->setVisible(model_.isRunning());
    const NetworkCard* selected = model_.selectedCard();
    QString text = plainActionText(selected ? q(selected->title()) : "Choose a network card");
    if (cardPicker_->text() != text) cardPicker_->setText(text);
    cardPicker_->setEnabled(!model_.isRunning());
}

void MainWindow::renderConfirmations() {
    // Each question is open exactly while the model awaits its answer.
    if (model_.confirmForget() && !forgetDialog_) {
        MACAddress mac = *model_.confirmForget();
        auto* box = plainMessageBox(QMessageBox::Question, "Forget this lease?", "Forget this lease?", this);
        box->setObjectName("forgetLeaseDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        setPlainInformativeText(box, "The device gets a new address the next time it asks.");
        auto* forget = box->addButton("Forget lease", QMessageBox::DestructiveRole);
        forget->setObjectName("confirmButton");
        box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancelButton");
        connect(box, &QMessageBox::finished, this, [this, box, forget, mac] {
            if (model_.confirmForget() != mac) return;
            if (box->clickedButton() == forget)
                model_.forgetLease(mac);
            else
                model_.cancelForgetLease();
        });
        forgetDialog_ = box;
        box->open();
    } else if (!model_.confirmForget() && forgetDialog_) {
        forgetDialog_->close();
    }

    if (model_.confirmClear() && !clearDialog_) {
        auto* box = plainMessageBox(QMessageBox::Question, "Clear expired leases?", "Clear expired leases?", this);
        box->setObjectName("clearExpiredDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        setPlainInformativeText(box, "Removes expired, released and reclaimed records. Active leases stay.");
        auto* clear = box->addButton("Clear expired", QMessageBox::DestructiveRole);
        clear->setObjectName("confirmButton");
        box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancelButton");
        connect(box, &QMessageBox::finished, this, [this, box, clear] {
            if (!model_.confirmClear()) return;
            if (box->clickedButton() == clear)
                model_.clearExpiredLeases();
            else
                model_.cancelClearExpired();
        });
        clearDialog_ = box;
        box->open();
    } else if (!model_.confirmClear() && clearDialog_) {
        clearDialog_->close();
    }

    // The exact address and card, and the command, before anything runs.
    const auto& question = model_.addressQuestion();
    if (addressDialog_ && (!question || question->id != shownQuestionID_)) {
        shownQuestionID_ = 0;
        addressDialog_->close();
        // It deletes itself later; a new question must not wait for that.
        addressDialog_ = nullptr;
    }
    if (question && !addressDialog_) {
        long long id = question->id;
        shownQuestionID_ = id;
        auto* box = plainMessageBox(QMessageBox::Question, q(question->title()), q(question->title()), this);
        box->setObjectName("addAddressDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        setPlainInformativeText(box, q("DHCP Anvil will run:\n\n" + question->command()));
        auto* add = box->addButton("&Add", QMessageBox::AcceptRole);
        add->setObjectName("confirmButton");
        box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancelButton");
        box->setDefaultButton(add);
        connect(box, &QMessageBox::finished, this, [this, box, add, id] {
            if (!model_.addressQuestion() || model_.addressQuestion()->id != id) return;
            if (box->clickedButton() == add)
                model_.confirmAddress();
            else
                model_.cancelAddress();
        });
        addressDialog_ = box;
        box->open();
    }
}

void MainWindow::renderDialogs() {
    if (model_.settingsOpen() && !settingsDialog_) openSettings();
    if (model_.pendingCommand() && model_.pendingCommand()->id != shownPendingID_) {
        PendingCommand pending = *model_.pendingCommand();
        shownPendingID_ = pending.id;
        auto* box = plainMessageBox(QMessageBox::Question, q(pending.title), q(pending.title), this);
        box->setObjectName("pendingCommandDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        setPlainInformativeText(box, q("DHCP Anvil will run:\n\n" + pending.command));
        auto* run = box->addButton("Run with administrator password", QMessageBox::AcceptRole);
        box->addButton("Cancel", QMessageBox::RejectRole);
        connect(box, &QMessageBox::finished, this, [this, box, run, pending] {
            if (box->clickedButton() == run)
                model_.run(pending);
            else if (model_.pendingCommand() && model_.pendingCommand()->id == pending.id)
                model_.cancelPendingCommand();
        });
        box->open();
    }
    if (model_.lastError() && !errorShown_) {
        errorShown_ = true;
        std::string message = *model_.lastError();
        if (model_.failedCommand()) message += "\n\nYou can run this in Terminal instead:\n" + *model_.failedCommand();
        auto* box = plainMessageBox(QMessageBox::Warning, "Something went wrong", "Something went wrong", this);
        box->setObjectName("errorAlert");
        box->setAttribute(Qt::WA_DeleteOnClose);
        setPlainInformativeText(box, q(message));
        if (model_.failedCommand()) {
            auto* copy = box->addButton("Copy Terminal command", QMessageBox::ActionRole);
            copy->disconnect();
            connect(copy, &QPushButton::clicked, this,
                    [command = *model_.failedCommand()] { QGuiApplication::clipboard()->setText(q(command)); });
        }
        box->addButton(QMessageBox::Ok);
        connect(box, &QMessageBox::finished, this, [this] {
            errorShown_ = false;
            model_.dismissError();
        });
        box->open();
    }
}

void MainWindow::openSettings() {
    if (settingsDialog_) return;
    settingsDialog_ = new SettingsDialog(model_, this);
    settingsDialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(settingsDialog_, &QDialog::finished, this, [this] { model_.closeSettings(); });
    model_.openSettings();
    settingsDialog_->open();
}

}  // namespace anvil
