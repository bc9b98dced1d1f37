#pragma once
// "Also on the cable": devices seen on the cable that hold no lease, with what can be done about them.
#include <QGroupBox>

#include "app/model_change.hpp"
#include "core/addressing/mac_address.hpp"

class QTableWidget;
class QPushButton;
class QPoint;

namespace anvil {

class AppModel;

class CableSection : public QGroupBox {
    Q_OBJECT
public:
    enum Column { address, hardware, maker, identity, seen, columnCount };

    explicit CableSection(AppModel& model, QWidget* parent = nullptr);
    void render(ModelChange parts);
    QTableWidget* table() const { return table_; }

private:
    std::optional<MACAddress> selectedDevice() const;
    void updateButtons();
    void showMenu(const QPoint& position);

    AppModel& model_;
    QTableWidget* table_;
    QPushButton* reach_;
    QPushButton* stopReaching_;
    QPushButton* open_;
    QPushButton* copy_;
};

// "12 s ago", "3 min ago", "2 h ago".
QString relativeTime(double seconds);

}  // namespace anvil
