#pragma once
// The lease table: a Qt model of the model's leases keyed by hardware address, a proxy that keeps
// them in display order or the column the user sorts by, and the "Leases" section that shows them.
#include <QAbstractTableModel>
#include <QGroupBox>
#include <QIcon>
#include <QPalette>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <array>
#include <unordered_map>
#include <vector>

#include "app/ui/keyed_rows.hpp"
#include "app/app_model.hpp"

class QTableView;

namespace anvil {

class LeaseTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { status, hostName, hardware, maker, address, lease };
    static constexpr int columns = 6;

    explicit LeaseTableModel(QObject* parent = nullptr);

    // Follows the model's leases: a row per hardware address, added, changed in place or removed as
    // its lease is, so that selections survive and unchanged rows cost nothing.
    void update(const AppModel& model);
    // Time moved on: only the rows whose lease ran out since are redrawn.
    void tick(Date now);
    const Lease& leaseAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).lease; }
    std::optional<PresenceState> presenceAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).presence; }

    // The text of one cell; `pinned` is the address the device is pinned to, if it is.
    static QString text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now,
                        const std::optional<std::string>& maker = std::nullopt,
                        const std::optional<std::string>& transfer = std::nullopt,
                        std::optional<IPv4Address> pinned = std::nullopt);
    // The status marker's colours follow the palette.
    void setPalette(const QPalette& palette);
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
        std::optional<IPv4Address> pinned;
    };
    void changedRow(std::size_t row);

    std::vector<Row> rows_;
    RowIndex rowOf_;
    Date now_{};
    // The status markers, one per presence and one for none, drawn once per palette.
    static std::size_t markerIndex(std::optional<PresenceState> presence);
    std::array<QIcon, 5> markers_;
};

// Orders the rows by the sorted column; by the status column as the lease list is ordered everywhere:
// by presence, then address. Ties fall back to that order too.
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
    // The columns' order, widths and sorting, as the user left them.
    void saveLayout() const;

protected:
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMenu(const QPoint& position);
    void restoreLayout();
    // The lease under the keyboard's focus, if a row has it.
    std::optional<Lease> currentLease() const;
    void showDetails(const Lease& lease);

    AppModel& model_;
    LeaseTableModel* table_;
    LeaseOrder* ordered_;
    QTableView* view_;
    QPointer<QWidget> details_;
};

}  // namespace anvil
