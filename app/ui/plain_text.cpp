#include "app/ui/plain_text.hpp"

#include <QFont>
#include <QLabel>
#include <QTextDocument>

namespace anvil {

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    // Set before the text: an AutoText label parses what it is given at once.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QLabel* headingLabel(const QString& text, QWidget* parent) {
    auto* label = plainLabel(text, parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

QMessageBox* plainMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text, QWidget* parent) {
    auto* box = new QMessageBox(icon, plainWindowTitle(title), QString(), QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    return box;
}

void setPlainInformativeText(QMessageBox* box, const QString& text) {
    // The box makes its informative label on first use and leaves it guessing the format: make it
    // with harmless text, then fix the format before the real text goes in.
    if (box->informativeText().isEmpty()) box->setInformativeText(" ");
    if (auto* label = box->findChild<QLabel*>("qt_msgbox_informativelabel")) label->setTextFormat(Qt::PlainText);
    box->setInformativeText(text);
}

QString plainToolTip(const QString& text) {
    if (text.isEmpty()) return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

QString plainWindowTitle(const QString& text) {
    QString title = text;
    // "[*][*]" is how a title shows a literal "[*]".
    return title.replace("[*]", "[*][*]");
}

QString plainActionText(const QString& text) {
    QString shown = text;
    // A tab would split a menu entry into its text and a shortcut column.
    return shown.replace('&', "&&").replace('\t', ' ');
}

}  // namespace anvil
