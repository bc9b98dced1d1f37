#pragma once
// The devices on the cable that do not ask for an address: what can be done about each, the
// question that shows the address "Reach it" or "Serve a file to it" would add, and the addresses
// the app added to the card, which go again when they are no longer needed.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/model/model_context.hpp"
#include "core/host/network_card.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/watch/neighbour_advice.hpp"

namespace anvil {

class AdminCommands;
class CardChoice;
class Serving;
class SettingsSheet;

// An address the app added to a card to reach a device on the cable; removed when done.
struct ReachedAddress {
    MACAddress mac;
    NetworkCard card;
    CardAddress address;
    friend bool operator==(const ReachedAddress&, const ReachedAddress&) = default;
};

// The address "Reach it" or "Serve a file to it" would add, shown with its card before anything runs.
struct AddressQuestion {
    enum class Purpose { reach, serveFile };
    long long id = 0;
    Purpose purpose = Purpose::reach;
    MACAddress mac;
    NetworkCard card;
    CardAddress address;
    // "Add 192.168.1.254/24 to enx00e04c680001?"
    std::string title() const;
    std::string command() const;
    friend bool operator==(const AddressQuestion&, const AddressQuestion&) = default;
};

class CableDevices {
public:
    static constexpr std::size_t reachedCapacity = 8;

    CableDevices(ModelContext& context, const CardChoice& cards, const Serving& serving, const SettingsSheet& settings,
                 AdminCommands& commands)
        : context_(context), cards_(cards), serving_(serving), settings_(settings), commands_(commands) {}

    const std::vector<ReachedAddress>& reached() const { return reached_; }
    const std::optional<AddressQuestion>& question() const { return question_; }

    // What can be done about a device, judged against the served subnet, the card's addresses and
    // every address the cable's devices claim.
    std::optional<NeighbourAdvice> advice(const MACAddress& mac) const;
    // The address to add to reach it: the advice's, or for any device claiming an address outside
    // the served subnet, a free one of its network.
    std::optional<CardAddress> reachAddress(const MACAddress& mac) const;
    bool canReach(const MACAddress& mac) const { return reachAddress(mac).has_value() && !isReached(mac); }
    bool isReached(const MACAddress& mac) const;
    // The address a device names as its own, newest; none when it named none.
    std::optional<IPv4Address> address(const MACAddress& mac) const;

    // Whether a file can be served to a loader now: set by the model, which knows the recovery.
    std::function<bool()> mayServeFile;
    // What the question for `purpose` would ask now; none when there is nothing to add.
    std::optional<AddressQuestion> questionFor(const MACAddress& mac, AddressQuestion::Purpose purpose) const;
    // The screens ask first: these set the question, and only its confirmation adds the address.
    void askToReach(const MACAddress& mac);
    void askToServeFile(const MACAddress& mac);
    // The question to act on when the advice still names its address and card; asks again when
    // that changed, and gives nothing then.
    std::optional<AddressQuestion> confirm();
    void cancel();
    // The server stopped: serving a file needs it, so that question has nothing left to add.
    bool dropServeFileQuestion();

    // Adds the address at once, without asking.
    void reach(const MACAddress& mac);
    void stopReaching(const MACAddress& mac);
    // Keeps an address added for a device, in place of any it had.
    void keep(ReachedAddress item);
    // Removes every address the app added, with the user's rights only, and logs what stayed: in
    // the background, or at once on the way out (into `logFile`, as the window is gone).
    void removeAll();
    void removeAllNow(LogFileWriter& logFile);

private:
    CableFacts facts(std::optional<Subnet> served) const;
    void ask(const MACAddress& mac, AddressQuestion::Purpose purpose);

    ModelContext& context_;
    const CardChoice& cards_;
    const Serving& serving_;
    const SettingsSheet& settings_;
    AdminCommands& commands_;
    std::vector<ReachedAddress> reached_;
    std::optional<AddressQuestion> question_;
    long long nextQuestionID_ = 1;
};

}  // namespace anvil
