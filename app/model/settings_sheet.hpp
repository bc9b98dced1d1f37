#pragma once
// The server's configuration as the user keeps it, and the settings sheet that edits it: open or
// closed, the problems it shows, and saving a valid form to the settings store.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/model/model_context.hpp"
#include "core/addressing/server_config.hpp"
#include "core/addressing/settings_form.hpp"

namespace anvil {

class SettingsSheet {
public:
    using Messages = SettingsForm::Messages;

    // Reads the stored configuration; the default one when there is none or it cannot be read.
    explicit SettingsSheet(ModelContext& context);

    const ServerConfig& config() const { return config_; }
    bool isOpen() const { return open_; }
    // Problems of the stored configuration found at Start; the sheet opens showing them.
    const Messages& messages() const { return messages_; }

    // The stored configuration's problems; when there are any the sheet opens showing them.
    bool refusesToServe();
    void open();
    // Closing forgets the problems the sheet showed.
    void close();
    // The per-field errors, empty when the configuration was saved and the sheet closed.
    Messages save(const SettingsForm& form);

    // The device's pin, when one names its hardware address.
    const Pin* pinFor(const MACAddress& mac) const;
    // Pins the device to the address (replacing its pin, keeping the label) or removes its pin, and
    // stores the configuration as Save does: the sentence why not when it would not hold.
    std::optional<std::string> pin(const MACAddress& mac, IPv4Address ip, const std::string& label);
    std::optional<std::string> unpin(const MACAddress& mac);

private:
    friend struct ModelStaging;
    void store(const ServerConfig& config);
    ModelContext& context_;
    ServerConfig config_;
    bool open_ = false;
    Messages messages_;
};

}  // namespace anvil
