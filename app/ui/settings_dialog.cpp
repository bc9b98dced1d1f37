#include "app/ui/settings_dialog.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <bit>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/row_table.hpp"
#include "core/addressing/user_option_text.hpp"

namespace anvil {

namespace {

QString q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QLabel* errorLabel(const char* name) {
    auto* label = plainLabel();
    label->setObjectName(name);
    // The failing mark's colour, picked for the palette in use.
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, statusColour(PreflightCheck::Status::fail, palette));
    label->setPalette(palette);
    label->setWordWrap(true);
    label->hide();
    return label;
}

// What each kind of boot client is called on the sheet.
const char* kindTitle(BootKind kind) {
    switch (kind) {
        case BootKind::bios: return "PC BIOS (PXE)";
        case BootKind::efiX64: return "UEFI x86-64";
        case BootKind::efiArm64: return "UEFI ARM64";
        case BootKind::arm32: return "ARM 32-bit";
        case BootKind::arm64: return "ARM 64-bit";
        case BootKind::uboot: return "U-Boot";
        case BootKind::ipxe: return "iPXE (running)";
        case BootKind::rpi: return "Raspberry Pi";
    }
    return "";
}

}  // namespace

SettingsDialog::SettingsDialog(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    setWindowTitle("Settings");
    setObjectName("settingsSheet");
    SettingsForm form = SettingsForm::from(model.config());
    // The groups scroll; Save and Cancel stay below them, so that a laptop screen (or a scaled one)
    // always shows them, with or without a message under a field.
    auto* outer = new QVBoxLayout(this);
    auto* content = new QWidget;
    content->setObjectName("settingsContent");
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* server = new QGroupBox("Server");
    auto* serverForm = new QFormLayout(server);
    serverIP_ = new QLineEdit(q(form.serverIP));
    serverIP_->setObjectName("serverIP");
    serverIP_->setPlaceholderText("192.168.0.1");
    prefix_ = new QLineEdit(q(form.prefix));
    prefix_->setObjectName("prefix");
    prefix_->setMaximumWidth(50);
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(serverIP_);
    serverRow->addWidget(plainLabel("/"));
    serverRow->addWidget(prefix_);
    serverForm->addRow("Server IP", serverRow);
    errorLabels_[SettingsForm::Field::server] = errorLabel("serverError");
    serverForm->addRow("", errorLabels_[SettingsForm::Field::server]);

    rangeStart_ = new QLineEdit(q(form.rangeStart));
    rangeStart_->setObjectName("rangeStart");
    rangeStart_->setPlaceholderText("192.168.0.100");
    rangeEnd_ = new QLineEdit(q(form.rangeEnd));
    rangeEnd_->setObjectName("rangeEnd");
    rangeEnd_->setPlaceholderText("192.168.0.200");
    rangeCount_ = plainLabel();
    rangeCount_->setObjectName("rangeCount");
    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(rangeStart_);
    rangeRow->addWidget(plainLabel("–"));
    rangeRow->addWidget(rangeEnd_);
    rangeRow->addWidget(rangeCount_);
    serverForm->addRow("Range", rangeRow);
    errorLabels_[SettingsForm::Field::range] = errorLabel("rangeError");
    serverForm->addRow("", errorLabels_[SettingsForm::Field::range]);

    leasePreset_ = new QComboBox;
    leasePreset_->setObjectName("leasePreset");
    for (LeasePreset preset : allLeasePresets) leasePreset_->addItem(q(label(preset)), static_cast<int>(preset));
    leasePreset_->setCurrentIndex(leasePreset_->findData(static_cast<int>(form.leasePreset)));
    serverForm->addRow("Lease time", leasePreset_);
    customLease_ = new QLineEdit(q(form.customLease));
    customLease_->setObjectName("customLease");
    customLease_->setPlaceholderText("for example 90m or 2d");
    serverForm->addRow("Custom lease", customLease_);
    errorLabels_[SettingsForm::Field::lease] = errorLabel("leaseError");
    serverForm->addRow("", errorLabels_[SettingsForm::Field::lease]);
    layout->addWidget(server);

    auto* optional = new QGroupBox("Optional");
    auto* optionalForm = new QFormLayout(optional);
    router_ = new QLineEdit(q(form.router));
    router_->setObjectName("router");
    optionalForm->addRow("Gateway", router_);
    errorLabels_[SettingsForm::Field::gateway] = errorLabel("gatewayError");
    optionalForm->addRow("", errorLabels_[SettingsForm::Field::gateway]);
    dns_ = new QLineEdit(q(form.dns));
    dns_->setObjectName("dns");
    dns_->setPlaceholderText("off (comma separated)");
    optionalForm->addRow("DNS", dns_);
    errorLabels_[SettingsForm::Field::dns] = errorLabel("dnsError");
    optionalForm->addRow("", errorLabels_[SettingsForm::Field::dns]);
    answerBOOTP_ = new QCheckBox("Answer BOOTP requests");
    answerBOOTP_->setObjectName("answerBOOTP");
    answerBOOTP_->setChecked(form.answerBOOTP);
    optionalForm->addRow("", answerBOOTP_);
    layout->addWidget(optional);

    pins_ = new RowTable("Pins", "pins", {"Device", "Address", "Label"});
    pins_->table()->setToolTip(plainToolTip("A hardware address, or id: and a client identifier in hexadecimal"));
    for (const auto& pin : form.pins) pins_->addRow({{pin.device, pin.address, pin.label}}, false);
    layout->addWidget(pins_);

    options_ = new RowTable("Options", "options", {"Match", "Option", "Value"}, "Always");
    options_->table()->setToolTip(
        plainToolTip("Match: empty for every device, mac=, maker=, vendor=, user= or boot=; option: a name or 1-254"));
    for (const auto& option : form.options)
        options_->addRow({{option.match, option.option, option.value}, option.always}, false);
    auto* preset = new QPushButton("Add preset…");
    preset->setObjectName("addPreset");
    preset->setAutoDefault(false);
    connect(preset, &QPushButton::clicked, this, &SettingsDialog::choosePreset);
    options_->buttons()->insertWidget(2, preset);
    layout->addWidget(options_);

    auto* boot = new QGroupBox("Network boot");
    boot->setObjectName("networkBoot");
    auto* bootLayout = new QVBoxLayout(boot);
    bootEnabled_ = new QCheckBox("Serve boot files over TFTP");
    bootEnabled_->setObjectName("bootEnabled");
    bootEnabled_->setChecked(form.bootEnabled);
    bootLayout->addWidget(bootEnabled_);
    bootFields_ = new QWidget;
    auto* bootForm = new QFormLayout(bootFields_);
    bootForm->setContentsMargins(0, 0, 0, 0);
    bootFolder_ = new QLineEdit(q(form.bootFolder));
    bootFolder_->setObjectName("bootFolder");
    bootFolder_->setPlaceholderText("/srv/tftp");
    auto* choose = new QPushButton("Choose…");
    choose->setObjectName("chooseBootFolder");
    choose->setAutoDefault(false);
    connect(choose, &QPushButton::clicked, this, &SettingsDialog::chooseBootFolder);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(bootFolder_, 1);
    folderRow->addWidget(choose);
    bootForm->addRow("Folder", folderRow);
    bootFileForAll_ = new QLineEdit(q(form.bootFileForAll));
    bootFileForAll_->setObjectName("bootFileForAll");
    bootFileForAll_->setPlaceholderText("none: each device names its own");
    bootForm->addRow("Boot file", bootFileForAll_);
    for (BootKind kind : allBootKinds) {
        auto found = form.bootFiles.find(kind);
        auto* field = new QLineEdit(found != form.bootFiles.end() ? q(found->second) : QString());
        field->setObjectName(q("bootFile-" + std::string(rawValue(kind))));
        field->setPlaceholderText("same as above");
        bootForm->addRow(kindTitle(kind), field);
        bootFiles_[kind] = field;
    }
    bootBlockSizeCeiling_ = form.bootBlockSizeCeiling;
    bootLayout->addWidget(bootFields_);
    errorLabels_[SettingsForm::Field::boot] = errorLabel("bootError");
    bootLayout->addWidget(errorLabels_[SettingsForm::Field::boot]);
    bootFields_->setEnabled(form.bootEnabled);
    connect(bootEnabled_, &QCheckBox::toggled, bootFields_, &QWidget::setEnabled);
    layout->addWidget(boot);

    // Only where an updater exists: a toggle that does nothing would be a lie.
    auto* updates = new QGroupBox("Updates");
    updates->setVisible(model.updates().exists());
    auto* updatesLayout = new QVBoxLayout(updates);
    automaticChecks_ = new QCheckBox("Check for updates automatically");
    automaticChecks_->setObjectName("automaticUpdateChecks");
    automaticChecks_->setChecked(model.updates().exists() && model.updates().checksAutomatically());
    updatesLayout->addWidget(automaticChecks_);
    layout->addWidget(updates);

    auto* adapter = new QGroupBox("Adapter");
    auto* adapterLayout = new QVBoxLayout(adapter);
    adapterState_ = plainLabel();
    adapterState_->setObjectName("adapterState");
    adapterState_->setWordWrap(true);
    adapterLayout->addWidget(adapterState_);
    auto* adapterButtons = new QHBoxLayout;
    configure_ = new QPushButton("Configure adapter…");
    restore_ = new QPushButton("Restore DHCP on adapter");
    // Enter in a field saves; it must never start an administrator command.
    configure_->setAutoDefault(false);
    restore_->setAutoDefault(false);
    connect(configure_, &QPushButton::clicked, this, [this] { model_.requestConfigureAdapter(); });
    connect(restore_, &QPushButton::clicked, this, [this] { model_.requestRestoreDHCP(); });
    adapterButtons->addWidget(configure_);
    adapterButtons->addWidget(restore_);
    adapterButtons->addStretch();
    adapterLayout->addLayout(adapterButtons);
    layout->addWidget(adapter);
    layout->addStretch();
    scroll_ = new QScrollArea;
    scroll_->setObjectName("settingsScroll");
    scroll_->setWidget(content);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The sheet opens in its first field: a scroll area holding the focus would let Enter save unread.
    scroll_->setFocusPolicy(Qt::NoFocus);
    serverIP_->setFocus();
    outer->addWidget(scroll_, 1);

    auto* buttons = new QDialogButtonBox;
    auto* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    auto* saveButton = buttons->addButton("Save", QDialogButtonBox::AcceptRole);
    saveButton->setObjectName("saveButton");
    cancel->setObjectName("cancelButton");
    connect(saveButton, &QPushButton::clicked, this, &SettingsDialog::save);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    outer->addWidget(buttons);
    // Enter saves. Made default only now that the button belongs to the sheet; before, the sheet
    // picked the first button it found, and Enter in a field opened the adapter question.
    saveButton->setDefault(true);

    for (QLineEdit* field : {rangeStart_, rangeEnd_})
        connect(field, &QLineEdit::textChanged, this, &SettingsDialog::updateDerived);
    connect(leasePreset_, &QComboBox::currentIndexChanged, this, &SettingsDialog::updateDerived);
    updateDerived();
    refresh();
    // Opened because the stored configuration does not hold: say what is wrong where it is wrong.
    showErrors(model.settingsMessages());
    fitScreen();
}

