#pragma once
// The check strip (one compact mark per check) and the checklist panel shown before Start.
#include <QGroupBox>
#include <QWidget>
#include <vector>

#include "app/app_model.hpp"

class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace anvil {

class CheckStrip : public QWidget {
    Q_OBJECT
public:
    explicit CheckStrip(QWidget* parent = nullptr);
    void render(const AppModel& model);

private:
    QHBoxLayout* layout_;
    std::vector<QLabel*> marks_;
};

class ChecklistPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit ChecklistPanel(AppModel& model, QWidget* parent = nullptr);
    void render();

private:
    struct Row {
        QWidget* widget;
        QLabel* mark;
        QLabel* message;
        QPushButton* fix;
    };
    AppModel& model_;
    QVBoxLayout* rowsLayout_;
    QLabel* prompt_;
    std::vector<Row> rows_;
    std::vector<QLabel*> notes_;
    QVBoxLayout* notesLayout_;
};

}  // namespace anvil
