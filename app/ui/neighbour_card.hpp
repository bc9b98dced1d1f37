#pragma once
// The card shown for the one device on the cable when it holds no lease: what it says of itself.
#include <QWidget>
#include <string>

#include "app/app_model.hpp"

class QLabel;
class QPushButton;

namespace anvil {

// "Addresses: 192.168.1.1" … one line per thing the device told, in plain text (escaped).
std::string neighbourDetails(const Neighbour& neighbour);

class NeighbourCard : public QWidget {
    Q_OBJECT
public:
    explicit NeighbourCard(AppModel& model, QWidget* parent = nullptr);
    void render(const Neighbour& neighbour);

private:
    AppModel& model_;
    MACAddress shown_;
    QLabel* details_;
    QPushButton* reach_;
    QPushButton* stop_;
    QPushButton* open_;
};

}  // namespace anvil
