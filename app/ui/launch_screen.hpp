#pragma once
// The launch screen: the port icon with a signal running across it, the title and the scan note.
#include <QWidget>

class QLabel;

namespace anvil {

class LaunchScreen : public QWidget {
    Q_OBJECT
public:
    explicit LaunchScreen(QWidget* parent = nullptr);
    // Draws the icon's next animation frame.
    void animate(int frame);

private:
    QLabel* icon_;
};

}  // namespace anvil
