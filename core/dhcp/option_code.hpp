#pragma once
// The DHCP option codes the server reads or writes (RFC 2132); any other code may still appear in a packet.
#include <cstdint>

namespace anvil::OptionCode {

inline constexpr std::uint8_t pad = 0;
inline constexpr std::uint8_t subnetMask = 1;
inline constexpr std::uint8_t router = 3;
inline constexpr std::uint8_t dns = 6;
inline constexpr std::uint8_t hostname = 12;
inline constexpr std::uint8_t broadcastAddress = 28;
inline constexpr std::uint8_t vendorSpecific = 43;
inline constexpr std::uint8_t requestedIP = 50;
inline constexpr std::uint8_t leaseTime = 51;
inline constexpr std::uint8_t overload = 52;
inline constexpr std::uint8_t messageType = 53;
inline constexpr std::uint8_t serverID = 54;
inline constexpr std::uint8_t parameterList = 55;
inline constexpr std::uint8_t message = 56;
inline constexpr std::uint8_t maxMessageSize = 57;
inline constexpr std::uint8_t renewalTime = 58;
inline constexpr std::uint8_t rebindingTime = 59;
inline constexpr std::uint8_t vendorClass = 60;
inline constexpr std::uint8_t clientID = 61;
inline constexpr std::uint8_t tftpServerName = 66;
inline constexpr std::uint8_t bootfileName = 67;
inline constexpr std::uint8_t userClass = 77;
inline constexpr std::uint8_t clientArchitecture = 93;
// Read by the log only: a PXE client's machine identifier is never answered.
inline constexpr std::uint8_t clientMachineID = 97;
inline constexpr std::uint8_t end = 255;

}  // namespace anvil::OptionCode
