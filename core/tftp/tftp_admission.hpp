#pragma once
// Who may start a TFTP transfer: a device on the bench's own networks, and a slot for it among
// those running, which a device that holds a lease may take from a transfer never acknowledged.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/subnet.hpp"
#include "core/tftp/tftp_texts.hpp"

namespace anvil {

struct TFTPSourceFacts {
    // The loopback test mode serves this computer's own programs alone.
    bool loopbackMode = false;
    // On a card: the served subnet and the networks of the card's own addresses.
    std::vector<Subnet> benchNetworks;
    std::unordered_set<IPv4Address> ownAddresses;
};

// Why a request from `source` is dropped unanswered, or nothing when a device on the bench may have
// sent it. On a card, this computer's own addresses and loopback are refused as on the DHCP port.
std::optional<std::string> tftpSourceRefusal(IPv4Address source, const TFTPSourceFacts& facts);

enum class TFTPAdmissionRefusal {
    tooManyTransfers,
    tooManyForClient,
};

inline std::string_view description(TFTPAdmissionRefusal refusal) {
    return refusal == TFTPAdmissionRefusal::tooManyTransfers ? TFTPText::tooManyTransfers : TFTPText::tooManyForClient;
}

// A running transfer as admission sees it.
struct TFTPSlot {
    std::uint32_t transfer = 0;
    IPv4Address client;
    // The client acknowledged the OACK or a block.
    bool acknowledged = false;
};

struct TFTPAdmission {
    std::optional<TFTPAdmissionRefusal> refusal;
    // When admitted with every slot taken: the transfer that gives up its slot.
    std::optional<std::uint32_t> evicts;
    friend bool operator==(const TFTPAdmission&, const TFTPAdmission&) = default;
};

// Up to maximumTFTPTransfers at once and maximumTFTPTransfersPerClient per client address. With
// every slot taken, a client that holds a lease takes the slot of the oldest transfer (`running`
// is oldest first) whose client never acknowledged anything: a source address costs a device
// nothing to make up, a lease does.
TFTPAdmission admitTFTPTransfer(const std::vector<TFTPSlot>& running, IPv4Address client, bool holdsLease);

}  // namespace anvil
