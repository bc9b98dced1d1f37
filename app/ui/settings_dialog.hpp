#pragma once
// The settings sheet: edits a SettingsForm and saves it through the model only when valid.
#include <QDialog>
#include <cstdint>
#include <map>

#include "app/app_model.hpp"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace anvil {

class RowTable;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(AppModel& model, QWidget* parent = nullptr);

    SettingsForm form() const;
    // Tries to save; the sheet stays open with each field's errors when the form is invalid.
    void save();
    // Follows the model: the selected card's configuration and what the adapter buttons can do.
    void refresh();
    // Adds the preset's options as rows of the options table; the reason beside the table when it
    // cannot (a template's value that does not read). "Add preset…" asks for both first.
    bool addPreset(const std::string& name, const std::string& value);

private:
    void updateDerived();
    // Sizes the sheet for its screen.
    void fitScreen();
    void chooseBootFolder();
    void showErrors(const SettingsForm::Messages& messages);
    void choosePreset();
    QString adapterText() const;

    AppModel& model_;
    QScrollArea* scroll_;
    QLineEdit* serverIP_;
    QLineEdit* prefix_;
    QLineEdit* rangeStart_;
    QLineEdit* rangeEnd_;
    QLabel* rangeCount_;
    QComboBox* leasePreset_;
    QLineEdit* customLease_;
    QLineEdit* router_;
    QLineEdit* dns_;
    QCheckBox* bootEnabled_;
    QWidget* bootFields_;
    QLineEdit* bootFolder_;
    QLineEdit* bootFileForAll_;
    std::map<BootKind, QLineEdit*> bootFiles_;
    std::uint16_t bootBlockSizeCeiling_;
    QCheckBox* answerBOOTP_;
    RowTable* pins_;
    RowTable* options_;
    QCheckBox* automaticChecks_;
    QLabel* adapterState_;
    QPushButton* configure_;
    QPushButton* restore_;
    std::map<SettingsForm::Field, QLabel*> errorLabels_;
};

}  // namespace anvil
