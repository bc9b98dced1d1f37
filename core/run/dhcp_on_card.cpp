#include "core/run/dhcp_on_card.hpp"

#include <utility>

namespace anvil {

namespace {

using TransportSockets = HeldSockets<std::unique_ptr<Transport>>;

}  // namespace

DHCPOnCard::DHCPOnCard(std::unique_ptr<DHCPServer> server, std::function<void(ServerEvent)> emit)
    : server_(std::move(server)), emit_(std::move(emit)) {}

void DHCPOnCard::start(const std::string& card) { server_->open(card); }

void DHCPOnCard::begin(bool linkUp) { server_->begin(linkUp); }

void DHCPOnCard::stop() { server_->stop(); }

void DHCPOnCard::cardGone() { server_->cardGone(); }

void DHCPOnCard::linkChanged(bool up) { server_->linkChanged(up); }

bool DHCPOnCard::wantsSockets(bool) const { return server_->needsSocket(); }

CardService::Opener DHCPOnCard::opener() const {
    return [open = server_->socketOpener()](const std::string& card) {
        Opening opening;
        auto transport = open(card);
        opening.sockets = std::make_unique<TransportSockets>(std::move(transport), [](std::unique_ptr<Transport>& left) {
            if (left) left->close();
        });
        return opening;
    };
}

bool DHCPOnCard::cardBack(const std::string& card, Opening opening) {
    auto* sockets = dynamic_cast<TransportSockets*>(opening.sockets.get());
    if (!sockets) {
        // Tried every second: the same refusal is said once.
        auto line = "could not reopen " + card + ": " + opening.failure;
        if (line != std::exchange(lastFailure_, line)) emit_(ServerEvent::info(line));
        return false;
    }
    lastFailure_.clear();
    server_->cardBack(card, sockets->take());
    return true;
}

}  // namespace anvil
