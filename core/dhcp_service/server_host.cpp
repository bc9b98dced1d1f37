#include "core/dhcp_service/server_host.hpp"

#include <net/if.h>
#include <unistd.h>

#include <chrono>

#include "core/addressing/system_clock.hpp"
#include "core/host/linux/route_dump_linux.hpp"
#include "core/host/icmp_socket.hpp"
#include "core/dhcp_service/local_network.hpp"

namespace anvil {

ServerHost ServerHost::system() {
    ServerHost host;
    host.clock = systemNow;
    host.mediaStatus = [](const std::string& name) { return Interfaces::mediaStatus(name); };
    host.interfaceAddresses = [] { return Interfaces::interfaceAddresses(); };
    host.routes = [] { return RouteDump::readAll().value_or(std::vector<RouteDump::Route>{}); };
    host.openTFTPListener = [](const std::string& name) { return anvil::openTFTPListener(name); };
    host.openFrameWatch = [](const std::string& name) { return anvil::openFrameWatch(name); };
    host.bsdName = [](const MACAddress& mac) { return Interfaces::bsdName(mac); };
    host.interfaceIndex = [](const std::string& name) -> std::uint32_t { return ::if_nametoindex(name.c_str()); };
    host.interfaceNameForIndex = [](std::uint32_t index) -> std::string {
        char name[IF_NAMESIZE] = {};
        if (::if_indextoname(index, name)) return name;
        return "interface " + std::to_string(index);
    };
    host.makeProber = [](asio::io_context& loop) { return AsyncProber::onLoop(loop); };
    host.icmpProbes = [](const std::string& interfaceName) {
        int fd = openIcmpSocket(interfaceName);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    };
    host.readARPTable = [] { return ARPTable::read(); };
    host.triggerLocalNetworkAlert = [](const std::string& name, IPv4Address nearby) {
        LocalNetwork::triggerAlert(name, nearby);
    };
    return host;
}

}  // namespace anvil
