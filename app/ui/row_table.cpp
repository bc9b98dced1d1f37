#include "app/ui/row_table.hpp"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"

namespace anvil {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

RowTable::RowTable(const QString& title, const QString& name, const QStringList& columns, const QString& checkTitle,
                   QWidget* parent)
    : QGroupBox(title, parent), textColumns_(static_cast<int>(columns.size())), hasCheck_(!checkTitle.isEmpty()) {
    setObjectName(name + "Group");
    auto* layout = new QVBoxLayout(this);
    table_ = new QTableWidget(0, textColumns_ + (hasCheck_ ? 1 : 0));
    table_->setObjectName(name + "Table");
    QStringList titles = columns;
    if (hasCheck_) titles << checkTitle;
    table_->setHorizontalHeaderLabels(titles);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    if (hasCheck_) table_->horizontalHeader()->setSectionResizeMode(textColumns_, QHeaderView::ResizeToContents);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(false);
    // Tab walks the cells; the sheet's fields before and after are reached with it too.
    table_->setTabKeyNavigation(false);
    table_->setEditTriggers(QAbstractItemView::AllEditTriggers);
    // About four rows show; more scroll inside the table, so the sheet keeps its size.
    QFontMetrics metrics = table_->fontMetrics();
    int row = metrics.height() + 10;
    table_->verticalHeader()->setDefaultSectionSize(row);
    table_->setFixedHeight(table_->horizontalHeader()->sizeHint().height() + 4 * row + 2 * table_->frameWidth());
    layout->addWidget(table_);

    errors_ = plainLabel();
    errors_->setObjectName(name + "Error");
    QPalette palette = errors_->palette();
    palette.setColor(QPalette::WindowText, statusColour(PreflightCheck::Status::fail, palette));
    errors_->setPalette(palette);
    errors_->setWordWrap(true);
    errors_->hide();
    layout->addWidget(errors_);

    buttons_ = new QHBoxLayout;
    auto* add = new QPushButton("Add");
    add->setObjectName(name + "Add");
    auto* remove = new QPushButton("Remove");
    remove->setObjectName(name + "Remove");
    // Enter in a field saves the sheet; it must never add or remove a row.
    add->setAutoDefault(false);
    remove->setAutoDefault(false);
    connect(add, &QPushButton::clicked, this, [this] { addRow(); });
    connect(remove, &QPushButton::clicked, this, &RowTable::removeCurrentRow);
    buttons_->addWidget(add);
    buttons_->addWidget(remove);
    buttons_->addStretch();
    layout->addLayout(buttons_);
}

std::vector<RowTable::Row> RowTable::rows() const {
    std::vector<Row> rows;
    for (int line = 0; line < table_->rowCount(); ++line) {
        Row row;
        for (int column = 0; column < textColumns_; ++column) {
            auto* item = table_->item(line, column);
            row.texts.push_back(item ? item->text().toStdString() : std::string());
        }
        if (hasCheck_)
            if (auto* item = table_->item(line, textColumns_)) row.ticked = item->checkState() == Qt::Checked;
        rows.push_back(std::move(row));
    }
    return rows;
}

bool RowTable::addRow(const Row& row, bool edit) {
    if (table_->rowCount() >= rowCapacity) {
        showErrors({}, "A table holds at most " + std::to_string(rowCapacity) + " rows.");
        return false;
    }
    int line = table_->rowCount();
    table_->insertRow(line);
    for (int column = 0; column < textColumns_; ++column) {
        auto text = static_cast<std::size_t>(column) < row.texts.size() ? row.texts[static_cast<std::size_t>(column)]
                                                                       : std::string();
        table_->setItem(line, column, new QTableWidgetItem(q(text)));
    }
    if (hasCheck_) {
        auto* tick = new QTableWidgetItem;
        tick->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        tick->setCheckState(row.ticked ? Qt::Checked : Qt::Unchecked);
        table_->setItem(line, textColumns_, tick);
    }
    if (edit) {
        // Moving there opens the cell's editor (the current-changed trigger).
        table_->setFocus();
        table_->setCurrentCell(line, 0);
    }
    return true;
}

void RowTable::removeCurrentRow() {
    int line = table_->currentRow();
    if (line < 0) return;
    table_->removeRow(line);
}

void RowTable::showErrors(const std::map<std::size_t, std::vector<std::string>>& rows, const std::string& other) {
    QStringList lines;
    QColor failing = statusColour(PreflightCheck::Status::fail, palette());
    for (int line = 0; line < table_->rowCount(); ++line) {
        auto found = rows.find(static_cast<std::size_t>(line));
        QString messages;
        if (found != rows.end()) {
            QStringList sentences;
            for (const auto& message : found->second) sentences << q(message);
            messages = sentences.join(" ");
            lines << QString("Row %1: %2").arg(line + 1).arg(messages);
        }
        for (int column = 0; column < table_->columnCount(); ++column) {
            auto* item = table_->item(line, column);
            if (!item) continue;
            item->setForeground(messages.isEmpty() ? QBrush() : QBrush(failing));
            item->setToolTip(messages.isEmpty() ? QString() : plainToolTip(messages));
        }
    }
    if (!other.empty()) lines << q(other);
    errors_->setText(lines.join("\n"));
    errors_->setVisible(!lines.isEmpty());
}

}  // namespace anvil
