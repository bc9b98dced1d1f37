#include "app/ui/cable_section.hpp"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <unordered_set>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/app_model.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

QString relativeTime(double seconds) {
    if (seconds < 60) return QString("%1 s ago").arg(static_cast<long long>(std::max(0.0, seconds)));
    if (seconds < 3600) return QString("%1 min ago").arg(static_cast<long long>(seconds / 60));
    return QString("%1 h ago").arg(static_cast<long long>(seconds / 3600));
}

QString reachItTitle(const std::optional<CardAddress>& address) {
    return address ? q("Reach it (add " + address->cidr() + ")") : QString("Reach it");
}

namespace {

QString claimsText(const Neighbour& device) {
    std::string text;
    for (auto address = device.claims.rbegin(); address != device.claims.rend(); ++address)
        text += (text.empty() ? "" : ", ") + address->description();
    return q(text);
}

QString identityText(const Neighbour& device) {
    if (!device.lldp) return {};
    std::string text = device.lldp->systemName;
    if (!device.lldp->model.empty()) text += (text.empty() ? "" : " \u00b7 ") + device.lldp->model;
    return q(text);
}

}  // namespace

CableTableModel::CableTableModel(QObject* parent) : QAbstractTableModel(parent) {}

std::array<QString, CableTableModel::columns> CableTableModel::textsOf(const Neighbour& device, Date now) {
    // Cells never read markup; every device text still goes through q() as it is.
    return {claimsText(device), q(device.mac.description()), q(device.maker), identityText(device),
            relativeTime(now.secondsSince(device.lastSeen))};
}

void CableTableModel::update(const std::vector<Neighbour>& devices, Date now) {
    std::unordered_set<MACAddress> wanted;
    for (const auto& device : devices) wanted.insert(device.mac);
    auto keyOf = [](const Row& row) { return row.device.mac; };
    removeRowsNotKept(
        rows_, rowOf_, keyOf, [&](const Row& row) { return wanted.count(row.device.mac) > 0; },
        [this](int row, auto erase) {
            beginRemoveRows({}, row, row);
            erase();
            endRemoveRows();
        });
    std::vector<Row> added;
    for (const auto& device : devices) {
        auto texts = textsOf(device, now);
        auto found = rowOf_.find(device.mac);
        if (found == rowOf_.end()) {
            added.push_back({device, std::move(texts)});
            continue;
        }
        Row& row = rows_[found->second];
        if (row.device == device && row.texts == texts) continue;
        row.device = device;
        row.texts = std::move(texts);
        int line = static_cast<int>(found->second);
        emit dataChanged(index(line, 0), index(line, columns - 1), {Qt::DisplayRole, Qt::ToolTipRole});
    }
    appendRows(rows_, rowOf_, keyOf, std::move(added), [this](int first, int last, auto insert) {
        beginInsertRows({}, first, last);
        insert();
        endInsertRows();
    });
}

int CableTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CableTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns; }

QVariant CableTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columns) return {};
    const QString& text = rows_[static_cast<std::size_t>(index.row())].texts[static_cast<std::size_t>(index.column())];
    if (role == Qt::DisplayRole) return text;
    if (role == Qt::ToolTipRole && !text.isEmpty()) return plainToolTip(text);
    return {};
}

QVariant CableTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case address: return "Address";
        case hardware: return "Hardware address";
        case maker: return "Maker";
        case identity: return "LLDP name / model";
        case seen: return "Last seen";
        default: return {};
    }
}

bool CableOrder::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const auto* devices = static_cast<const CableTableModel*>(sourceModel());
    const Neighbour& a = devices->deviceAt(left.row());
    const Neighbour& b = devices->deviceAt(right.row());
    auto newestFirst = [&] {
        if (a.lastSeen != b.lastSeen) return b.lastSeen < a.lastSeen;
        return a.mac.description() < b.mac.description();
    };
    switch (left.column()) {
        case CableTableModel::seen: return newestFirst();
        case CableTableModel::hardware: return a.mac.description() < b.mac.description();
        case CableTableModel::address:
            // By the newest address each names; those that named none last.
            if (a.claims.empty() != b.claims.empty()) return !a.claims.empty();
            if (a.claims.empty() || a.claims.back() == b.claims.back()) return newestFirst();
            return a.claims.back().value < b.claims.back().value;
        default: {
            int order = left.data().toString().localeAwareCompare(right.data().toString());
            return order != 0 ? order < 0 : newestFirst();
        }
    }
}

