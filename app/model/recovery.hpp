#pragma once
// "Serve a file to it": a firmware recovery loader on the cable gets the address it looks for on
// the card and the file it asks for over TFTP, which the user chooses when the server has none;
// once the file went, or none was chosen, the address goes again.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/model/model_context.hpp"

namespace anvil {

class AdminCommands;
class CableDevices;
class Serving;

// A recovery loader being served: the device, the address it looks for, the file it asked for.
struct RecoveryServing {
    MACAddress mac;
    IPv4Address device;
    std::optional<std::string> file;
    bool askedForFile = false;
    // Closes the open file question; empty while none is open.
    std::function<void()> withdrawFileQuestion;
};

class Recovery {
public:
    static constexpr std::string_view chooseFileTitle = "Choose the file to send as ";

    Recovery(ModelContext& context, Serving& serving, CableDevices& cable, AdminCommands& commands)
        : context_(context), serving_(serving), cable_(cable), commands_(commands) {}

    const std::optional<RecoveryServing>& current() const { return current_; }

    // Adds the address the loader looks for, then has the server serve TFTP on the card.
    void serveFile(const MACAddress& mac);
    // Follows the loader's transfers: asks for a file the server lacks, ends when one went.
    void follow(const ServerEvent& event);
    // Forgets the serving, closing its file question if one is open.
    void drop();

private:
    void askForFile(const std::string& name);
    void fileChosen(const MACAddress& mac, const std::string& name, std::optional<std::filesystem::path> chosen);
    void end();

    ModelContext& context_;
    Serving& serving_;
    CableDevices& cable_;
    AdminCommands& commands_;
    std::optional<RecoveryServing> current_;
};

}  // namespace anvil
