#pragma once
// Every widget that may show text from outside the program (card, profile, host and process names,
// vendor classes, error texts) is made or filled here, so that no markup in such text is ever read:
// a label that takes `<img src=/dev/zero>` for rich text reads that file on the UI thread.
#include <QMessageBox>
#include <QString>

class QLabel;
class QWidget;

namespace anvil {

// A label that shows its text as it is, never as markup.
QLabel* plainLabel(const QString& text = {}, QWidget* parent = nullptr);

// A section's title in bold, on the row of the section's buttons.
QLabel* headingLabel(const QString& text, QWidget* parent = nullptr);

// A message box whose title, text and informative text are shown as they are.
QMessageBox* plainMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text, QWidget* parent);
void setPlainInformativeText(QMessageBox* box, const QString& text);

// Tooltips guess the format from the text; this one is always read as the text itself.
QString plainToolTip(const QString& text);

// A window title, with Qt's "[*]" placeholder shown as written.
QString plainWindowTitle(const QString& text);

// Button and menu texts read "&" as a shortcut marker and a tab as a column: "&" is shown as written, a tab as a space.
QString plainActionText(const QString& text);

}  // namespace anvil
