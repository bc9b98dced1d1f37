#pragma once
// The lease table: a Qt model over the model's sorted leases, and the "Leases" section that shows it.
#include <QAbstractTableModel>
#include <QGroupBox>
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

    // Takes the model's leases in display order; rows are kept by MAC so that selections survive.
    void update(const AppModel& model);
    const Lease& leaseAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).lease; }

    // The text of one cell.
    static QString text(Column column, const Lease& lease, std::optional<PresenceState> presence, Date now);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        Lease lease;
        std::optional<PresenceState> presence;
    };
    std::vector<Row> rows_;
    Date now_{};
};

class LeasesPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit LeasesPanel(AppModel& model, QWidget* parent = nullptr);
    void render();
    QTableView* view() const { return view_; }

private:
    void showMenu(const QPoint& position);

    AppModel& model_;
    LeaseTableModel* table_;
    QTableView* view_;
};

}  // namespace anvil
