#include "core/server/transport_mode.hpp"

#include "core/host/loopback_name.hpp"

namespace anvil {

std::string TransportMode::interfaceName() const {
    if (auto card = std::get_if<Interface>(&value)) return card->name;
    return std::string(loopbackInterfaceName);
}

}  // namespace anvil
