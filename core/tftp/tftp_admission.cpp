#include "core/tftp/tftp_admission.hpp"

#include <algorithm>

#include "core/addressing/own_source.hpp"
#include "core/tftp/tftp_limits.hpp"

namespace anvil {

std::optional<std::string> tftpSourceRefusal(IPv4Address source, const TFTPSourceFacts& facts) {
    if (facts.loopbackMode) {
        if ((source.value >> 24) == 127) return std::nullopt;
        return "sent from " + source.description() + ", not from this computer's loopback";
    }
    if (auto own = ownSourceRefusal(source, facts.ownAddresses)) return own;
    if (std::ranges::none_of(facts.benchNetworks, [&](const Subnet& network) { return network.contains(source); }))
        return "sent from " + source.description() + ", outside the networks of the bench card";
    return std::nullopt;
}

TFTPAdmission admitTFTPTransfer(const std::vector<TFTPSlot>& running, IPv4Address client, bool holdsLease) {
    auto forClient = static_cast<std::size_t>(
        std::ranges::count_if(running, [&](const TFTPSlot& slot) { return slot.client == client; }));
    if (running.size() < maximumTFTPTransfers) {
        if (forClient >= maximumTFTPTransfersPerClient) return {TFTPAdmissionRefusal::tooManyForClient, std::nullopt};
        return {};
    }
    if (!holdsLease) return {TFTPAdmissionRefusal::tooManyTransfers, std::nullopt};
    if (forClient >= maximumTFTPTransfersPerClient) return {TFTPAdmissionRefusal::tooManyForClient, std::nullopt};
    auto idle = std::ranges::find_if(running, [](const TFTPSlot& slot) { return !slot.acknowledged; });
    if (idle == running.end()) return {TFTPAdmissionRefusal::tooManyTransfers, std::nullopt};
    return {std::nullopt, idle->transfer};
}

}  // namespace anvil
