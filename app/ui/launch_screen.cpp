#include "app/ui/launch_screen.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/ui/colours.hpp"
#include "app/ui/plain_text.hpp"

namespace anvil {

namespace {

QLabel* titlePart(const QString& text, QFont::Weight weight) {
    auto* label = plainLabel(text);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 2.6);
    font.setWeight(weight);
    label->setFont(font);
    return label;
}

}  // namespace

LaunchScreen::LaunchScreen(QWidget* parent) : QWidget(parent) {
    setObjectName("launchScreen");
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    icon_ = plainLabel();
    icon_->setObjectName("launchIcon");
    icon_->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon_);
    auto* title = new QHBoxLayout;
    title->addStretch();
    title->addWidget(titlePart("DHCP", QFont::DemiBold));
    title->addWidget(titlePart("Anvil", QFont::Light));
    title->addStretch();
    layout->addLayout(title);
    auto* scanning = plainLabel("Scanning network cards…");
    scanning->setAlignment(Qt::AlignCenter);
    layout->addWidget(scanning);
    layout->addStretch();
    animate(-1);
}

void LaunchScreen::animate(int frame) { icon_->setPixmap(portIcon(96, devicePixelRatioF(), frame)); }

}  // namespace anvil
