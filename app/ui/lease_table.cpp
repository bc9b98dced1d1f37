#include "app/ui/lease_table.hpp"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/ui/colours.hpp"
#include "app/ui/layout_state.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/events/event_log.hpp"
#include "core/leases/lease_table.hpp"

namespace anvil {

namespace {

bool showsExpired(const Lease& lease, Date now) {
    bool live = lease.state == Lease::State::bound || lease.state == Lease::State::offered;
    return live && lease.isExpired(now);
}

}  // namespace

LeaseTableModel::LeaseTableModel(QObject* parent) : QAbstractTableModel(parent) {}

std::size_t LeaseTableModel::markerIndex(std::optional<PresenceState> presence) {
    if (!presence) return 0;
    switch (*presence) {
        case PresenceState::online: return 1;
        case PresenceState::unknown: return 2;
        case PresenceState::offline: return 3;
        case PresenceState::conflict: return 4;
    }
    return 0;
}

std::string LeaseTableModel::transferLine(const ActiveTransfer& transfer) {
    // A cell draws control bytes as boxes or not at all: the client's name is shown escaped.
    std::string line = "TFTP " + plainText(transfer.file) + " ";
    if (auto percent = transfer.percent()) return line + std::to_string(*percent) + " %";
    return line + EventLog::byteCount(transfer.bytes);
}

QString LeaseTableModel::text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now,
                              const std::optional<std::string>& maker, const std::optional<std::string>& transfer,
                              std::optional<IPv4Address> pinned) {
    switch (column) {
        case status: return presenceLabel(presence);
        case hostName: return q(lease.hostname.value_or(""));
        case hardware: return q(lease.mac.description());
        case Column::maker: return q(maker.value_or(""));
        case address: {
            std::string text = lease.ip.description();
            if (pinned) text += *pinned == lease.ip ? " (pinned)" : " (pinned to " + pinned->description() + ")";
            return q(text);
        }
        case Column::lease: {
            std::string state = stateText(lease);
            if (showsExpired(lease, now)) state += " (expired)";
            return q(transfer ? state + " \u00b7 " + *transfer : state);
        }
    }
    return {};
}

void LeaseTableModel::setPalette(const QPalette& palette) {
    markers_[0] = presenceMarker(std::nullopt, palette);
    for (auto presence :
         {PresenceState::online, PresenceState::unknown, PresenceState::offline, PresenceState::conflict})
        markers_[markerIndex(presence)] = presenceMarker(presence, palette);
    if (!rows_.empty()) emit dataChanged(index(0, status), index(rowCount() - 1, status), {Qt::DecorationRole});
}

void LeaseTableModel::update(const AppModel& model) {
    Date now = model.now();
    const auto& leases = model.state.leases;
    auto keyOf = [](const Row& row) { return row.lease.mac; };
    removeRowsNotKept(
        rows_, rowOf_, keyOf, [&](const Row& row) { return leases.count(row.lease.mac) > 0; },
        [this](int row, auto erase) {
            beginRemoveRows({}, row, row);
            erase();
            endRemoveRows();
        });
    std::vector<Row> added;
    for (const auto& [mac, lease] : leases) {
        auto presence = model.presence(lease);
        std::optional<std::string> transfer;
        if (const auto* active = model.state.activeTransfer(mac, lease.ip)) transfer = transferLine(*active);
        std::optional<IPv4Address> pinned;
        if (const Pin* pin = model.pinFor(mac)) pinned = pin->ip;
        auto found = rowOf_.find(mac);
        if (found == rowOf_.end()) {
            added.push_back({lease, presence, model.maker(mac), transfer, pinned});
            continue;
        }
        Row& row = rows_[found->second];
        if (row.lease == lease && row.presence == presence && row.transfer == transfer && row.pinned == pinned &&
            showsExpired(lease, now) == showsExpired(lease, now_))
            continue;
        row.lease = lease;
        row.presence = presence;
        row.transfer = std::move(transfer);
        row.pinned = pinned;
        changedRow(found->second);
    }
    now_ = now;
    appendRows(rows_, rowOf_, keyOf, std::move(added), [this](int first, int last, auto insert) {
        beginInsertRows({}, first, last);
        insert();
        endInsertRows();
    });
}

void LeaseTableModel::changedRow(std::size_t row) {
    int line = static_cast<int>(row);
    emit dataChanged(index(line, 0), index(line, columns - 1), {Qt::DisplayRole, Qt::DecorationRole, Qt::ToolTipRole});
}

int LeaseTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LeaseTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns; }

