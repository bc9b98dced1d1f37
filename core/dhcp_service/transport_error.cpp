#include "core/dhcp_service/transport_error.hpp"

#include <cerrno>
#include <cstring>

namespace anvil {

namespace {

std::string describe(const std::string& operation, int code) {
    return operation + " failed: " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
}

}  // namespace

TransportError::TransportError(std::string operation, int code)
    : std::runtime_error(describe(operation, code)), operation(std::move(operation)), code(code) {}

TransportEnded::TransportEnded(std::string reason)
    : TransportError("relay through dhcpanvil-helper", ECONNRESET), reason(std::move(reason)) {}

}  // namespace anvil
