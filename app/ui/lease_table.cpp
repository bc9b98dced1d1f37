#include "app/ui/lease_table.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/ui/cable_section.hpp"
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

std::string LeaseTableModel::transferLine(const ActiveTransfer& transfer) {
    // A cell draws control bytes as boxes or not at all: the client's name is shown escaped.
    std::string line = "TFTP " + plainText(transfer.file) + " ";
    if (auto percent = transfer.percent()) return line + std::to_string(*percent) + " %";
    return line + EventLog::byteCount(transfer.bytes);
}

QString LeaseTableModel::text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now,
                              const std::optional<std::string>& maker, const std::optional<std::string>& transfer) {
    switch (column) {
        case status: return presenceLabel(presence);
        case device: {
            std::string text = lease.hostname ? *lease.hostname + "  " + lease.mac.description() : lease.mac.description();
            return q(maker ? text + "  " + *maker : text);
        }
        case Column::lease: {
            std::string state(rawValue(lease.state));
            if (showsExpired(lease, now)) state += " (expired)";
            return q(transfer ? state + " \u00b7 " + *transfer : state);
        }
        case address: return q(lease.ip.description());
    }
    return {};
}

void LeaseTableModel::update(const AppModel& model) {
    Date now = model.now();
    const auto& leases = model.state.leases;
    // Rows whose lease left go, from the bottom up so that the indexes stay right.
    bool removed = false;
    for (int row = static_cast<int>(rows_.size()) - 1; row >= 0; --row) {
        if (leases.count(rows_[static_cast<std::size_t>(row)].lease.mac)) continue;
        beginRemoveRows({}, row, row);
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
        removed = true;
    }
    if (removed) {
        rowOf_.clear();
        for (std::size_t i = 0; i < rows_.size(); ++i) rowOf_[rows_[i].lease.mac] = i;
    }
    std::vector<Row> added;
    for (const auto& [mac, lease] : leases) {
        auto presence = model.presence(lease);
        std::optional<std::string> transfer;
        if (const auto* active = model.state.activeTransfer(mac, lease.ip)) transfer = transferLine(*active);
        auto found = rowOf_.find(mac);
        if (found == rowOf_.end()) {
            added.push_back({lease, presence, model.maker(mac), transfer});
            continue;
        }
        Row& row = rows_[found->second];
        if (row.lease == lease && row.presence == presence && row.transfer == transfer &&
            showsExpired(lease, now) == showsExpired(lease, now_))
            continue;
        row.lease = lease;
        row.presence = presence;
        row.transfer = std::move(transfer);
        changedRow(found->second);
    }
    now_ = now;
    if (added.empty()) return;
    int first = static_cast<int>(rows_.size());
    beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
    for (auto& row : added) {
        rowOf_[row.lease.mac] = rows_.size();
        rows_.push_back(std::move(row));
    }
    endInsertRows();
}

void LeaseTableModel::tick(Date now) {
    Date before = now_;
    now_ = now;
    for (std::size_t row = 0; row < rows_.size(); ++row)
        if (showsExpired(rows_[row].lease, now) != showsExpired(rows_[row].lease, before)) changedRow(row);
}

void LeaseTableModel::changedRow(std::size_t row) {
    int line = static_cast<int>(row);
    emit dataChanged(index(line, 0), index(line, columns - 1), {Qt::DisplayRole});
}

int LeaseTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LeaseTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns; }

QVariant LeaseTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole)
        return text(static_cast<Column>(index.column()), row.lease, row.presence, now_, row.maker, row.transfer);
    return {};
}

QVariant LeaseTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case status: return "Status";
        case device: return "Device";
        case lease: return "Lease";
        case address: return "Address";
        default: return {};
    }
}

LeaseOrder::LeaseOrder(QObject* parent) : QSortFilterProxyModel(parent) {}

bool LeaseOrder::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const auto* table = static_cast<const LeaseTableModel*>(sourceModel());
    return LeaseTable::displaysBefore(table->leaseAt(left.row()), table->presenceAt(left.row()),
                                      table->leaseAt(right.row()), table->presenceAt(right.row()));
}

LeasesPanel::LeasesPanel(AppModel& model, QWidget* parent) : QGroupBox("Leases", parent), model_(model) {
    setObjectName("leasesPanel");
    auto* layout = new QVBoxLayout(this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* refresh = new QPushButton("Refresh");
    refresh->setObjectName("refreshLeases");
    auto* clear = new QPushButton("Clear expired");
    clear->setObjectName("clearExpired");
    buttons->addWidget(refresh);
    buttons->addWidget(clear);
    layout->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, [this] { model_.refreshLeases(); });
    connect(clear, &QPushButton::clicked, this, [this] { model_.requestClearExpired(); });

    table_ = new LeaseTableModel(this);
    ordered_ = new LeaseOrder(this);
    ordered_->setSourceModel(table_);
    // Sorted once; the proxy then moves only the rows that change.
    ordered_->sort(0);
    view_ = new QTableView;
    view_->setObjectName("leaseTable");
    view_->setModel(ordered_);
    view_->horizontalHeader()->setStretchLastSection(true);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::status, QHeaderView::ResizeToContents);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::device, QHeaderView::Stretch);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::lease, QHeaderView::ResizeToContents);
    // Fitting the columns measures the rows on screen, not every lease at every change.
    view_->horizontalHeader()->setResizeContentsPrecision(0);
    view_->verticalHeader()->hide();
    // Rows as tall as a line of text needs, so that a laptop screen shows a whole bench of devices.
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 8);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setAlternatingRowColors(true);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view_, &QTableView::customContextMenuRequested, this, &LeasesPanel::showMenu);
    layout->addWidget(view_);
    cable_ = new CableSection(model_);
    layout->addWidget(cable_);
}

void LeasesPanel::render(ModelChange parts) {
    cable_->render(parts);
    // A row shows its device's transfer.
    if (parts.touches(ModelChange::leases | ModelChange::transfers))
        table_->update(model_);
    else if (parts.touches(ModelChange::clock))
        table_->tick(model_.now());
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
    menu->popup(view_->viewport()->mapToGlobal(position));
}

}  // namespace anvil