QVariant LeaseTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    auto column = static_cast<Column>(index.column());
    if (role == Qt::DisplayRole)
        return text(column, row.lease, row.presence, now_, row.maker, row.transfer, row.pinned);
    if (role == Qt::DecorationRole && column == status) return markers_[markerIndex(row.presence)];
    // A long name is cut in its cell; the tooltip shows it whole, as text.
    if (role == Qt::ToolTipRole && (column == hostName || column == maker || column == lease || column == address)) {
        QString shown = text(column, row.lease, row.presence, now_, row.maker, row.transfer, row.pinned);
        return shown.isEmpty() ? QVariant() : QVariant(plainToolTip(shown));
    }
    return {};
}

QVariant LeaseTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case status: return "Status";
        case hostName: return "Host name";
        case hardware: return "Hardware address";
        case maker: return "Maker";
        case address: return "Address";
        case lease: return "Lease";
        default: return {};
    }
}

LeaseOrder::LeaseOrder(QObject* parent) : QSortFilterProxyModel(parent) {}

bool LeaseOrder::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const auto* table = static_cast<const LeaseTableModel*>(sourceModel());
    const Lease& a = table->leaseAt(left.row());
    const Lease& b = table->leaseAt(right.row());
    auto displayOrder = [&] {
        return LeaseTable::displaysBefore(a, table->presenceAt(left.row()), b, table->presenceAt(right.row()));
    };
    auto byText = [&] {
        int order = left.data().toString().localeAwareCompare(right.data().toString());
        return order != 0 ? order < 0 : displayOrder();
    };
    switch (static_cast<LeaseTableModel::Column>(left.column())) {
        case LeaseTableModel::status: return displayOrder();
        case LeaseTableModel::address: return a.ip.value < b.ip.value;
        case LeaseTableModel::hardware: return a.mac.description() < b.mac.description();
        case LeaseTableModel::lease:
            if (a.state != b.state) return byText();
            return a.expiresAt != b.expiresAt ? a.expiresAt < b.expiresAt : displayOrder();
        case LeaseTableModel::hostName:
        case LeaseTableModel::maker: return byText();
    }
    return displayOrder();
}

LeasesPanel::LeasesPanel(AppModel& model, QWidget* parent) : QGroupBox(parent), model_(model) {
    setObjectName("leasesPanel");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(4);
    // The title shares its row with the buttons: a laptop screen has no line to spare.
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(headingLabel("Leases"));
    buttons->addStretch();
    auto* refresh = new QPushButton("&Refresh");
    refresh->setObjectName("refreshLeases");
    auto* clear = new QPushButton("C&lear expired");
    clear->setObjectName("clearExpired");
    buttons->addWidget(refresh);
    buttons->addWidget(clear);
    layout->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, [this] { model_.refreshLeases(); });
    connect(clear, &QPushButton::clicked, this, [this] { model_.requestClearExpired(); });

    table_ = new LeaseTableModel(this);
    table_->setPalette(palette());
    ordered_ = new LeaseOrder(this);
    ordered_->setSourceModel(table_);
    view_ = new QTableView;
    view_->setObjectName("leaseTable");
    view_->setModel(ordered_);
    view_->setSortingEnabled(true);
    auto* header = view_->horizontalHeader();
    header->setSectionsMovable(true);
    header->setHighlightSections(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    // Each column as wide as its title (with the sort arrow) and what it usually holds; the lease's
    // state and a transfer on its way take what is left.
    QFontMetrics metrics = view_->fontMetrics();
    auto fit = [&](LeaseTableModel::Column column, const char* sample) {
        header->resizeSection(
            column, std::max(header->sectionSizeHint(column), metrics.horizontalAdvance(sample) + metrics.height()));
    };
    fit(LeaseTableModel::status, "\u25cf\u25cf Checking");
    fit(LeaseTableModel::hostName, "bench-device-name");
    fit(LeaseTableModel::hardware, "66:9f:ca:70:7e:c1");
    fit(LeaseTableModel::maker, "locally administered");
    fit(LeaseTableModel::address, "192.168.100.200");
    view_->verticalHeader()->hide();
    // Rows as tall as a line of text needs, so that a laptop screen shows a whole bench of devices.
    view_->verticalHeader()->setDefaultSectionSize(metrics.height() + 8);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setAlternatingRowColors(true);
    view_->setWordWrap(false);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    // In display order until the user picks another column; the proxy then moves only the rows that change.
    view_->sortByColumn(LeaseTableModel::status, Qt::AscendingOrder);
    connect(view_, &QTableView::customContextMenuRequested, this, &LeasesPanel::showMenu);
    // Enter (or a double click) shows the row's details; Delete forgets its lease, asking first.
    connect(view_, &QTableView::activated, this,
            [this](const QModelIndex& index) { showDetails(table_->leaseAt(ordered_->mapToSource(index).row())); });
    view_->installEventFilter(this);
    layout->addWidget(view_);
    restoreLayout();
}

