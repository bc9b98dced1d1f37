#include "app/ui/device_panel.hpp"

#include <QClipboard>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/addressing/text_pieces.hpp"
#include "core/events/event_log.hpp"

namespace anvil {

namespace {

void setText(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

QLabel* makeLabel(const char* name, bool wrap = true) {
    auto* label = plainLabel();
    label->setObjectName(name);
    label->setWordWrap(wrap);
    return label;
}

std::string vendorText(const Lease& device, const AppModel&) {
    if (!device.vendorClass) return "—";
    // Such devices are answered with the vendor cookie.
    return device.vendorClass->rfind("APC", 0) == 0 ? *device.vendorClass + " (cookie sent)" : *device.vendorClass;
}

std::string leaseText(const Lease& device, const AppModel& model) {
    std::string text = stateText(device);
    if (device.state != Lease::State::bound) return text;
    double left = device.expiresAt.secondsSince(model.now());
    return text + (left > 0 ? ", " + formatDuration(static_cast<std::uint32_t>(left)) + " left" : ", expired");
}

// The pieces of the last reply's note that name a user option ("option 43 for vendor class APC").
std::string sentOptionsText(const Lease& device, const AppModel& model) {
    auto note = model.state.lastReplyNote(device.mac);
    if (!note) return {};
    std::string text;
    for (auto list : splitText(*note, ';', EmptyPieces::drop))
        for (auto piece : splitText(list, ',', EmptyPieces::drop)) {
            while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
            if (piece.starts_with("option ")) text += (text.empty() ? "" : ", ") + std::string(piece);
        }
    return plainText(text);
}

// The client's file name with its control bytes shown as escapes; labels never read it as markup.
std::string fileName(const std::string& file) { return plainText(file); }

std::string resultText(const TransferResult& result) {
    if (!result.failure)
        return "Sent " + fileName(result.file) + ": " + EventLog::byteCount(result.bytes) + " in " +
               QString::number(result.seconds, 'f', 1).toStdString() + " s";
    std::string text = fileName(result.file) + " failed: " + std::string(description(*result.failure));
    return result.detail.empty() ? text : text + " (" + plainText(result.detail) + ")";
}

}  // namespace

WaitingPanel::WaitingPanel(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("waitingPanel");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* header = new QHBoxLayout;
    icon_ = plainLabel();
    icon_->setObjectName("waitingIcon");
    // A fixed size keeps each animation frame from laying out the window again.
    icon_->setFixedSize(40, 40);
    header->addWidget(icon_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    listening_ = makeLabel("listening");
    elapsed_ = makeLabel("elapsed");
    next_ = makeLabel("nextAddress");
    texts->addWidget(listening_);
    texts->addWidget(elapsed_);
    texts->addWidget(next_);
    header->addLayout(texts, 1);
    layout->addLayout(header);

    hint_ = new QWidget;
    auto* hintLayout = new QVBoxLayout(hint_);
    hintLayout->setContentsMargins(0, 0, 0, 0);
    hintText_ = makeLabel("waitingHint");
    hintLayout->addWidget(hintText_);
    auto* buttons = new QHBoxLayout;
    auto* copy = new QPushButton("Copy tcpdump command");
    copy->setObjectName("copyTcpdump");
    connect(copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(q(model_.tcpdumpCommand())); });
    hintAction_ = new QPushButton;
    hintAction_->setObjectName("hintAction");
    connect(hintAction_, &QPushButton::clicked, this, [this] { model_.openLocalNetworkSettings(); });
    buttons->addWidget(copy);
    buttons->addWidget(hintAction_);
    buttons->addStretch();
    hintLayout->addLayout(buttons);
    layout->addWidget(hint_);
    layout->addStretch();
    animate(-1);
}

void WaitingPanel::render() {
    Date now = model_.now();
    setText(listening_, q("Listening on " + model_.state.serverInterface.value_or("")));
    long long elapsed = model_.startedAt() ? static_cast<long long>(now.secondsSince(*model_.startedAt())) : 0;
    if (elapsed < 0) elapsed = 0;
    setText(elapsed_, QString("Waiting for a device · ") +
                          QString::asprintf("%d:%02d", static_cast<int>(elapsed / 60), static_cast<int>(elapsed % 60)));
    auto next = model_.nextAddress(now);
    setText(next_, next ? q(next->description() + " is ready to hand out") : QString());
    next_->setVisible(next.has_value());
    bool hint = model_.showsWaitingHint(now);
    hint_->setVisible(hint);
    setText(hintText_, q(model_.waitingHintText()));
    auto action = model_.waitingHintActionTitle();
    if (action && hintAction_->text() != q(*action)) hintAction_->setText(q(*action));
    hintAction_->setVisible(action.has_value());
}

void WaitingPanel::animate(int frame) {
    // The frames are drawn once per screen density and then reused.
    if (frameRatio_ != devicePixelRatioF()) {
        frameRatio_ = devicePixelRatioF();
        frames_.clear();
    }
    auto found = frames_.find(frame);
    if (found == frames_.end()) found = frames_.emplace(frame, portIcon(40, frameRatio_, frame)).first;
    icon_->setPixmap(found->second);
}

DeviceCard::DeviceCard(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("deviceCard");
    // The address and the buttons on the left, the device's details beside them.
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    auto* header = new QHBoxLayout;
    address_ = makeLabel("deviceAddress", false);
    QFont big = address_->font();
    big.setPointSizeF(big.pointSizeF() * 1.8);
    big.setWeight(QFont::DemiBold);
    address_->setFont(big);
    address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    presence_ = makeLabel("devicePresence", false);
    header->addWidget(address_);
    header->addWidget(presence_, 0, Qt::AlignBottom);
    header->addStretch();
    left->addLayout(header);
    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton("Open in browser");
    open->setObjectName("openInBrowser");
    connect(open, &QPushButton::clicked, this, [this] {
        if (model_.state.deviceFound) model_.openInBrowser(model_.state.deviceFound->ip);
    });
    auto* copy = new QPushButton("Copy IP");
    copy->setObjectName("copyIP");
    connect(copy, &QPushButton::clicked, this, [this] {
        if (model_.state.deviceFound) QGuiApplication::clipboard()->setText(q(model_.state.deviceFound->ip.description()));
    });
    buttons->addWidget(open);
    buttons->addWidget(copy);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addStretch();
    layout->addLayout(left);
    layout->addSpacing(24);
    rows_ = new QGridLayout;
    rows_->setColumnStretch(1, 1);
    rows_->setHorizontalSpacing(12);
    auto* right = new QVBoxLayout;
    right->addLayout(rows_);
    transfer_ = new QWidget;
    transfer_->setObjectName("transfer");
    auto* transferLayout = new QVBoxLayout(transfer_);
    transferLayout->setContentsMargins(0, 8, 0, 0);
    transferFile_ = makeLabel("transferFile");
    transferProgress_ = new QProgressBar;
    transferProgress_->setObjectName("transferProgress");
    transferResult_ = makeLabel("transferResult");
    transferLayout->addWidget(transferFile_);
    transferLayout->addWidget(transferProgress_);
    transferLayout->addWidget(transferResult_);
    right->addWidget(transfer_);
    transfer_->hide();
    right->addStretch();
    layout->addLayout(right, 1);

    // One line per row; each row's text comes from its function.
    addRow("Maker", [](const Lease& device, const AppModel& model) { return model.maker(device.mac).value_or("—"); });
    addRow("Hostname", [](const Lease& device, const AppModel&) { return device.hostname.value_or("—"); });
    addRow("Vendor", vendorText);
    addRow("Requested", [](const Lease& device, const AppModel& model) {
        return model.requestedSummary(device.mac).value_or("—");
    });
    rowValues_.back().value->setWordWrap(true);
    rowValues_.back().value->setToolTip(plainToolTip("\u2713 given by DHCP Anvil \u00b7 \u2717 not served"));
    addRow("Lease", leaseText, Redraw::withClock);
    // The user options the last reply carried and the match that gave each; only when there were any,
    // so that a laptop screen keeps its lease rows.
    addRow("Sent", sentOptionsText);
    rowValues_.back().value->setWordWrap(true);
}

void DeviceCard::addRow(const QString& name, RowValue value, Redraw redraw) {
    int line = static_cast<int>(rowValues_.size());
    auto* title = plainLabel(name);
    auto* shown = plainLabel();
    shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rows_->addWidget(title, line, 0, Qt::AlignTop);
    rows_->addWidget(shown, line, 1, Qt::AlignTop);
    rowValues_.push_back({title, shown, std::move(value), redraw});
}

void DeviceCard::render(const Lease& device) {
    setText(address_, q(device.ip.description()));
    setText(presence_, presenceLabel(model_.presence(device)));
    for (const auto& row : rowValues_) {
        QString text = q(row.text(device, model_));
        setText(row.value, text);
        // A row with nothing to say takes no room; the others show "—".
        row.title->setVisible(!text.isEmpty());
        row.value->setVisible(!text.isEmpty());
        QPalette muted = row.title->palette();
        muted.setColor(QPalette::WindowText, secondaryText(palette()));
        if (muted != row.title->palette()) row.title->setPalette(muted);
    }
    renderTransfer(device);
}

void DeviceCard::renderTransfer(const Lease& device) {
    const auto* active = model_.state.activeTransfer(device.mac, device.ip);
    const auto* last = model_.state.lastTransferResult(device.mac, device.ip);
    transfer_->setVisible(active || last);
    transferFile_->setVisible(active);
    transferProgress_->setVisible(active);
    if (active) {
        std::string amount = EventLog::byteCount(active->bytes);
        if (active->size) amount += " of " + EventLog::byteCount(*active->size);
        setText(transferFile_, q("TFTP " + fileName(active->file) + " \u00b7 " + amount));
        // Without a size (the client asked none) the bar only says that something moves.
        auto percent = active->percent();
        int maximum = percent ? 100 : 0;
        if (transferProgress_->maximum() != maximum) transferProgress_->setRange(0, maximum);
        if (percent && transferProgress_->value() != *percent) transferProgress_->setValue(*percent);
    }
    transferResult_->setVisible(last);
    if (last) setText(transferResult_, q("Last boot file: " + resultText(*last)));
}

DevicePanel::DevicePanel(AppModel& model, QWidget* parent) : QGroupBox(parent), model_(model) {
    setObjectName("devicePanel");
    // One of the two shows at a time; a hidden one takes no room.
    auto* layout = new QVBoxLayout(this);
    waiting_ = new WaitingPanel(model);
    card_ = new DeviceCard(model);
    layout->addWidget(waiting_);
    neighbour_ = new NeighbourCard(model);
    layout->addWidget(card_);
    layout->addWidget(neighbour_);
    card_->hide();
    neighbour_->hide();
}

void DeviceCard::renderClock(const Lease& device) {
    for (const auto& row : rowValues_)
        if (row.redraw == Redraw::withClock) setText(row.value, q(row.text(device, model_)));
}

void DevicePanel::render(ModelChange parts) {
    const auto& found = model_.state.deviceFound;
    // The waiting panel is all time and cheap texts; the device card has one countdown.
    if (parts == ModelChange::clock && found && !card_->isHidden()) {
        card_->renderClock(*found);
        return;
    }
    // A device that never asks is still a device found, when it is the only one on the cable.
    std::optional<Neighbour> alone;
    if (!found && model_.state.leases.empty()) {
        auto neighbours = model_.state.neighboursWithoutLease();
        if (neighbours.size() == 1) alone = neighbours.front();
    }
    QString title = found ? "Device found" : alone ? "Device on the cable" : "";
    if (this->title() != title) setTitle(title);
    waiting_->setVisible(!found && !alone);
    card_->setVisible(found.has_value());
    neighbour_->setVisible(alone.has_value());
    if (found)
        card_->render(*found);
    else if (alone)
        neighbour_->render(*alone);
    else
        waiting_->render();
}

void DevicePanel::animate(int frame) {
    if (!waiting_->isHidden()) waiting_->animate(frame);
}

}  // namespace anvil
