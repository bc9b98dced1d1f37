#pragma once
// A table of typed rows for the settings sheet (pins, options): add and remove rows, and the
// messages of each row beside it.
#include <QGroupBox>
#include <QStringList>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

class QHBoxLayout;
class QLabel;
class QTableWidget;

namespace anvil {

class RowTable : public QGroupBox {
    Q_OBJECT
public:
    // A row as typed: one text per column, and the tick of the check column when there is one.
    struct Row {
        std::vector<std::string> texts;
        bool ticked = false;
    };
    // More rows than a bench needs are not offered: the sheet stays bounded.
    static constexpr int rowCapacity = 64;

    // `checkTitle` names a last column of ticks, none when empty; `name` prefixes the widgets' names.
    RowTable(const QString& title, const QString& name, const QStringList& columns, const QString& checkTitle = {},
             QWidget* parent = nullptr);

    std::vector<Row> rows() const;
    // Adds a row at the end and puts the keyboard in its first cell; false when full.
    bool addRow() { return addRow(Row{}, true); }
    bool addRow(const Row& row, bool edit);
    void removeCurrentRow();
    // Shows each row's messages beside it (its cells marked, the sentences under the table) and
    // any other message under the table; nothing when both are empty.
    void showErrors(const std::map<std::size_t, std::vector<std::string>>& rows, const std::string& other = {});
    QTableWidget* table() const { return table_; }
    QLabel* errorLabel() const { return errors_; }
    // Where a caller adds its own buttons, after Add and Remove.
    QHBoxLayout* buttons() const { return buttons_; }

private:
    QTableWidget* table_;
    QLabel* errors_;
    QHBoxLayout* buttons_;
    int textColumns_;
    bool hasCheck_;
};

}  // namespace anvil
