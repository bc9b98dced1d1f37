#pragma once
// The live log: a Qt list model over the lines the model shows, and the "Live log" section.
#include <QAbstractListModel>
#include <QColor>
#include <QFont>
#include <QGroupBox>
#include <QPalette>
#include <array>
#include <deque>
#include <set>

#include "app/app_model.hpp"

class QLineEdit;
class QListView;
class QToolButton;

namespace anvil {

class LogListModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    // Follows the lines: those that left the front are removed and new ones appended, so that the
    // view keeps its scroll position; anything else starts over.
    void update(const std::deque<LogLine>& lines);
    // Picks the line colours for this palette.
    void setPalette(const QPalette& palette);
    // The font the lines are measured in; `padding` is what a view adds around a line's text.
    void setFont(const QFont& font, QSize padding);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Shown {
        LogLine line;
        int width;
    };
    void append(const LogLine& line);
    void popFront();
    int measure(const std::string& text) const;

    std::deque<Shown> lines_;
    // The widths of the shown lines, so that the widest is known without measuring them all again.
    std::multiset<int> widths_;
    QFont font_;
    QSize padding_;
    std::array<QColor, 5> colours_;
};

class LiveLogPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit LiveLogPanel(AppModel& model, QWidget* parent = nullptr);
    void render();
    // Ctrl+F: the filter takes the keyboard, its text selected for typing over.
    void focusFilter();

protected:
    void changeEvent(QEvent* event) override;

private:
    AppModel& model_;
    QLineEdit* filter_;
    QToolButton* pause_;
    LogListModel* lines_;
    QListView* view_;
    bool following_ = true;
};

}  // namespace anvil
