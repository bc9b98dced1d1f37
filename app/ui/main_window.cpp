#include "app/ui/main_window.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/ui/settings_dialog.hpp"
#include "core/addressing/duration.hpp"

namespace anvil {

namespace {

QString q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->deleteLater();
        if (QLayout* child = item->layout()) clearLayout(child);
        delete item;
    }
}

QString presenceLabel(std::optional<PresenceState> presence) {
    if (!presence) return "Idle";
    switch (*presence) {
        case PresenceState::online: return "Online";
        case PresenceState::unknown: return "Checking";
        case PresenceState::offline: return "Offline";
        case PresenceState::conflict: return "Conflict";
    }
    return "Idle";
}

QString statusMark(PreflightCheck::Status status) {
    auto mark = Preflight::symbol(status);
    return QString::fromUtf8(mark.data(), static_cast<int>(mark.size()));
}

const char* statusColour(PreflightCheck::Status status) {
    switch (status) {
        case PreflightCheck::Status::pass: return "#2e8b57";
        case PreflightCheck::Status::warn: return "#d68910";
        case PreflightCheck::Status::fail: return "#c0392b";
    }
    return "black";
}

QLabel* wrapped(const QString& text, const char* name = nullptr) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    if (name) label->setObjectName(name);
    return label;
}

}  // namespace

QPixmap portIcon(int size, int lit) {
    // An Ethernet port seen from the front, drawn so that no image plug-in is needed.
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#2c3e50"));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    painter.setBrush(QColor("#ecf0f1"));
    QPolygonF port;
    port << QPointF(14, 20) << QPointF(50, 20) << QPointF(50, 44) << QPointF(40, 44) << QPointF(40, 50)
         << QPointF(24, 50) << QPointF(24, 44) << QPointF(14, 44);
    painter.drawPolygon(port);
    for (int pin = 0; pin < 8; ++pin) {
        painter.setBrush(QColor(pin == lit ? "#f9e79f" : "#e67e22"));
        painter.drawRect(QRectF(17 + pin * 4, 22, 2.2, pin == lit ? 9 : 7));
    }
    return pixmap;
}

QColor logColour(LogLine::Kind kind) {
    switch (kind) {
        case LogLine::Kind::rx: return QColor("#1f5fbf");
        case LogLine::Kind::tx: return QColor("#1e7b34");
        case LogLine::Kind::presence: return QColor("#7a3db8");
        case LogLine::Kind::notice: return QColor("#b35900");
        case LogLine::Kind::other: return {};
    }
    return {};
}

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent), model_(model) {
    setWindowTitle("DHCP Anvil");
    resize(1000, 820);
    buildMenus();
    root_ = new QStackedWidget;
    root_->addWidget(buildLaunchScreen());
    root_->addWidget(buildDashboard());
    setCentralWidget(root_);
    model_.onChange = [this] { scheduleRender(); };
    // The waiting panel's clock and hint move with time, not only with events.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        if (model_.isRunning) scheduleRender();
    });
    tick->start(1000);
    auto* animation = new QTimer(this);
    connect(animation, &QTimer::timeout, this, &MainWindow::animate);
    animation->start(150);
    render();
}

void MainWindow::animate() {
    // Only the launch screen and the waiting panel show the moving port; nothing to draw otherwise.
    QLabel* icon = nullptr;
    int size = 0;
    if (model_.phase == AppModel::Phase::launching) {
        icon = launchIcon_;
        size = 96;
    } else if (model_.isRunning && !model_.state.deviceFound && waitingIcon_) {
        icon = waitingIcon_;
        size = 40;
    }
    if (!icon) return;
    animationFrame_ = (animationFrame_ + 1) % 8;
    icon->setPixmap(portIcon(size, animationFrame_));
}

MainWindow::~MainWindow() { model_.onChange = nullptr; }

void MainWindow::scheduleRender() {
    if (renderPending_) return;
    renderPending_ = true;
    QTimer::singleShot(0, this, [this] {
        renderPending_ = false;
        render();
    });
}

