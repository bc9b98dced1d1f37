#pragma once
// The banner stack: one banner per notice, kept while its notice stays so that its buttons keep working.
#include <QFrame>
#include <QWidget>
#include <map>

#include "app/app_model.hpp"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace anvil {

class Banner : public QFrame {
    Q_OBJECT
public:
    Banner(AppModel& model, NoticeKind kind, QWidget* parent = nullptr);
    void render(const Notice& notice);

private:
    AppModel& model_;
    NoticeKind kind_;
    QLabel* symbol_;
    QLabel* message_;
    QPushButton* action_;
    // The actions of a notice about a device on the cable.
    QPushButton* reach_;
    QPushButton* openDevice_;
    QPushButton* copyIP_;
    QPushButton* stopReaching_;
    QPushButton* serveFile_;
    std::optional<MACAddress> device_;
    QPushButton* dismiss_;
};

class BannerStack : public QWidget {
    Q_OBJECT
public:
    explicit BannerStack(AppModel& model, QWidget* parent = nullptr);
    void render();

private:
    AppModel& model_;
    QVBoxLayout* layout_;
    std::map<NoticeKind, Banner*> banners_;
};

}  // namespace anvil
