#include "core/dhcp_service/transport_mode.hpp"

#include "core/host/loopback_name.hpp"

namespace anvil {

std::string TransportMode::interfaceName() const {
    if (auto card = std::get_if<Interface>(&value)) return card->name;
    return std::string(loopbackInterfaceName);
}

std::uint16_t TransportMode::clientPort() const {
    if (auto loopback = std::get_if<Loopback>(&value)) return loopback->clientPort;
    return 68;
}

}  // namespace anvil