void MainWindow::buildMenus() {
    auto* appMenu = menuBar()->addMenu("DHCP Anvil");
    auto* updates = appMenu->addAction("Check for Updates…");
    updates->setEnabled(model_.updates.canCheckForUpdates());
    auto* settings = appMenu->addAction("Settings");
    settings->setShortcut(QKeySequence::Preferences);
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    appMenu->addSeparator();
    auto* quit = appMenu->addAction("Quit");
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    auto* serverMenu = menuBar()->addMenu("Server");
    serverMenu->setObjectName("serverMenu");
    startMenuAction_ = serverMenu->addAction("Start");
    startMenuAction_->setShortcut(QKeySequence("Ctrl+R"));
    stopMenuAction_ = serverMenu->addAction("Stop");
    stopMenuAction_->setShortcut(QKeySequence("Ctrl+."));
    connect(startMenuAction_, &QAction::triggered, this, [this] { model_.start(); });
    connect(stopMenuAction_, &QAction::triggered, this, [this] { model_.stop(); });
}

QWidget* MainWindow::buildLaunchScreen() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addStretch();
    launchIcon_ = new QLabel;
    launchIcon_->setObjectName("launchIcon");
    launchIcon_->setPixmap(portIcon(96, animationFrame_));
    launchIcon_->setAlignment(Qt::AlignCenter);
    layout->addWidget(launchIcon_);
    auto* title = new QHBoxLayout;
    title->addStretch();
    auto* first = new QLabel("DHCP");
    first->setStyleSheet("font-size: 28pt; font-weight: 600;");
    auto* second = new QLabel("Anvil");
    second->setStyleSheet("font-size: 28pt; font-weight: 300;");
    title->addWidget(first);
    title->addWidget(second);
    title->addStretch();
    layout->addLayout(title);
    auto* scanning = new QLabel("Scanning network cards…");
    scanning->setAlignment(Qt::AlignCenter);
    layout->addWidget(scanning);
    layout->addStretch();
    return page;
}

