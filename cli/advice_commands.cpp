#include "cli/advice_commands.hpp"

#include <nlohmann/json.hpp>

#include "core/addressing/plain_text.hpp"
#include "core/events/event_log.hpp"
#include "core/host/system_makers.hpp"
#include "core/host/host_setup.hpp"
#include "core/watch_service/bench_facts.hpp"

namespace anvil {

void KnownNeighbours::take(const ServerEvent& event) {
    const auto* change = std::get_if<ServerEvent::Neighbour>(&event.value);
    if (!change) return;
    const auto& mac = change->device.mac;
    if (change->change == NeighbourChange::gone) {
        neighbours_.erase(mac);
        return;
    }
    auto known = neighbours_.find(mac);
    if (known != neighbours_.end())
        known->second = change->device;
    else if (neighbours_.size() < capacity)
        neighbours_.emplace(mac, change->device);
}

std::vector<Neighbour> KnownNeighbours::all() const {
    std::vector<Neighbour> list;
    list.reserve(neighbours_.size());
    for (const auto& [mac, neighbour] : neighbours_) list.push_back(neighbour);
    return list;
}

const Neighbour* KnownNeighbours::find(const MACAddress& mac) const {
    auto known = neighbours_.find(mac);
    return known == neighbours_.end() ? nullptr : &known->second;
}

std::optional<AdviceCommands> adviceCommands(const Notice& notice, const KnownNeighbours& known,
                                             const NetworkCard& card, std::optional<Subnet> served,
                                             const HostFacts& hostFacts) {
    if (notice.kind != NoticeKind::deviceNotAsking && notice.kind != NoticeKind::recoveryLoader) return std::nullopt;
    if (!notice.neighbour) return std::nullopt;
    const Neighbour* neighbour = known.find(*notice.neighbour);
    if (!neighbour) return std::nullopt;
    auto facts = hostFacts(card, served);
    for (const auto& other : known.all()) addClaims(facts, other);
    auto advice = adviceFor(*neighbour, facts);
    if (!advice) return std::nullopt;
    const auto& address = advice->cardAddress;
    return AdviceCommands{*advice,
                          HostSetup::addAddressCommand(card, address.address, address.prefixLength),
                          HostSetup::removeAddressCommand(card, address.address, address.prefixLength)};
}

std::vector<std::string> adviceLines(const AdviceCommands& commands) {
    std::vector<std::string> lines;
    auto cidr = commands.advice.cardAddress.cidr();
    if (commands.advice.kind == NeighbourAdvice::Kind::recoveryLoader) {
        lines.push_back("  To serve the file it asks for, give this card " + cidr +
                        " and run serve with --boot <folder> holding that file");
        lines.push_back("  (its NEIGH line names the file once it sends its read request):");
    } else {
        lines.push_back("  To reach it, give this card " + cidr + " as well (it is not kept after a restart):");
    }
    lines.push_back("    " + plainText(HostSetup::sudoLine(commands.add)));
    lines.push_back("  When done:");
    lines.push_back("    " + plainText(HostSetup::sudoLine(commands.remove)));
    return lines;
}

std::string withCommands(const std::string& jsonLine, const AdviceCommands& commands) {
    auto object = nlohmann::ordered_json::parse(jsonLine, nullptr, false);
    if (!object.is_object()) return jsonLine;
    object["addCommand"] = commands.add;
    object["removeCommand"] = commands.remove;
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::vector<std::string> printedLines(EventPrinting& printing, const ServerEvent& event, Date at,
                                      const std::optional<std::string>& line) {
    printing.known.take(event);
    std::optional<AdviceCommands> commands;
    if (const auto* raised = std::get_if<ServerEvent::NoticeRaised>(&event.value); raised && printing.card)
        commands = adviceCommands(raised->notice, printing.known, *printing.card, printing.served,
                                  printing.hostFacts ? printing.hostFacts : HostFacts([](const NetworkCard& card, std::optional<Subnet> served) {
                                      return BenchFacts::read(card, served);
                                  }));
    std::vector<std::string> lines;
    if (printing.json) {
        // JSON escapes control characters itself.
        auto object = EventLog::json(event, at, SystemMakers::lookup);
        if (!object) return lines;
        lines.push_back(commands ? withCommands(*object, *commands) : *object);
        return lines;
    }
    if (!line) return lines;
    lines.push_back(plainText(*line));
    if (commands)
        for (auto& extra : adviceLines(*commands)) lines.push_back(std::move(extra));
    return lines;
}

}  // namespace anvil
