#include "app/ui/live_log.hpp"

#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

void LogListModel::update(const std::deque<LogLine>& lines) {
    // Identifiers only grow, so the lines that left are the shown ones older than the first new one.
    std::size_t gone = 0;
    while (gone < lines_.size() && (lines.empty() || lines_[gone].line.id < lines.front().id)) ++gone;
    std::size_t kept = lines_.size() - gone;
    bool continues = kept <= lines.size() && (kept == 0 || lines[kept - 1].id == lines_.back().line.id);
    if (!continues) {
        beginResetModel();
        lines_.clear();
        widths_.clear();
        for (const auto& line : lines) append(line);
        endResetModel();
        return;
    }
    if (gone > 0) {
        beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
        for (std::size_t i = 0; i < gone; ++i) popFront();
        endRemoveRows();
    }
    if (lines.size() > kept) {
        beginInsertRows({}, static_cast<int>(kept), static_cast<int>(lines.size()) - 1);
        for (auto line = lines.begin() + static_cast<long>(kept); line != lines.end(); ++line) append(*line);
        endInsertRows();
    }
}

void LogListModel::append(const LogLine& line) {
    int width = measure(line.text);
    lines_.push_back({line, width});
    widths_.insert(width);
}

void LogListModel::popFront() {
    widths_.erase(widths_.find(lines_.front().width));
    lines_.pop_front();
}

int LogListModel::measure(const std::string& text) const {
    return QFontMetrics(font_).horizontalAdvance(q(text)) + padding_.width();
}

void LogListModel::setFont(const QFont& font, QSize padding) {
    font_ = font;
    padding_ = padding;
    beginResetModel();
    widths_.clear();
    for (auto& shown : lines_) widths_.insert(shown.width = measure(shown.line.text));
    endResetModel();
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
    const LogLine& line = lines_[static_cast<std::size_t>(index.row())].line;
    if (role == Qt::DisplayRole) return q(line.text);
    // Every row is as wide as the widest, so the view lays out 5000 lines without measuring them.
    if (role == Qt::SizeHintRole)
        return QSize(widths_.empty() ? 0 : *widths_.rbegin(), QFontMetrics(font_).height() + padding_.height());
    if (role == Qt::ForegroundRole) {
        const QColor& colour = colours_[static_cast<std::size_t>(line.kind)];
        return colour.isValid() ? QVariant(colour) : QVariant();
    }
    return {};
}

LiveLogPanel::LiveLogPanel(AppModel& model, QWidget* parent) : QGroupBox(parent), model_(model) {
    setObjectName("liveLogPanel");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(4);
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
    bar->addWidget(headingLabel("Live log"));
    bar->addWidget(filter_);
    bar->addWidget(pause_);
    bar->addWidget(clear);
    layout->addLayout(bar);

    lines_ = new LogListModel(this);
    lines_->setPalette(palette());
    view_ = new QListView;
    view_->setObjectName("logView");
    view_->setModel(lines_);
    // Each line is measured once, as it arrives; long ones scroll sideways instead of being cut.
    view_->setUniformItemSizes(true);
    view_->setTextElideMode(Qt::ElideNone);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // What the item view puts around a line's text.
    QStyle* style = view_->style();
    int across = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view_) + 1);
    int down = 2 * style->pixelMetric(QStyle::PM_FocusFrameVMargin, nullptr, view_);
    lines_->setFont(view_->font(), QSize(across, down));
    layout->addWidget(view_);
    // The view follows new lines while it shows the last one; scrolling up stops that, scrolling back
    // to the end resumes it. Lines are laid out in batches, so follow the range, not the insertion.
    QScrollBar* scroll = view_->verticalScrollBar();
    connect(scroll, &QScrollBar::valueChanged, this,
            [this, scroll](int value) { following_ = value >= scroll->maximum(); });
    connect(scroll, &QScrollBar::rangeChanged, this, [this, scroll](int, int maximum) {
        if (following_ && !model_.logPaused()) scroll->setValue(maximum);
    });
}

void LiveLogPanel::render() {
    if (pause_->isChecked() != model_.logPaused()) pause_->setChecked(model_.logPaused());
    if (filter_->text().toStdString() != model_.logFilter()) filter_->setText(q(model_.logFilter()));
    lines_->update(model_.visibleLog());
}

void LiveLogPanel::focusFilter() {
    filter_->setFocus(Qt::ShortcutFocusReason);
    filter_->selectAll();
}

void LiveLogPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        lines_->setPalette(palette());
        pause_->setIcon(glyphIcon(Glyph::pause, palette()));
    }
    QGroupBox::changeEvent(event);
}

}  // namespace anvil