QWidget* MainWindow::buildDashboard() {
    auto* toolbar = addToolBar("Toolbar");
    toolbar->setObjectName("toolbar");
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    cardPicker_ = new QToolButton;
    cardPicker_->setObjectName("cardPicker");
    cardPicker_->setPopupMode(QToolButton::InstantPopup);
    cardPicker_->setToolTip("Network card");
    cardPicker_->setMenu(new QMenu("Network card", cardPicker_));
    toolbar->addWidget(cardPicker_);
    startAction_ = toolbar->addAction(style()->standardIcon(QStyle::SP_MediaPlay), "Start");
    stopAction_ = toolbar->addAction(style()->standardIcon(QStyle::SP_MediaStop), "Stop");
    connect(startAction_, &QAction::triggered, this, [this] { model_.start(); });
    connect(stopAction_, &QAction::triggered, this, [this] { model_.stop(); });
    auto* settings = toolbar->addAction(style()->standardIcon(QStyle::SP_FileDialogDetailedView), "Settings");
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    toolbar->hide();

    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    checkStrip_ = new QWidget;
    checkStrip_->setObjectName("checkStrip");
    new QHBoxLayout(checkStrip_);
    checkStrip_->layout()->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(checkStrip_);

    bannerStack_ = new QWidget;
    bannerStack_->setObjectName("bannerStack");
    new QVBoxLayout(bannerStack_);
    bannerStack_->layout()->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(bannerStack_);

    checklistPanel_ = new QGroupBox("Before starting");
    checklistPanel_->setObjectName("checklistPanel");
    new QVBoxLayout(checklistPanel_);
    devicePanel_ = new QGroupBox;
    devicePanel_->setObjectName("devicePanel");
    new QVBoxLayout(devicePanel_);
    layout->addWidget(checklistPanel_);
    layout->addWidget(devicePanel_);

    auto* split = new QSplitter(Qt::Vertical);
    auto* leases = new QGroupBox("Leases");
    auto* leasesLayout = new QVBoxLayout(leases);
    auto* leaseButtons = new QHBoxLayout;
    leaseButtons->addStretch();
    auto* refresh = new QPushButton("Refresh");
    auto* clear = new QPushButton("Clear expired");
    clear->setObjectName("clearExpired");
    leaseButtons->addWidget(refresh);
    leaseButtons->addWidget(clear);
    leasesLayout->addLayout(leaseButtons);
    connect(refresh, &QPushButton::clicked, this, [this] { model_.refreshLeases(); });
    connect(clear, &QPushButton::clicked, this, [this] { model_.requestClearExpired(); });
    leaseTable_ = new QTableWidget(0, 4);
    leaseTable_->setObjectName("leaseTable");
    leaseTable_->setHorizontalHeaderLabels({"Status", "Device", "Lease", "Address"});
    leaseTable_->horizontalHeader()->setStretchLastSection(true);
    leaseTable_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    leaseTable_->verticalHeader()->hide();
    leaseTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    leaseTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    leaseTable_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(leaseTable_, &QTableWidget::customContextMenuRequested, this, &MainWindow::showLeaseMenu);
    leasesLayout->addWidget(leaseTable_);
    split->addWidget(leases);

    auto* live = new QGroupBox("Live log");
    auto* liveLayout = new QVBoxLayout(live);
    auto* logBar = new QHBoxLayout;
    logFilter_ = new QLineEdit;
    logFilter_->setObjectName("logFilter");
    logFilter_->setPlaceholderText("Filter (MAC, IP, type)");
    connect(logFilter_, &QLineEdit::textChanged, this,
            [this](const QString& text) { model_.setLogFilter(text.toStdString()); });
    pauseButton_ = new QToolButton;
    pauseButton_->setText("Pause scrolling");
    pauseButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
    pauseButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    pauseButton_->setCheckable(true);
    connect(pauseButton_, &QToolButton::toggled, this, [this](bool on) { model_.setLogPaused(on); });
    auto* clearLog = new QToolButton;
    clearLog->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    clearLog->setToolTip("Clear the on-screen log (the log file keeps everything)");
    connect(clearLog, &QToolButton::clicked, this, [this] { model_.clearLog(); });
    logBar->addWidget(logFilter_);
    logBar->addWidget(pauseButton_);
    logBar->addWidget(clearLog);
    liveLayout->addLayout(logBar);
    logView_ = new QPlainTextEdit;
    logView_->setObjectName("logView");
    logView_->setReadOnly(true);
    logView_->setUndoRedoEnabled(false);
    logView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    logView_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    liveLayout->addWidget(logView_);
    split->addWidget(live);
    layout->addWidget(split, 1);
    return page;
}

void MainWindow::render() {
    bool ready = model_.phase == AppModel::Phase::ready;
    root_->setCurrentIndex(ready ? 1 : 0);
    if (auto* toolbar = findChild<QToolBar*>("toolbar")) toolbar->setVisible(ready);
    startMenuAction_->setEnabled(model_.canStart());
    stopMenuAction_->setEnabled(model_.isRunning);
    if (!ready) return;
    renderToolbar();
    renderChecks();
    renderBanners();
    renderPanel();
    renderLeases();
    renderLog();
    renderConfirmations();
    renderDialogs();
}

void MainWindow::renderToolbar() {
    startAction_->setVisible(!model_.isRunning);
    startAction_->setEnabled(model_.canStart());
    stopAction_->setVisible(model_.isRunning);
    const NetworkCard* selected = model_.selectedCard();
    cardPicker_->setText(selected ? q(selected->displayName + " (" + selected->bsdName + ")")
                                  : QString("Choose a network card"));
    cardPicker_->setEnabled(!model_.isRunning);
    QMenu* menu = cardPicker_->menu();
    menu->clear();
    for (const auto& card : model_.offeredCards()) {
        QString text = q(card.displayName + " (" + card.bsdName + ")");
        if (!card.linkUp) text += " · no link";
        auto* action = menu->addAction(text);
        action->setCheckable(true);
        action->setChecked(model_.selectedCardID == card.id());
        connect(action, &QAction::triggered, this, [this, id = card.id()] { model_.select(id); });
    }
    menu->addSeparator();
    auto* disconnected = menu->addAction("Show disconnected");
    disconnected->setCheckable(true);
    disconnected->setChecked(model_.showDisconnected);
    connect(disconnected, &QAction::toggled, this, [this](bool on) { model_.setShowDisconnected(on); });
}

