#include "app/ui/cable_section.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/app_model.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

QString relativeTime(double seconds) {
    if (seconds < 60) return QString("%1 s ago").arg(static_cast<long long>(std::max(0.0, seconds)));
    if (seconds < 3600) return QString("%1 min ago").arg(static_cast<long long>(seconds / 60));
    return QString("%1 h ago").arg(static_cast<long long>(seconds / 3600));
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

CableSection::CableSection(AppModel& model, QWidget* parent) : QGroupBox("Also on the cable", parent), model_(model) {
    setObjectName("cableSection");
    auto* layout = new QVBoxLayout(this);
    table_ = new QTableWidget(0, columnCount);
    table_->setObjectName("cableTable");
    table_->setHorizontalHeaderLabels({"Address", "Hardware address", "Maker", "LLDP name / model", "Last seen"});
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setMaximumHeight(table_->fontMetrics().height() * 8);
    layout->addWidget(table_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    reach_ = new QPushButton("Reach it");
    reach_->setObjectName("reachNeighbour");
    stopReaching_ = new QPushButton("Stop reaching");
    stopReaching_->setObjectName("stopReaching");
    open_ = new QPushButton("Open in browser");
    open_->setObjectName("openNeighbour");
    copy_ = new QPushButton("Copy IP");
    copy_->setObjectName("copyNeighbourIP");
    for (auto* button : {reach_, stopReaching_, open_, copy_}) buttons->addWidget(button);
    layout->addLayout(buttons);
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
    connect(table_, &QTableWidget::itemSelectionChanged, this, &CableSection::updateButtons);
    connect(table_, &QTableWidget::customContextMenuRequested, this, &CableSection::showMenu);
    setVisible(false);
}

std::optional<MACAddress> CableSection::selectedDevice() const {
    auto rows = table_->selectionModel()->selectedRows();
    int row = rows.isEmpty() ? (table_->rowCount() == 1 ? 0 : -1) : rows.front().row();
    if (row < 0) return std::nullopt;
    auto* item = table_->item(row, hardware);
    if (!item) return std::nullopt;
    return MACAddress::parse(item->data(Qt::UserRole).toString().toStdString());
}

void CableSection::render(ModelChange parts) {
    // The devices without a lease: a lease taken hides one. Transfers show elsewhere.
    if (!parts.touches(ModelChange::neighbours | ModelChange::leases | ModelChange::clock)) return;
    auto devices = model_.state.neighboursWithoutLease();
    std::optional<MACAddress> selected = selectedDevice();
    table_->setRowCount(static_cast<int>(devices.size()));
    Date now = model_.now();
    for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
        const Neighbour& device = devices[static_cast<std::size_t>(row)];
        // Table items never read markup; every device text still goes through q() as it is.
        auto put = [&](Column column, const QString& text) {
            auto* item = new QTableWidgetItem(text);
            item->setToolTip(plainToolTip(text));
            table_->setItem(row, column, item);
            return item;
        };
        put(address, claimsText(device));
        put(hardware, q(device.mac.description()))->setData(Qt::UserRole, q(device.mac.description()));
        put(maker, q(device.maker));
        put(identity, identityText(device));
        put(seen, relativeTime(now.secondsSince(device.lastSeen)));
        if (selected && *selected == device.mac) table_->selectRow(row);
    }
    setVisible(!devices.empty());
    updateButtons();
}

void CableSection::updateButtons() {
    auto mac = selectedDevice();
    bool reached = mac && model_.isReached(*mac);
    bool hasAddress = mac && model_.neighbourAddress(*mac).has_value();
    reach_->setVisible(mac && model_.canReach(*mac));
    stopReaching_->setVisible(reached);
    open_->setEnabled(hasAddress);
    copy_->setEnabled(hasAddress);
}

void CableSection::showMenu(const QPoint& position) {
    auto* item = table_->itemAt(position);
    if (!item) return;
    table_->selectRow(item->row());
    auto mac = selectedDevice();
    if (!mac) return;
    auto* menu = new QMenu(this);
    menu->setObjectName("cableMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (model_.canReach(*mac))
        connect(menu->addAction("Reach it"), &QAction::triggered, this, [this, mac] { model_.askToReach(*mac); });
    if (model_.isReached(*mac))
        connect(menu->addAction("Stop reaching"), &QAction::triggered, this, [this, mac] { model_.stopReaching(*mac); });
    if (auto address = model_.neighbourAddress(*mac)) {
        connect(menu->addAction("Open in browser"), &QAction::triggered, this,
                [this, mac] { model_.openNeighbourInBrowser(*mac); });
        connect(menu->addAction("Copy IP"), &QAction::triggered, this,
                [address] { QGuiApplication::clipboard()->setText(q(address->description())); });
    }
    menu->popup(table_->viewport()->mapToGlobal(position));
}

}  // namespace anvil