void SettingsDialog::fitScreen() {
    // As tall as the groups want, but never taller than the screen leaves room for (its panel and the
    // sheet's title bar); the groups scroll in what is left.
    QWidget* content = scroll_->widget();
    // Wide enough for a path in the boot folder field.
    int across = std::max(content->sizeHint().width(), fontMetrics().averageCharWidth() * 64) +
                 scroll_->verticalScrollBar()->sizeHint().width();
    int wanted = content->sizeHint().height() + layout()->contentsMargins().top() +
                 layout()->contentsMargins().bottom() + layout()->spacing() +
                 findChild<QDialogButtonBox*>()->sizeHint().height();
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    QSize room = screen ? screen->availableGeometry().size() - QSize(40, 80) : QSize(across, wanted);
    scroll_->setMinimumWidth(std::min(across, room.width()));
    resize(std::min(across + layout()->contentsMargins().left() + layout()->contentsMargins().right(), room.width()),
           std::min(wanted, room.height()));
}

void SettingsDialog::refresh() {
    QString text = adapterText();
    if (adapterState_->text() != text) adapterState_->setText(text);
    // Without a service the buttons wait for one; for the internet connection they are not offered at all.
    const NetworkCard* card = model_.selectedCard();
    bool offered = !card || AppModel::offersAdapterSetup(*card);
    configure_->setVisible(offered);
    restore_->setVisible(offered);
    configure_->setEnabled(model_.canConfigureAdapter());
    restore_->setEnabled(model_.canConfigureAdapter());
}