void MainWindow::renderChecks() {
    clearLayout(checkStrip_->layout());
    auto* layout = static_cast<QHBoxLayout*>(checkStrip_->layout());
    for (const auto& check : model_.checks) {
        auto* mark = new QLabel(statusMark(check.status) + " " + q(rawValue(check.id)));
        mark->setToolTip(q(check.message));
        mark->setStyleSheet(QString("color: %1;").arg(statusColour(check.status)));
        layout->addWidget(mark);
    }
    layout->addStretch();
    checkStrip_->setVisible(!model_.checks.empty());
}

void MainWindow::renderBanners() {
    clearLayout(bannerStack_->layout());
    auto notices = model_.orderedNotices();
    for (const auto& notice : notices) {
        auto* banner = new QFrame;
        banner->setObjectName("banner");
        banner->setProperty("noticeKind", q(rawValue(notice.kind)));
        banner->setFrameShape(QFrame::StyledPanel);
        banner->setStyleSheet(notice.isCritical() ? "QFrame#banner { background: #fdecea; }"
                                                  : "QFrame#banner { background: #fff6db; }");
        auto* row = new QHBoxLayout(banner);
        auto* symbol = new QLabel;
        symbol->setPixmap(
            style()
                ->standardIcon(notice.isCritical() ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxWarning)
                .pixmap(20, 20));
        row->addWidget(symbol);
        row->addWidget(wrapped(q(notice.message), "bannerMessage"), 1);
        if (notice.kind == NoticeKind::localNetworkDenied && model_.canOpenNetworkSettings()) {
            auto* open = new QPushButton(q(model_.texts().bannerSettingsButton));
            connect(open, &QPushButton::clicked, this, [this] { model_.openLocalNetworkSettings(); });
            row->addWidget(open);
        }
        auto* dismiss = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), "Dismiss");
        connect(dismiss, &QPushButton::clicked, this, [this, kind = notice.kind] { model_.dismiss(kind); });
        row->addWidget(dismiss);
        bannerStack_->layout()->addWidget(banner);
    }
    bannerStack_->setVisible(!notices.empty());
}

