#pragma once
// The lease table: a Qt model of the model's leases keyed by hardware address, a proxy that keeps
// them in display order, and the "Leases" section that shows them.
#include <QAbstractTableModel>
#include <QGroupBox>
#include <QSortFilterProxyModel>
#include <unordered_map>
#include <vector>

#include "app/app_model.hpp"

class QTableView;

namespace anvil {

class LeaseTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { status, device, lease, address };
    static constexpr int columns = 4;

    explicit LeaseTableModel(QObject* parent = nullptr);

    // Follows the model's leases: a row per hardware address, added, changed in place or removed as
    // its lease is, so that selections survive and unchanged rows cost nothing.
    void update(const AppModel& model);
    // Time moved on: only the rows whose lease ran out since are redrawn.
    void tick(Date now);
    const Lease& leaseAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).lease; }
    std::optional<PresenceState> presenceAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).presence; }

    // The text of one cell.
    static QString text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now,
                        const std::optional<std::string>& maker = std::nullopt,
                        const std::optional<std::string>& transfer = std::nullopt);
    // The short line of a boot file on its way, "TFTP ipxe.efi 45 %".
    static std::string transferLine(const ActiveTransfer& transfer);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        Lease lease;
        std::optional<PresenceState> presence;
        std::optional<std::string> maker;
        std::optional<std::string> transfer;
    };
    void changedRow(std::size_t row);

    std::vector<Row> rows_;
    std::unordered_map<MACAddress, std::size_t> rowOf_;
    Date now_{};
};

// Orders the rows as the lease list is ordered everywhere: by presence, then address.
class LeaseOrder : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit LeaseOrder(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

class LeasesPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit LeasesPanel(AppModel& model, QWidget* parent = nullptr);
    void render(ModelChange parts);
    QTableView* view() const { return view_; }

private:
    void showMenu(const QPoint& position);

    AppModel& model_;
    LeaseTableModel* table_;
    LeaseOrder* ordered_;
    QTableView* view_;
    class CableSection* cable_;
};

}  // namespace anvil
