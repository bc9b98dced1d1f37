#pragma once
// "Also on the cable": devices seen on the cable that hold no lease, with what can be done about them.
#include <QAbstractTableModel>
#include <QGroupBox>
#include <QSortFilterProxyModel>
#include <array>
#include <optional>
#include <unordered_map>
#include <vector>

#include "app/ui/keyed_rows.hpp"
#include "app/model_change.hpp"
#include "core/addressing/date.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/watch/neighbour.hpp"
#include "core/watch/neighbour_advice.hpp"

class QTableView;
class QPushButton;
class QPoint;

namespace anvil {

class AppModel;

// The devices as rows keyed by hardware address: added, changed in place or removed as they are, so
// that a selection survives and an unchanged row costs nothing.
class CableTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { address, hardware, maker, identity, seen };
    static constexpr int columns = 5;

    explicit CableTableModel(QObject* parent = nullptr);
    void update(const std::vector<Neighbour>& devices, Date now);
    const Neighbour& deviceAt(int row) const { return rows_.at(static_cast<std::size_t>(row)).device; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        Neighbour device;
        std::array<QString, columns> texts;
    };
    static std::array<QString, columns> textsOf(const Neighbour& device, Date now);

    std::vector<Row> rows_;
    RowIndex rowOf_;
};

// Newest first by default; each column sorts by what it shows, "Last seen" by the time itself.
class CableOrder : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

class CableSection : public QGroupBox {
    Q_OBJECT
public:
    using Column = CableTableModel::Column;

    explicit CableSection(AppModel& model, QWidget* parent = nullptr);
    void render(ModelChange parts);
    QTableView* table() const { return view_; }

private:
    std::optional<MACAddress> selectedDevice() const;
    void updateButtons();
    void showMenu(const QPoint& position);

    AppModel& model_;
    CableTableModel* devices_;
    CableOrder* ordered_;
    QTableView* view_;
    QPushButton* reach_;
    QPushButton* stopReaching_;
    QPushButton* open_;
    QPushButton* copy_;
};

// "12 s ago", "3 min ago", "2 h ago".
QString relativeTime(double seconds);

// "Reach it (add 192.168.1.254/24)": the address it would add, said before anything is asked;
// "Reach it" when there is none to name.
QString reachItTitle(const std::optional<CardAddress>& address);

}  // namespace anvil