void MainWindow::renderPanel() {
    checklistPanel_->setVisible(!model_.isRunning);
    devicePanel_->setVisible(model_.isRunning);
    if (!model_.isRunning) {
        auto* layout = checklistPanel_->layout();
        clearLayout(layout);
        if (!model_.selectedCard()) {
            layout->addWidget(wrapped("Choose a network card in the toolbar."));
        } else {
            for (const auto& check : model_.checks) {
                auto* row = new QHBoxLayout;
                auto* mark = new QLabel(statusMark(check.status));
                mark->setStyleSheet(QString("color: %1; font-weight: bold;").arg(statusColour(check.status)));
                row->addWidget(mark);
                row->addWidget(wrapped(q(check.message)), 1);
                if (check.fix) {
                    auto* fix = new QPushButton("Configure adapter…");
                    connect(fix, &QPushButton::clicked, this, [this] { model_.requestConfigureAdapter(); });
                    row->addWidget(fix);
                }
                static_cast<QVBoxLayout*>(layout)->addLayout(row);
            }
        }
        auto* note = wrapped("Start is enabled once every ✗ is fixed. ⚠ items never block it.");
        note->setStyleSheet("color: gray;");
        layout->addWidget(note);
        if (const auto& access = model_.texts().startAccessNote) {
            auto* label = wrapped(q(*access));
            label->setStyleSheet("color: gray;");
            layout->addWidget(label);
        }
        return;
    }

    auto* layout = devicePanel_->layout();
    clearLayout(layout);
    Date now = model_.now();
    const auto& found = model_.state.deviceFound;
    if (!found) {
        devicePanel_->setTitle("");
        auto* header = new QHBoxLayout;
        waitingIcon_ = new QLabel;
        waitingIcon_->setPixmap(portIcon(40, animationFrame_));
        header->addWidget(waitingIcon_);
        auto* texts = new QVBoxLayout;
        texts->addWidget(wrapped(q("Listening on " + model_.state.serverInterface.value_or("")), "listening"));
        long long elapsed = model_.startedAt ? static_cast<long long>(now.secondsSince(*model_.startedAt)) : 0;
        if (elapsed < 0) elapsed = 0;
        texts->addWidget(wrapped(QString("Waiting for a device · ") +
                                 QString::asprintf("%d:%02d", int(elapsed / 60), int(elapsed % 60))));
        if (auto next = model_.nextAddress(now))
            texts->addWidget(wrapped(q(next->description() + " is ready to hand out"), "nextAddress"));
        header->addLayout(texts, 1);
        static_cast<QVBoxLayout*>(layout)->addLayout(header);
        if (model_.showsWaitingHint(now)) {
            layout->addWidget(wrapped(q(model_.texts().waitingHint), "waitingHint"));
            auto* buttons = new QHBoxLayout;
            auto* copy = new QPushButton("Copy tcpdump command");
            connect(copy, &QPushButton::clicked, this,
                    [this] { QGuiApplication::clipboard()->setText(q(model_.tcpdumpCommand())); });
            buttons->addWidget(copy);
            if (model_.canOpenNetworkSettings()) {
                auto* settings = new QPushButton(q(model_.texts().hintSettingsButton));
                connect(settings, &QPushButton::clicked, this, [this] { model_.openLocalNetworkSettings(); });
                buttons->addWidget(settings);
            }
            buttons->addStretch();
            static_cast<QVBoxLayout*>(layout)->addLayout(buttons);
        }
        return;
    }

    devicePanel_->setTitle("Device found");
    auto* header = new QHBoxLayout;
    auto* address = new QLabel(q(found->ip.description()));
    address->setObjectName("deviceAddress");
    address->setStyleSheet("font-size: 20pt; font-weight: 600;");
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    header->addWidget(address);
    auto* presence = new QLabel(presenceLabel(model_.presence(*found)));
    presence->setObjectName("devicePresence");
    header->addWidget(presence);
    header->addStretch();
    static_cast<QVBoxLayout*>(layout)->addLayout(header);
    auto* rows = new QGridLayout;
    std::string vendor = found->vendorClass.value_or("—");
    if (found->vendorClass && found->vendorClass->rfind("APC", 0) == 0) vendor += " (cookie sent)";
    std::string lease = std::string(rawValue(found->state));
    if (found->state == Lease::State::bound) {
        double left = found->expiresAt.secondsSince(now);
        lease += left > 0 ? ", " + formatDuration(static_cast<std::uint32_t>(left)) + " left" : ", expired";
    }
    int line = 0;
    for (auto [name, value] : {std::pair<const char*, std::string>{"Hostname", found->hostname.value_or("—")},
                               {"Vendor", vendor},
                               {"Lease", lease}}) {
        rows->addWidget(new QLabel(name), line, 0);
        rows->addWidget(new QLabel(q(value)), line, 1);
        ++line;
    }
    rows->setColumnStretch(1, 1);
    static_cast<QVBoxLayout*>(layout)->addLayout(rows);
    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton("Open in browser");
    connect(open, &QPushButton::clicked, this, [this, ip = found->ip] { model_.openInBrowser(ip); });
    auto* copy = new QPushButton("Copy IP");
    connect(copy, &QPushButton::clicked, this,
            [ip = found->ip] { QGuiApplication::clipboard()->setText(q(ip.description())); });
    buttons->addWidget(open);
    buttons->addWidget(copy);
    buttons->addStretch();
    static_cast<QVBoxLayout*>(layout)->addLayout(buttons);
}

