#include "app/ui/check_views.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

namespace {

QString mark(PreflightCheck::Status status) { return q(Preflight::symbol(status)); }

void setColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    if (palette.color(role) == colour) return;
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

}  // namespace

CheckStrip::CheckStrip(QWidget* parent) : QWidget(parent) {
    setObjectName("checkStrip");
    layout_ = new QHBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(14);
    layout_->addStretch();
}

void CheckStrip::render(const AppModel& model) {
    const auto& checks = model.checks();
    while (marks_.size() < checks.size()) {
        auto* label = plainLabel();
        label->setObjectName("checkMark");
        layout_->insertWidget(static_cast<int>(marks_.size()), label);
        marks_.push_back(label);
    }
    while (marks_.size() > checks.size()) {
        delete marks_.back();
        marks_.pop_back();
    }
    for (std::size_t i = 0; i < checks.size(); ++i) {
        setTextIfChanged(marks_[i], mark(checks[i].status) + " " + q(AppModel::checkTitle(checks[i].id)));
        marks_[i]->setToolTip(plainToolTip(q(checks[i].message)));
        setColour(marks_[i], QPalette::WindowText, statusColour(checks[i].status, QWidget::palette()));
    }
    setVisible(!checks.empty());
}

ChecklistPanel::ChecklistPanel(AppModel& model, QWidget* parent)
    : QGroupBox("Before starting", parent), model_(model) {
    setObjectName("checklistPanel");
    auto* layout = new QVBoxLayout(this);
    prompt_ = plainLabel("Choose a network card in the toolbar.");
    prompt_->setObjectName("cardPrompt");
    layout->addWidget(prompt_);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(rowsLayout_);
    notesLayout_ = new QVBoxLayout;
    notesLayout_->setContentsMargins(0, 4, 0, 0);
    layout->addLayout(notesLayout_);
}

void ChecklistPanel::render() {
    bool hasCard = model_.selectedCard() != nullptr;
    prompt_->setVisible(!hasCard);
    const auto& checks = hasCard ? model_.checks() : std::vector<PreflightCheck>{};
    while (rows_.size() < checks.size()) {
        Row row;
        row.widget = new QWidget;
        auto* line = new QHBoxLayout(row.widget);
        line->setContentsMargins(0, 0, 0, 0);
        row.mark = plainLabel();
        QFont bold = row.mark->font();
        bold.setBold(true);
        row.mark->setFont(bold);
        row.mark->setAlignment(Qt::AlignTop);
        row.message = plainLabel();
        row.message->setWordWrap(true);
        row.message->setObjectName("checkMessage");
        row.fix = new QPushButton("Configure adapter…");
        row.fix->setObjectName("fixButton");
        connect(row.fix, &QPushButton::clicked, this, [this] { model_.requestConfigureAdapter(); });
        line->addWidget(row.mark);
        line->addWidget(row.message, 1);
        line->addWidget(row.fix, 0, Qt::AlignTop);
        rowsLayout_->addWidget(row.widget);
        rows_.push_back(row);
    }
    while (rows_.size() > checks.size()) {
        delete rows_.back().widget;
        rows_.pop_back();
    }
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const Row& row = rows_[i];
        setTextIfChanged(row.mark, mark(checks[i].status));
        setColour(row.mark, QPalette::WindowText, statusColour(checks[i].status, palette()));
        setTextIfChanged(row.message, q(checks[i].message));
        row.fix->setVisible(model_.offersFix(checks[i]));
    }

    auto notes = model_.checklistNotes();
    while (notes_.size() < notes.size()) {
        auto* note = plainLabel();
        note->setWordWrap(true);
        notesLayout_->addWidget(note);
        notes_.push_back(note);
    }
    while (notes_.size() > notes.size()) {
        delete notes_.back();
        notes_.pop_back();
    }
    for (std::size_t i = 0; i < notes.size(); ++i) {
        setTextIfChanged(notes_[i], q(notes[i]));
        setColour(notes_[i], QPalette::WindowText, secondaryText(palette()));
    }
}

}  // namespace anvil