CableSection::CableSection(AppModel& model, QWidget* parent) : QGroupBox(parent), model_(model) {
    setObjectName("cableSection");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(4);
    // The title shares its row with the buttons: a laptop screen has no line to spare.
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(headingLabel("Also on the cable"));
    buttons->addStretch();
    layout->addLayout(buttons);
    devices_ = new CableTableModel(this);
    ordered_ = new CableOrder(this);
    ordered_->setSourceModel(devices_);
    view_ = new QTableView;
    view_->setObjectName("cableTable");
    view_->setModel(ordered_);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 8);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setWordWrap(false);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    view_->setSortingEnabled(true);
    view_->sortByColumn(CableTableModel::seen, Qt::AscendingOrder);
    // Each column as wide as its title and what it usually holds; the device's own name takes the rest.
    auto* header = view_->horizontalHeader();
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    QFontMetrics metrics = view_->fontMetrics();
    auto fit = [&](Column column, const char* sample) {
        int width = std::max(header->sectionSizeHint(column), metrics.horizontalAdvance(sample) + metrics.height());
        header->resizeSection(column, width);
    };
    fit(Column::address, "192.168.100.200");
    fit(Column::hardware, "66:9f:ca:70:7e:c1");
    fit(Column::maker, "locally administered");
    fit(Column::identity, "switch-01 \u00b7 model");
    fit(Column::seen, "59 min ago");
    header->setSectionResizeMode(Column::identity, QHeaderView::Stretch);
    layout->addWidget(view_);
    reach_ = new QPushButton("Reach it");
    reach_->setObjectName("reachNeighbour");
    stopReaching_ = new QPushButton("Stop reaching");
    stopReaching_->setObjectName("stopReaching");
    open_ = new QPushButton("Open in browser");
    open_->setObjectName("openNeighbour");
    copy_ = new QPushButton("Copy IP");
    copy_->setObjectName("copyNeighbourIP");
    for (auto* button : {reach_, stopReaching_, open_, copy_}) buttons->addWidget(button);
    connect(reach_, &QPushButton::clicked, this, [this] {
        if (auto mac = selectedDevice()) model_.askToReach(*mac);
    });
    connect(stopReaching_, &QPushButton::clicked, this, [this] {
        if (auto mac = selectedDevice()) model_.stopReaching(*mac);
    });
    connect(open_, &QPushButton::clicked, this, [this] {
        if (auto mac = selectedDevice()) model_.openNeighbourInBrowser(*mac);
    });
    connect(copy_, &QPushButton::clicked, this, [this] {
        if (auto mac = selectedDevice())
            if (auto address = model_.neighbourAddress(*mac))
                QGuiApplication::clipboard()->setText(q(address->description()));
    });
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CableSection::updateButtons);
    connect(view_, &QTableView::customContextMenuRequested, this, &CableSection::showMenu);
    setVisible(false);
}

std::optional<MACAddress> CableSection::selectedDevice() const {
    auto rows = view_->selectionModel()->selectedRows();
    int row = -1;
    if (!rows.isEmpty())
        row = ordered_->mapToSource(rows.front()).row();
    else if (devices_->rowCount() == 1)
        row = 0;
    if (row < 0) return std::nullopt;
    return devices_->deviceAt(row).mac;
}

void CableSection::render(ModelChange parts) {
    // The devices without a lease: a lease taken hides one. Transfers show elsewhere.
    if (!parts.touches(ModelChange::neighbours | ModelChange::leases | ModelChange::clock)) return;
    auto devices = model_.state.neighboursWithoutLease();
    devices_->update(devices, model_.now());
    setVisible(!devices.empty());
    updateButtons();
}

void CableSection::updateButtons() {
    auto mac = selectedDevice();
    bool reached = mac && model_.isReached(*mac);
    bool hasAddress = mac && model_.neighbourAddress(*mac).has_value();
    // The advice reads the host's networks: once per redraw.
    auto address = mac ? model_.reachAddress(*mac) : std::nullopt;
    bool reachable = address && !reached;
    reach_->setVisible(reachable);
    if (reachable) {
        QString title = plainActionText(reachItTitle(address));
        if (reach_->text() != title) reach_->setText(title);
    }
    stopReaching_->setVisible(reached);
    open_->setEnabled(hasAddress);
    copy_->setEnabled(hasAddress);
}

void CableSection::showMenu(const QPoint& position) {
    QModelIndex index = view_->indexAt(position);
    if (!index.isValid()) return;
    view_->selectRow(index.row());
    auto mac = selectedDevice();
    if (!mac) return;
    auto* menu = new QMenu(this);
    menu->setObjectName("cableMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (auto address = model_.reachAddress(*mac); address && !model_.isReached(*mac))
        connect(menu->addAction(plainActionText(reachItTitle(address))), &QAction::triggered, this,
                [this, mac] { model_.askToReach(*mac); });
    if (model_.isReached(*mac))
        connect(menu->addAction("Stop reaching"), &QAction::triggered, this, [this, mac] { model_.stopReaching(*mac); });
    if (auto address = model_.neighbourAddress(*mac)) {
        connect(menu->addAction("Open in browser"), &QAction::triggered, this,
                [this, mac] { model_.openNeighbourInBrowser(*mac); });
        connect(menu->addAction("Copy IP"), &QAction::triggered, this,
                [address] { QGuiApplication::clipboard()->setText(q(address->description())); });
    }
    menu->popup(view_->viewport()->mapToGlobal(position));
}

}  // namespace anvil