void MainWindow::renderLeases() {
    auto leases = model_.sortedLeases();
    Date now = model_.now();
    leaseTable_->setRowCount(static_cast<int>(leases.size()));
    int row = 0;
    for (const auto& lease : leases) {
        std::string device =
            lease.hostname ? *lease.hostname + "  " + lease.mac.description() : lease.mac.description();
        std::string state(rawValue(lease.state));
        if ((lease.state == Lease::State::bound || lease.state == Lease::State::offered) && lease.isExpired(now))
            state += " (expired)";
        QString cells[] = {presenceLabel(model_.presence(lease)), q(device), q(state), q(lease.ip.description())};
        for (int column = 0; column < 4; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setData(Qt::UserRole, q(lease.mac.description()));
            leaseTable_->setItem(row, column, item);
        }
        ++row;
    }
    leaseTable_->resizeColumnToContents(0);
}

void MainWindow::showLeaseMenu(const QPoint& position) {
    auto* item = leaseTable_->itemAt(position);
    if (!item) return;
    auto mac = MACAddress::parse(item->data(Qt::UserRole).toString().toStdString());
    if (!mac) return;
    auto found = model_.state.leases.find(*mac);
    if (found == model_.state.leases.end()) return;
    Lease lease = found->second;
    auto* menu = new QMenu(this);
    menu->setObjectName("leaseMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    connect(menu->addAction("Copy IP"), &QAction::triggered, this,
            [lease] { QGuiApplication::clipboard()->setText(q(lease.ip.description())); });
    connect(menu->addAction("Copy MAC"), &QAction::triggered, this,
            [lease] { QGuiApplication::clipboard()->setText(q(lease.mac.description())); });
    connect(menu->addAction("Open in browser"), &QAction::triggered, this,
            [this, lease] { model_.openInBrowser(lease.ip); });
    connect(menu->addAction("Forget lease"), &QAction::triggered, this,
            [this, mac = lease.mac] { model_.requestForgetLease(mac); });
    menu->popup(leaseTable_->viewport()->mapToGlobal(position));
}

void MainWindow::renderConfirmations() {
    // Each question is open exactly while the model awaits its answer.
    if (model_.confirmForget && !forgetDialog_) {
        MACAddress mac = *model_.confirmForget;
        auto* box = new QMessageBox(QMessageBox::Question, "Forget this lease?", "Forget this lease?",
                                    QMessageBox::NoButton, this);
        box->setObjectName("forgetLeaseDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setInformativeText("The device gets a new address the next time it asks.");
        auto* forget = box->addButton("Forget lease", QMessageBox::DestructiveRole);
        forget->setObjectName("confirmButton");
        box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancelButton");
        connect(box, &QMessageBox::finished, this, [this, box, forget, mac] {
            if (model_.confirmForget != mac) return;
            if (box->clickedButton() == forget)
                model_.forgetLease(mac);
            else
                model_.cancelForgetLease();
        });
        forgetDialog_ = box;
        box->open();
    } else if (!model_.confirmForget && forgetDialog_) {
        forgetDialog_->close();
    }

    if (model_.confirmClear && !clearDialog_) {
        auto* box = new QMessageBox(QMessageBox::Question, "Clear expired leases?", "Clear expired leases?",
                                    QMessageBox::NoButton, this);
        box->setObjectName("clearExpiredDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setInformativeText("Removes expired, released and reclaimed records. Active leases stay.");
        auto* clear = box->addButton("Clear expired", QMessageBox::DestructiveRole);
        clear->setObjectName("confirmButton");
        box->addButton("Cancel", QMessageBox::RejectRole)->setObjectName("cancelButton");
        connect(box, &QMessageBox::finished, this, [this, box, clear] {
            if (!model_.confirmClear) return;
            if (box->clickedButton() == clear)
                model_.clearExpiredLeases();
            else
                model_.cancelClearExpired();
        });
        clearDialog_ = box;
        box->open();
    } else if (!model_.confirmClear && clearDialog_) {
        clearDialog_->close();
    }
}

void MainWindow::renderLog() {
    auto lines = model_.visibleLog();
    if (pauseButton_->isChecked() != model_.logPaused) pauseButton_->setChecked(model_.logPaused);

    // Lines only ever arrive at the end and leave from the front while the filter and the pause stay;
    // then the view keeps what it has, drops what left and appends what came. Otherwise it starts over.
    std::size_t kept = 0;  // leading visible lines the view already shows
    while (kept < lines.size() && !shownLogIDs_.empty() && lines[kept].id <= shownLogIDs_.back()) ++kept;
    bool incremental =
        model_.logFilter == shownLogFilter_ && model_.logPaused == shownLogPaused_ && kept <= shownLogIDs_.size() &&
        (kept == 0 ||
         (lines.front().id == shownLogIDs_[shownLogIDs_.size() - kept] && lines[kept - 1].id == shownLogIDs_.back()));
    std::size_t dropped = incremental ? shownLogIDs_.size() - kept : shownLogIDs_.size();
    if (!incremental) kept = 0;
    if (dropped == 0 && kept == lines.size()) return;

    QTextDocument* document = logView_->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    if (dropped == shownLogIDs_.size()) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
    } else if (dropped > 0) {
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, static_cast<int>(dropped));
        cursor.removeSelectedText();
    }
    shownLogIDs_.erase(shownLogIDs_.begin(), shownLogIDs_.begin() + static_cast<long>(dropped));
    cursor.movePosition(QTextCursor::End);
    for (std::size_t index = kept; index < lines.size(); ++index) {
        QTextCharFormat format;
        if (QColor colour = logColour(lines[index].kind); colour.isValid()) format.setForeground(colour);
        if (!shownLogIDs_.empty()) cursor.insertBlock(QTextBlockFormat(), format);
        cursor.insertText(q(lines[index].text), format);
        shownLogIDs_.push_back(lines[index].id);
    }
    cursor.endEditBlock();
    shownLogFilter_ = model_.logFilter;
    shownLogPaused_ = model_.logPaused;
    if (!model_.logPaused) logView_->verticalScrollBar()->setValue(logView_->verticalScrollBar()->maximum());
}

