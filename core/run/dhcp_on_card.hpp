#pragma once
// DHCP as one service of the run on a card: the server, its socket reopened off the loop, and
// the line for a socket that cannot be opened again.
#include <memory>
#include <string>

#include "core/run/card_service.hpp"
#include "core/dhcp_service/dhcp_server.hpp"

namespace anvil {

class DHCPOnCard final : public CardService {
public:
    DHCPOnCard(std::unique_ptr<DHCPServer> server, std::function<void(ServerEvent)> emit);

    void start(const std::string& card) override;
    void begin(bool linkUp) override;
    void stop() override;
    void cardGone() override;
    void linkChanged(bool up) override;
    bool wantsSockets(bool linkUp) const override;
    Opener opener() const override;
    bool cardBack(const std::string& card, Opening opening) override;

    DHCPServer& server() { return *server_; }

private:
    std::unique_ptr<DHCPServer> server_;
    std::function<void(ServerEvent)> emit_;
    std::string lastFailure_;
};

}  // namespace anvil