SettingsForm SettingsDialog::form() const {
    SettingsForm form;
    form.serverIP = serverIP_->text().toStdString();
    form.prefix = prefix_->text().toStdString();
    form.rangeStart = rangeStart_->text().toStdString();
    form.rangeEnd = rangeEnd_->text().toStdString();
    form.leasePreset = static_cast<LeasePreset>(leasePreset_->currentData().toInt());
    form.customLease = customLease_->text().toStdString();
    form.router = router_->text().toStdString();
    form.dns = dns_->text().toStdString();
    form.bootEnabled = bootEnabled_->isChecked();
    form.bootFolder = bootFolder_->text().toStdString();
    form.bootFileForAll = bootFileForAll_->text().toStdString();
    for (const auto& [kind, field] : bootFiles_)
        if (!field->text().isEmpty()) form.bootFiles[kind] = field->text().toStdString();
    form.bootBlockSizeCeiling = bootBlockSizeCeiling_;
    form.answerBOOTP = answerBOOTP_->isChecked();
    for (const auto& row : pins_->rows()) form.pins.push_back({row.texts[0], row.texts[1], row.texts[2]});
    for (const auto& row : options_->rows())
        form.options.push_back({row.texts[0], row.texts[1], row.texts[2], row.ticked});
    return form;
}