void MainWindow::renderDialogs() {
    if (model_.pendingCommand && model_.pendingCommand->id != shownPendingID_) {
        PendingCommand pending = *model_.pendingCommand;
        shownPendingID_ = pending.id;
        auto* box =
            new QMessageBox(QMessageBox::Question, q(pending.title), q(pending.title), QMessageBox::NoButton, this);
        box->setObjectName("pendingCommandDialog");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setInformativeText(q("DHCP Anvil will run:\n\n" + pending.command));
        auto* run = box->addButton("Run with administrator password", QMessageBox::AcceptRole);
        box->addButton("Cancel", QMessageBox::RejectRole);
        connect(box, &QMessageBox::finished, this, [this, box, run, pending] {
            if (box->clickedButton() == run)
                model_.run(pending);
            else if (model_.pendingCommand && model_.pendingCommand->id == pending.id)
                model_.cancelPendingCommand();
        });
        box->open();
    }
    if (model_.lastError && !errorShown_) {
        errorShown_ = true;
        std::string message = *model_.lastError;
        if (model_.failedCommand) message += "\n\nYou can run this in Terminal instead:\n" + *model_.failedCommand;
        auto* box = new QMessageBox(QMessageBox::Warning, "Something went wrong", "Something went wrong",
                                    QMessageBox::NoButton, this);
        box->setObjectName("errorAlert");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setInformativeText(q(message));
        if (model_.failedCommand) {
            auto* copy = box->addButton("Copy Terminal command", QMessageBox::ActionRole);
            copy->disconnect();
            connect(copy, &QPushButton::clicked, this,
                    [command = *model_.failedCommand] { QGuiApplication::clipboard()->setText(q(command)); });
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
    model_.settingsOpen = true;
    settingsDialog_ = new SettingsDialog(model_, this);
    settingsDialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(settingsDialog_, &QDialog::finished, this, [this] {
        model_.settingsOpen = false;
        scheduleRender();
    });
    settingsDialog_->open();
}

}  // namespace anvil
