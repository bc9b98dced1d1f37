#include "app/ui/live_log.hpp"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

void LogListModel::update(const std::vector<LogLine>& lines) {
    // Identifiers only grow, so the lines that left are the shown ones older than the first new one.
    std::size_t gone = 0;
    while (gone < lines_.size() && (lines.empty() || lines_[gone].id < lines.front().id)) ++gone;
    std::size_t kept = lines_.size() - gone;
    bool continues = kept <= lines.size() && (kept == 0 || lines[kept - 1].id == lines_.back().id);
    if (!continues) {
        beginResetModel();
        lines_ = lines;
        endResetModel();
        return;
    }
    if (gone > 0) {
        beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(gone));
        endRemoveRows();
    }
    if (lines.size() > kept) {
        beginInsertRows({}, static_cast<int>(kept), static_cast<int>(lines.size()) - 1);
        lines_.insert(lines_.end(), lines.begin() + static_cast<long>(kept), lines.end());
        endInsertRows();
    }
}

void LogListModel::setPalette(const QPalette& palette) {
    for (auto kind : {LogLine::Kind::rx, LogLine::Kind::tx, LogLine::Kind::presence, LogLine::Kind::notice,
                      LogLine::Kind::other})
        colours_[static_cast<std::size_t>(kind)] = logColour(kind, palette);
    if (!lines_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {Qt::ForegroundRole});
}

int LogListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant LogListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const LogLine& line = lines_[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) return q(line.text);
    if (role == Qt::ForegroundRole) {
        const QColor& colour = colours_[static_cast<std::size_t>(line.kind)];
        return colour.isValid() ? QVariant(colour) : QVariant();
    }
    return {};
}

void LogFilter::setFilter(const std::string& filter) {
    if (filter == filter_) return;
    filter_ = filter;
    invalidateFilter();
}

bool LogFilter::filterAcceptsRow(int row, const QModelIndex& parent) const {
    if (filter_.empty()) return true;
    QModelIndex index = sourceModel()->index(row, 0, parent);
    return AppModel::matchesFilter(index.data().toString().toStdString(), filter_);
}

LiveLogPanel::LiveLogPanel(AppModel& model, QWidget* parent) : QGroupBox("Live log", parent), model_(model) {
    setObjectName("liveLogPanel");
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    filter_ = new QLineEdit;
    filter_->setObjectName("logFilter");
    filter_->setPlaceholderText("Filter (MAC, IP, type)");
    filter_->setClearButtonEnabled(true);
    connect(filter_, &QLineEdit::textChanged, this,
            [this](const QString& text) { model_.setLogFilter(text.toStdString()); });
    pause_ = new QToolButton;
    pause_->setObjectName("pauseScrolling");
    pause_->setText("Pause scrolling");
    pause_->setIcon(glyphIcon(Glyph::pause, palette()));
    pause_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    pause_->setCheckable(true);
    connect(pause_, &QToolButton::toggled, this, [this](bool on) { model_.setLogPaused(on); });
    auto* clear = new QToolButton;
    clear->setObjectName("clearLog");
    clear->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    clear->setToolTip("Clear the on-screen log (the log file keeps everything)");
    connect(clear, &QToolButton::clicked, this, [this] { model_.clearLog(); });
    bar->addWidget(filter_);
    bar->addWidget(pause_);
    bar->addWidget(clear);
    layout->addLayout(bar);

    lines_ = new LogListModel(this);
    lines_->setPalette(palette());
    shown_ = new LogFilter(this);
    shown_->setSourceModel(lines_);
    view_ = new QListView;
    view_->setObjectName("logView");
    view_->setModel(shown_);
    // Lines differ in length: measured in batches so that long ones scroll sideways instead of being cut.
    view_->setLayoutMode(QListView::Batched);
    view_->setBatchSize(500);
    view_->setTextElideMode(Qt::ElideNone);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(view_);
    // The view follows new lines while it shows the last one; scrolling up stops that, scrolling back
    // to the end resumes it. Lines are laid out in batches, so follow the range, not the insertion.
    QScrollBar* scroll = view_->verticalScrollBar();
    connect(scroll, &QScrollBar::valueChanged, this,
            [this, scroll](int value) { following_ = value >= scroll->maximum(); });
    connect(scroll, &QScrollBar::rangeChanged, this, [this, scroll](int, int maximum) {
        if (following_ && !model_.logPaused) scroll->setValue(maximum);
    });
}

void LiveLogPanel::render() {
    if (pause_->isChecked() != model_.logPaused) pause_->setChecked(model_.logPaused);
    if (filter_->text().toStdString() != model_.logFilter) filter_->setText(q(model_.logFilter));
    shown_->setFilter(model_.logFilter);
    lines_->update(model_.shownLog());
}

void LiveLogPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        lines_->setPalette(palette());
        pause_->setIcon(glyphIcon(Glyph::pause, palette()));
    }
    QGroupBox::changeEvent(event);
}

}  // namespace anvil