void SettingsDialog::updateDerived() {
    auto count = form().rangeCount();
    rangeCount_->setText(count ? QString::asprintf("%lld addresses", *count) : QString());
    customLease_->setEnabled(leasePreset_->currentData().toInt() == static_cast<int>(LeasePreset::custom));
}

void SettingsDialog::chooseBootFolder() {
    QString chosen = QFileDialog::getExistingDirectory(this, "Boot folder", bootFolder_->text());
    if (!chosen.isEmpty()) bootFolder_->setText(chosen);
}

void SettingsDialog::save() {
    auto errors = model_.saveSettings(form());
    showErrors(errors);
    if (!errors.empty()) return;
    if (model_.updates().exists()) model_.updates().setChecksAutomatically(automaticChecks_->isChecked());
    accept();
}

bool SettingsDialog::addPreset(const std::string& name, const std::string& value) {
    // The preset's "this server" is the address on the sheet, saved or not.
    auto server = IPv4Address::parse(serverIP_->text().trimmed().toStdString()).value_or(model_.config().serverIP);
    auto reading = applyPreset(name, value, server);
    if (reading.options.empty()) {
        options_->showErrors({}, reading.error.empty() ? "The preset gives no options." : reading.error);
        return false;
    }
    for (const auto& option : reading.options)
        if (!options_->addRow({{matchText(option.match), optionText(option.code), valueText(option)}, option.always},
                              false))
            return false;
    options_->showErrors({});
    return true;
}

void SettingsDialog::choosePreset() {
    QStringList names;
    auto presets = optionPresets();
    for (const auto& preset : presets) names << q(preset.name);
    if (names.isEmpty()) {
        options_->showErrors({}, "No presets are known.");
        return;
    }
    bool chosen = false;
    QString name = QInputDialog::getItem(this, "Add preset", "Preset", names, 0, false, &chosen);
    if (!chosen) return;
    std::string value;
    for (const auto& preset : presets) {
        if (q(preset.name) != name || preset.valuePrompt.empty()) continue;
        bool given = false;
        value = QInputDialog::getText(this, plainWindowTitle(name), q(preset.valuePrompt), QLineEdit::Normal, {}, &given)
                    .toStdString();
        if (!given) return;
    }
    addPreset(name.toStdString(), value);
}

void SettingsDialog::showErrors(const SettingsForm::Messages& messages) {
    const auto& errors = messages.fields;
    pins_->showErrors(messages.pins);
    options_->showErrors(messages.options);
    for (auto& [field, label] : errorLabels_) {
        auto found = errors.find(field);
        QStringList lines;
        if (found != errors.end())
            for (const auto& message : found->second) lines << q(message);
        label->setText(lines.join("\n"));
        label->setVisible(!lines.isEmpty());
    }
    // The first message is scrolled into view; the sheet keeps its size and its buttons.
    std::vector<QLabel*> shown;
    for (auto& [field, label] : errorLabels_) shown.push_back(label);
    shown.push_back(pins_->errorLabel());
    shown.push_back(options_->errorLabel());
    for (QLabel* label : shown) {
        if (label->isHidden()) continue;
        // Once the groups are laid out again with the message in them.
        QTimer::singleShot(0, this, [this, label] { scroll_->ensureWidgetVisible(label); });
        break;
    }
}

QString SettingsDialog::adapterText() const {
    const NetworkCard* card = model_.selectedCard();
    if (!card) return "No card selected";
    const auto& method = card->configMethod;
    std::string text;
    switch (method.kind) {
        case NetworkCard::ConfigMethod::Case::manual:
            text = "set to " + method.ip.description() + "/" + std::to_string(std::popcount(method.mask.value)) +
                   " (manual)";
            break;
        case NetworkCard::ConfigMethod::Case::dhcp:
            text = card->addresses.empty() ? "using DHCP" : "using " + card->addressSummary();
            break;
        case NetworkCard::ConfigMethod::Case::other: text = "using " + method.name; break;
        case NetworkCard::ConfigMethod::Case::none: text = "not configured"; break;
    }
    return q(card->displayName + " is " + text);
}

}  // namespace anvil
