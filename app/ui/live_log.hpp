#pragma once
// The live log: a Qt list model over the lines the model shows, a filter proxy, and the "Live log" section.
#include <QAbstractListModel>
#include <QColor>
#include <QPalette>
#include <array>
#include <QGroupBox>
#include <QSortFilterProxyModel>
#include <string>
#include <vector>

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
    void update(const std::vector<LogLine>& lines);
    // Picks the line colours for this palette.
    void setPalette(const QPalette& palette);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<LogLine> lines_;
    std::array<QColor, 5> colours_;
};

// Shows the lines that pass the model's filter, compared as the model compares them.
class LogFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setFilter(const std::string& filter);

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    std::string filter_;
};

class LiveLogPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit LiveLogPanel(AppModel& model, QWidget* parent = nullptr);
    void render();

protected:
    void changeEvent(QEvent* event) override;

private:
    AppModel& model_;
    QLineEdit* filter_;
    QToolButton* pause_;
    LogListModel* lines_;
    LogFilter* shown_;
    QListView* view_;
    bool following_ = true;
};

}  // namespace anvil