void LeasesPanel::restoreLayout() {
    QByteArray state = storedLayout(model_.settingsStore(), SettingsStore::leaseColumnsKey);
    auto* header = view_->horizontalHeader();
    // A state saved with other columns would put the widths on the wrong ones.
    if (state.isEmpty() || !header->restoreState(state) || header->count() != LeaseTableModel::columns) return;
    view_->sortByColumn(header->sortIndicatorSection(), header->sortIndicatorOrder());
}

void LeasesPanel::saveLayout() const {
    storeLayout(model_.settingsStore(), SettingsStore::leaseColumnsKey, view_->horizontalHeader()->saveState());
}

bool LeasesPanel::eventFilter(QObject* watched, QEvent* event) {
    // The menu key (or Shift+F10) opens the menu of the row with the keyboard's focus, wherever the pointer is.
    if (watched == view_ && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        if (QModelIndex index = view_->currentIndex(); index.isValid()) showMenu(view_->visualRect(index).center());
        return true;
    }
    if (watched == view_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Delete) || key->key() == Qt::Key_Delete) {
            if (auto lease = currentLease()) model_.requestForgetLease(lease->mac);
            return true;
        }
    }
    return QGroupBox::eventFilter(watched, event);
}

void LeasesPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) table_->setPalette(palette());
    QGroupBox::changeEvent(event);
}

void LeasesPanel::render(ModelChange parts) {
    // A row shows its device's transfer, but a transfer's progress (several a second) is taken at the
    // clock's pace: the table follows the leases, not each block.
    // Saved settings may pin or unpin a device.
    if (parts.touches(ModelChange::leases | ModelChange::clock | ModelChange::settings)) table_->update(model_);
}

std::optional<Lease> LeasesPanel::currentLease() const {
    QModelIndex index = view_->currentIndex();
    if (!index.isValid()) return std::nullopt;
    return table_->leaseAt(ordered_->mapToSource(index).row());
}

void LeasesPanel::showDetails(const Lease& lease) {
    if (details_) details_->close();
    auto line = [](const char* name, const std::string& value) { return std::string(name) + ": " + value + "\n"; };
    std::string text =
        line("Address", lease.ip.description()) + line("Hardware address", lease.mac.description()) +
        line("Host name", lease.hostname.value_or("\u2014")) +
        line("Maker", model_.maker(lease.mac).value_or("\u2014")) +
        line("Vendor", lease.vendorClass.value_or("\u2014")) +
        line("Requested", model_.requestedSummary(lease.mac).value_or("\u2014")) +
        line("Status", presenceLabel(model_.presence(lease)).toStdString()) + "Lease: " +
        LeaseTableModel::text(LeaseTableModel::lease, lease, model_.presence(lease), model_.now()).toStdString();
    auto* box = plainMessageBox(QMessageBox::Information, "Lease details", q(lease.ip.description()), this);
    box->setObjectName("leaseDetailsDialog");
    box->setAttribute(Qt::WA_DeleteOnClose);
    setPlainInformativeText(box, q(text));
    auto* open = box->addButton("&Open in browser", QMessageBox::ActionRole);
    open->disconnect();
    connect(open, &QPushButton::clicked, this, [this, ip = lease.ip] { model_.openInBrowser(ip); });
    auto* copy = box->addButton("&Copy IP", QMessageBox::ActionRole);
    copy->disconnect();
    connect(copy, &QPushButton::clicked, this,
            [ip = lease.ip] { QGuiApplication::clipboard()->setText(q(ip.description())); });
    box->addButton(QMessageBox::Close);
    details_ = box;
    box->open();
}

void LeasesPanel::showMenu(const QPoint& position) {
    QModelIndex index = view_->indexAt(position);
    if (!index.isValid()) return;
    Lease lease = table_->leaseAt(ordered_->mapToSource(index).row());
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
    menu->addSeparator();
    const Pin* pin = model_.pinFor(lease.mac);
    if (!pin || pin->ip != lease.ip)
        connect(menu->addAction("Always give this device this address"), &QAction::triggered, this,
                [this, lease] { model_.pinLease(lease); });
    if (pin)
        connect(menu->addAction("Unpin"), &QAction::triggered, this, [this, mac = lease.mac] { model_.unpin(mac); });
    menu->popup(view_->viewport()->mapToGlobal(position));
}

}  // namespace anvil
