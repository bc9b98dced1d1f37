// The cable's devices: advice, the address question and the added addresses.
#include "app/model/cable_devices.hpp"

#include <algorithm>

#include "app/model/admin_commands.hpp"
#include "app/model/card_choice.hpp"
#include "app/model/serving.hpp"
#include "app/model/settings_sheet.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/host/host_setup.hpp"
#include "core/watch_service/bench_facts.hpp"

namespace anvil {

namespace {

std::string removeCommand(const ReachedAddress& item) {
    return HostSetup::removeAddressCommand(item.card, item.address.address, item.address.prefixLength);
}

// Best effort, and never an administrator prompt on the way out: the commands that failed.
using AddressRunner = decltype(AppEnvironment::runAddressCommand);

std::vector<std::string> removeEach(const std::vector<ReachedAddress>& items, const AddressRunner& run) {
    std::vector<std::string> left;
    for (const auto& item : items) {
        try {
            if (run) run(item.card, removeCommand(item), false);
        } catch (const std::exception&) {
            left.push_back(removeCommand(item));
        }
    }
    return left;
}

const std::string stayedSentence = "could not remove the added address: ";

}  // namespace

std::string AddressQuestion::title() const { return "Add " + address.cidr() + " to " + plainText(card.bsdName) + "?"; }

std::string AddressQuestion::command() const {
    return HostSetup::addAddressCommand(card, address.address, address.prefixLength);
}

std::optional<IPv4Address> CableDevices::address(const MACAddress& mac) const {
    const Neighbour* device = context_.state.neighbour(mac);
    if (!device || device->claims.empty()) return std::nullopt;
    return device->claims.back();
}

CableFacts CableDevices::facts(std::optional<Subnet> served) const {
    CableFacts host;
    host.served = served;
    if (const NetworkCard* card = cards_.selected())
        host = context_.env.benchFacts ? context_.env.benchFacts(*card, served) : BenchFacts::ofCard(*card, served);
    return cableFacts(std::move(host), context_.state.neighbours);
}

std::optional<NeighbourAdvice> CableDevices::advice(const MACAddress& mac) const {
    const Neighbour* device = context_.state.neighbour(mac);
    if (!device) return std::nullopt;
    return adviceFor(*device, facts(serving_.isRunning() ? std::optional(settings_.config().subnet()) : std::nullopt));
}

std::optional<CardAddress> CableDevices::reachAddress(const MACAddress& mac) const {
    if (auto found = advice(mac); found && found->kind == NeighbourAdvice::Kind::reachIt) return found->cardAddress;
    auto claimed = address(mac);
    if (!claimed || (serving_.isRunning() && settings_.config().subnet().contains(*claimed))) return std::nullopt;
    return reachAddressFor(*claimed, facts(std::nullopt));
}

bool CableDevices::isReached(const MACAddress& mac) const {
    return std::any_of(reached_.begin(), reached_.end(), [&](const ReachedAddress& item) { return item.mac == mac; });
}

std::optional<AddressQuestion> CableDevices::questionFor(const MACAddress& mac,
                                                         AddressQuestion::Purpose purpose) const {
    const NetworkCard* card = cards_.selected();
    if (!card) return std::nullopt;
    if (purpose == AddressQuestion::Purpose::reach) {
        auto found = reachAddress(mac);
        if (!found || isReached(mac)) return std::nullopt;
        return AddressQuestion{0, purpose, mac, *card, *found};
    }
    auto found = advice(mac);
    if (!mayServeFile || !mayServeFile() || !found || found->kind != NeighbourAdvice::Kind::recoveryLoader)
        return std::nullopt;
    return AddressQuestion{0, purpose, mac, *card, found->cardAddress};
}

void CableDevices::ask(const MACAddress& mac, AddressQuestion::Purpose purpose) {
    auto asked = questionFor(mac, purpose);
    if (!asked) return;
    asked->id = nextQuestionID_++;
    question_ = std::move(asked);
    context_.changed(ModelChange::dialogs);
}

void CableDevices::askToReach(const MACAddress& mac) {
    // At the limit nothing would be added: say so instead of asking.
    if (reached_.size() >= reachedCapacity && !isReached(mac)) return reach(mac);
    ask(mac, AddressQuestion::Purpose::reach);
}

void CableDevices::askToServeFile(const MACAddress& mac) { ask(mac, AddressQuestion::Purpose::serveFile); }

std::optional<AddressQuestion> CableDevices::confirm() {
    if (!question_) return std::nullopt;
    AddressQuestion asked = *question_;
    question_.reset();
    context_.changed(ModelChange::dialogs);
    // The cable may have changed while the question was open: only what was shown may run.
    auto now = questionFor(asked.mac, asked.purpose);
    if (!now || (now->address == asked.address && now->card.bsdName == asked.card.bsdName)) return now;
    now->id = nextQuestionID_++;
    question_ = std::move(now);
    return std::nullopt;
}

void CableDevices::cancel() {
    question_.reset();
    context_.changed(ModelChange::dialogs);
}

bool CableDevices::dropServeFileQuestion() {
    if (!question_ || question_->purpose != AddressQuestion::Purpose::serveFile) return false;
    question_.reset();
    return true;
}

void CableDevices::reach(const MACAddress& mac) {
    if (reached_.size() >= reachedCapacity && !isReached(mac)) {
        context_.alert.message = "DHCP Anvil reaches at most " + std::to_string(reachedCapacity) +
                                 " devices at once; stop reaching one first.";
        context_.changed(ModelChange::dialogs);
        return;
    }
    auto asked = questionFor(mac, AddressQuestion::Purpose::reach);
    if (!asked) return;
    ReachedAddress item{mac, asked->card, asked->address};
    commands_.runAddressCommand(asked->card, asked->command(), [this, item] {
        if (!isReached(item.mac)) reached_.push_back(item);
    });
}

void CableDevices::stopReaching(const MACAddress& mac) {
    auto found =
        std::find_if(reached_.begin(), reached_.end(), [&](const ReachedAddress& item) { return item.mac == mac; });
    if (found == reached_.end()) return;
    ReachedAddress item = *found;
    commands_.runAddressCommand(item.card, removeCommand(item), [this, item] { std::erase(reached_, item); });
}

void CableDevices::keep(ReachedAddress item) {
    std::erase_if(reached_, [&](const ReachedAddress& kept) { return kept.mac == item.mac; });
    reached_.push_back(std::move(item));
}

void CableDevices::removeAll() {
    if (reached_.empty()) return;
    std::vector<ReachedAddress> items;
    items.swap(reached_);
    context_.background.run([items, run = context_.env.runAddressCommand] { return removeEach(items, run); },
                            [this](std::vector<std::string> left) {
                                for (const auto& command : left) context_.logLine("ADAPTER", stayedSentence + command);
                                ModelChange parts = ModelChange::neighbours | ModelChange::notices;
                                if (!left.empty()) parts |= ModelChange::log;
                                context_.changed(parts);
                            });
}

void CableDevices::removeAllNow(LogFileWriter& logFile) {
    std::vector<ReachedAddress> items;
    items.swap(reached_);
    Date now = context_.env.now();
    for (const auto& command : removeEach(items, context_.env.runAddressCommand))
        logFile.append(EventLog::line("ADAPTER", stayedSentence + command, now), now);
}

}  // namespace anvil
