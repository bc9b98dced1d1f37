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
#include <map>

#include "app/ui/texts.hpp"

namespace anvil {

LeaseTableModel::LeaseTableModel(QObject* parent) : QAbstractTableModel(parent) {}

QString LeaseTableModel::text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now) {
    switch (column) {
        case status: return presenceLabel(presence);
        case device:
            return q(lease.hostname ? *lease.hostname + "  " + lease.mac.description() : lease.mac.description());
        case Column::lease: {
            std::string state(rawValue(lease.state));
            bool live = lease.state == Lease::State::bound || lease.state == Lease::State::offered;
            return q(live && lease.isExpired(now) ? state + " (expired)" : state);
        }
        case address: return q(lease.ip.description());
    }
    return {};
}

void LeaseTableModel::update(const AppModel& model) {
    auto leases = model.sortedLeases();
    now_ = model.now();
    std::map<std::string, std::size_t> wanted;
    for (std::size_t i = 0; i < leases.size(); ++i) wanted[leases[i].mac.description()] = i;

    // Rows whose lease left go, from the bottom up so that the indexes stay right.
    for (int row = static_cast<int>(rows_.size()) - 1; row >= 0; --row) {
        if (wanted.count(rows_[static_cast<std::size_t>(row)].lease.mac.description())) continue;
        beginRemoveRows({}, row, row);
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
    }
    // New leases join at the end, then every row moves to its place in one layout change.
    std::vector<Lease> added;
    for (const auto& lease : leases)
        if (std::none_of(rows_.begin(), rows_.end(), [&](const Row& row) { return row.lease.mac == lease.mac; }))
            added.push_back(lease);
    if (!added.empty()) {
        int first = static_cast<int>(rows_.size());
        beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
        for (auto& lease : added) rows_.push_back({std::move(lease), std::nullopt});
        endInsertRows();
    }
    bool ordered = true;
    for (std::size_t i = 0; i < rows_.size(); ++i) ordered &= wanted[rows_[i].lease.mac.description()] == i;
    if (!ordered) {
        emit layoutAboutToBeChanged();
        QModelIndexList from = persistentIndexList();
        QModelIndexList to;
        for (const auto& index : from)
            to << this->index(static_cast<int>(wanted[rows_[static_cast<std::size_t>(index.row())].lease.mac.description()]),
                              index.column());
        std::vector<Row> sorted(rows_.size());
        for (auto& row : rows_) sorted[wanted[row.lease.mac.description()]] = std::move(row);
        rows_ = std::move(sorted);
        changePersistentIndexList(from, to);
        emit layoutChanged();
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        rows_[i].lease = leases[i];
        rows_[i].presence = model.presence(leases[i]);
    }
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::DisplayRole});
}

int LeaseTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LeaseTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns; }

QVariant LeaseTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) return text(static_cast<Column>(index.column()), row.lease, row.presence, now_);
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
    view_ = new QTableView;
    view_->setObjectName("leaseTable");
    view_->setModel(table_);
    view_->horizontalHeader()->setStretchLastSection(true);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::status, QHeaderView::ResizeToContents);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::device, QHeaderView::Stretch);
    view_->horizontalHeader()->setSectionResizeMode(LeaseTableModel::lease, QHeaderView::ResizeToContents);
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
}

void LeasesPanel::render() { table_->update(model_); }

void LeasesPanel::showMenu(const QPoint& position) {
    QModelIndex index = view_->indexAt(position);
    if (!index.isValid()) return;
    Lease lease = table_->leaseAt(index.row());
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
