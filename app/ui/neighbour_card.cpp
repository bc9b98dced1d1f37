#include "app/ui/neighbour_card.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/cable_section.hpp"
#include "app/ui/plain_text.hpp"
#include "app/ui/texts.hpp"
#include "core/addressing/plain_text.hpp"

namespace anvil {

std::string neighbourDetails(const Neighbour& neighbour) {
    std::string text;
    auto line = [&](std::string_view name, const std::string& value) {
        if (value.empty()) return;
        text += std::string(name) + ": " + plainText(value) + "\n";
    };
    std::string claims;
    for (const auto& ip : neighbour.claims) claims += (claims.empty() ? "" : ", ") + ip.description();
    line("Addresses", claims);
    line("Hardware address", neighbour.mac.description());
    line("Maker", neighbour.maker);
    if (neighbour.lldp) {
        const auto& lldp = *neighbour.lldp;
        line("Name", lldp.systemName);
        line("Description", lldp.systemDescription);
        line("Model", lldp.model);
        line("Manufacturer", lldp.manufacturer);
        line("Serial number", lldp.serialNumber);
        line("Firmware", lldp.firmwareRevision);
        line("Software", lldp.softwareRevision);
        if (lldp.managementAddress) line("Management address", lldp.managementAddress->description());
    }
    std::string asks;
    for (const auto& asked : neighbour.asksFor) asks += (asks.empty() ? "" : ", ") + asked.address.description();
    line("Looks for", asks);
    if (neighbour.tftpFile)
        line("Asked for file", *neighbour.tftpFile + (neighbour.tftpServer ? " from " + neighbour.tftpServer->description() : ""));
    if (!text.empty()) text.pop_back();
    return text;
}

NeighbourCard::NeighbourCard(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("neighbourCard");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(plainLabel("A device on the cable that doesn't ask for an address"));
    details_ = plainLabel();
    details_->setObjectName("neighbourDetails");
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(details_);
    auto* buttons = new QHBoxLayout;
    reach_ = new QPushButton("Reach it");
    stop_ = new QPushButton("Stop reaching");
    open_ = new QPushButton("Open in browser");
    for (auto* button : {reach_, stop_, open_}) buttons->addWidget(button);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addStretch();
    connect(reach_, &QPushButton::clicked, this, [this] { model_.askToReach(shown_); });
    connect(stop_, &QPushButton::clicked, this, [this] { model_.stopReaching(shown_); });
    connect(open_, &QPushButton::clicked, this, [this] { model_.openNeighbourInBrowser(shown_); });
}

void NeighbourCard::render(const Neighbour& neighbour) {
    shown_ = neighbour.mac;
    details_->setText(q(neighbourDetails(neighbour)));
    bool reached = model_.isReached(neighbour.mac);
    auto address = model_.reachAddress(neighbour.mac);
    reach_->setVisible(address && !reached);
    if (address && !reached) reach_->setText(plainActionText(reachItTitle(address)));
    stop_->setVisible(reached);
    open_->setVisible(reached);
}

}  // namespace anvil
