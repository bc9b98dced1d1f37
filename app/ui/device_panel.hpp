#pragma once
// The panel shown while serving: the waiting panel until a device is found, then the device card.
#include <QGroupBox>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/app_model.hpp"
#include "app/ui/neighbour_card.hpp"

class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace anvil {

class WaitingPanel : public QWidget {
    Q_OBJECT
public:
    explicit WaitingPanel(AppModel& model, QWidget* parent = nullptr);
    void render();
    void animate(int frame);

private:
    AppModel& model_;
    QLabel* icon_;
    QLabel* listening_;
    QLabel* elapsed_;
    QLabel* next_;
    QWidget* hint_;
    QLabel* hintText_;
    QPushButton* hintAction_;
    std::map<int, QPixmap> frames_;
    qreal frameRatio_ = 0;
};

class DeviceCard : public QWidget {
    Q_OBJECT
public:
    // A row's value for the found device.
    using RowValue = std::function<std::string(const Lease& device, const AppModel& model)>;

    explicit DeviceCard(AppModel& model, QWidget* parent = nullptr);
    // Rows that count down are redrawn as the clock moves; the others only when the model changes.
    enum class Redraw { onChange, withClock };
    void addRow(const QString& name, RowValue value, Redraw redraw = Redraw::onChange);
    void render(const Lease& device);
    // Only time moved: the rows that count down.
    void renderClock(const Lease& device);

private:
    void renderTransfer(const Lease& device);

    struct Row {
        QLabel* title;
        QLabel* value;
        RowValue text;
        Redraw redraw;
    };
    AppModel& model_;
    QLabel* address_;
    QLabel* presence_;
    QGridLayout* rows_;
    std::vector<Row> rowValues_;
    // Network boot: the file on its way with its progress, and how the last one ended.
    QWidget* transfer_;
    QLabel* transferFile_;
    QProgressBar* transferProgress_;
    QLabel* transferResult_;
};

class DevicePanel : public QGroupBox {
    Q_OBJECT
public:
    explicit DevicePanel(AppModel& model, QWidget* parent = nullptr);
    void render(ModelChange parts);
    void animate(int frame);

private:
    AppModel& model_;
    WaitingPanel* waiting_;
    DeviceCard* card_;
    // The one device on the cable when nothing holds a lease.
    NeighbourCard* neighbour_;
};

}  // namespace anvil
