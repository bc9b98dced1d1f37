#include "app/ui/banner_stack.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "app/ui/cable_section.hpp"
#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"

namespace anvil {

Banner::Banner(AppModel& model, NoticeKind kind, QWidget* parent) : QFrame(parent), model_(model), kind_(kind) {
    setObjectName("banner");
    setProperty("noticeKind", q(rawValue(kind)));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    // One line of text and a row of buttons: two banners must leave the leases and the log their room.
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 2, 4, 2);
    row->setSpacing(6);
    symbol_ = plainLabel();
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    message_ = plainLabel();
    message_->setObjectName("bannerMessage");
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(message_, 1);
    action_ = new QPushButton;
    action_->setObjectName("bannerAction");
    connect(action_, &QPushButton::clicked, this, [this] { model_.openLocalNetworkSettings(); });
    row->addWidget(action_, 0, Qt::AlignTop);
    auto deviceButton = [&](const char* title, const char* name, auto act) {
        auto* button = new QPushButton(title);
        button->setObjectName(name);
        button->setVisible(false);
        connect(button, &QPushButton::clicked, this, [this, act] {
            if (device_) act(model_, *device_);
        });
        row->addWidget(button, 0, Qt::AlignTop);
        return button;
    };
    reach_ = deviceButton("Reach it", "bannerReach", [](AppModel& m, const MACAddress& mac) { m.askToReach(mac); });
    openDevice_ = deviceButton("Open in browser", "bannerOpenDevice",
                               [](AppModel& m, const MACAddress& mac) { m.openNeighbourInBrowser(mac); });
    copyIP_ = deviceButton("Copy IP", "bannerCopyIP", [](AppModel& m, const MACAddress& mac) {
        if (auto address = m.neighbourAddress(mac)) QGuiApplication::clipboard()->setText(q(address->description()));
    });
    stopReaching_ = deviceButton("Stop reaching", "bannerStopReaching",
                                 [](AppModel& m, const MACAddress& mac) { m.stopReaching(mac); });
    // Alt+V reaches it without a pointer.
    serveFile_ = deviceButton("Ser&ve a file to it", "bannerServeFile",
                              [](AppModel& m, const MACAddress& mac) { m.askToServeFile(mac); });
    dismiss_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), "");
    dismiss_->setObjectName("dismissButton");
    dismiss_->setFlat(true);
    dismiss_->setToolTip("Dismiss");
    dismiss_->setAccessibleName("Dismiss");
    connect(dismiss_, &QPushButton::clicked, this, [this] { model_.dismiss(kind_); });
    row->addWidget(dismiss_, 0, Qt::AlignTop);
}

void Banner::render(const Notice& notice) {
    // The banner's own colours; its buttons keep the window's so that they look like buttons.
    auto colours = bannerColours(notice.isCritical(), parentWidget() ? parentWidget()->palette() : palette());
    QPalette tinted = palette();
    tinted.setColor(QPalette::Window, colours.background);
    tinted.setColor(QPalette::WindowText, colours.text);
    if (tinted != palette()) setPalette(tinted);
    auto icon = notice.isCritical() ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxWarning;
    symbol_->setPixmap(style()->standardIcon(icon).pixmap(QSize(16, 16), devicePixelRatioF()));
    if (message_->text() != q(notice.message)) message_->setText(q(notice.message));
    auto action = model_.noticeActionTitle(notice.kind);
    if (action && action_->text() != q(*action)) action_->setText(q(*action));
    action_->setVisible(action.has_value());
    device_ = notice.neighbour;
    bool reachable = device_ && notice.kind == NoticeKind::deviceNotAsking;
    bool reached = reachable && model_.isReached(*device_);
    reach_->setVisible(reachable && !reached);
    if (reachable && !reached) {
        QString title = plainActionText(reachItTitle(model_.reachAddress(*device_)));
        if (reach_->text() != title) reach_->setText(title);
    }
    openDevice_->setVisible(reached);
    copyIP_->setVisible(reached);
    stopReaching_->setVisible(reached);
    serveFile_->setVisible(device_ && notice.kind == NoticeKind::recoveryLoader && !model_.recovery());
}

BannerStack::BannerStack(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("bannerStack");
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(2);
}

void BannerStack::render() {
    auto notices = model_.orderedNotices();
    // Banners whose notice left go; the others stay the same widgets, in the model's order.
    for (auto it = banners_.begin(); it != banners_.end();) {
        bool kept = std::any_of(notices.begin(), notices.end(), [&](const Notice& n) { return n.kind == it->first; });
        if (kept) {
            ++it;
        } else {
            delete it->second;
            it = banners_.erase(it);
        }
    }
    int position = 0;
    for (const auto& notice : notices) {
        Banner*& banner = banners_[notice.kind];
        if (!banner) banner = new Banner(model_, notice.kind);
        if (layout_->indexOf(banner) != position) {
            layout_->removeWidget(banner);
            layout_->insertWidget(position, banner);
        }
        banner->render(notice);
        ++position;
    }
    setVisible(!notices.empty());
}

}  // namespace anvil
