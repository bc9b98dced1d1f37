#pragma once
// The texts of the settings sheet, read back into a configuration or messages per field.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/server_config.hpp"

namespace anvil {

enum class LeasePreset { oneHour, eightHours, oneDay, sevenDays, custom };

inline constexpr LeasePreset allLeasePresets[] = {LeasePreset::oneHour, LeasePreset::eightHours, LeasePreset::oneDay,
                                                  LeasePreset::sevenDays, LeasePreset::custom};

std::string_view rawValue(LeasePreset preset);
std::optional<LeasePreset> leasePresetFromRaw(std::string_view text);
std::string_view label(LeasePreset preset);
// Nothing for custom.
std::optional<std::uint32_t> presetSeconds(LeasePreset preset);

struct SettingsForm {
    enum class Field { server, range, lease, gateway, dns, boot };

    std::string serverIP;
    std::string prefix;
    std::string rangeStart;
    std::string rangeEnd;
    LeasePreset leasePreset = LeasePreset::oneDay;
    std::string customLease;
    std::string router;
    std::string dns;
    // Network boot: the rest of its fields are kept while it is off, and only checked when on.
    bool bootEnabled = false;
    std::string bootFolder;
    std::string bootFileForAll;               // empty: each client names its own file
    std::map<BootKind, std::string> bootFiles;  // empty names are left out
    std::uint16_t bootBlockSizeCeiling = defaultBlockSizeCeiling;  // not on the form; kept as set
    // One row of the pins table, as readPin takes it.
    struct PinRow {
        std::string device;
        std::string address;
        std::string label;
        friend bool operator==(const PinRow&, const PinRow&) = default;
    };
    // One row of the options table, as readUserOption takes it.
    struct OptionRow {
        std::string match;
        std::string option;
        std::string value;
        bool always = false;
        friend bool operator==(const OptionRow&, const OptionRow&) = default;
    };
    // Rows left wholly blank are not there.
    std::vector<PinRow> pins;
    std::vector<OptionRow> options;
    bool answerBOOTP = true;

    static SettingsForm from(const ServerConfig& config);

    std::optional<std::uint32_t> leaseSeconds() const;
    std::optional<long long> rangeCount() const;

    // Every message of the sheet: under a field, or beside a row of the pins or options table.
    struct Messages {
        std::map<Field, std::vector<std::string>> fields;
        // By the row's place in `pins` and `options`.
        std::map<std::size_t, std::vector<std::string>> pins;
        std::map<std::size_t, std::vector<std::string>> options;
        bool empty() const { return fields.empty() && pins.empty() && options.empty(); }
        friend bool operator==(const Messages&, const Messages&) = default;
    };

    struct Evaluation {
        std::optional<ServerConfig> config;
        std::map<Field, std::vector<std::string>> errors;
        std::map<std::size_t, std::vector<std::string>> pinErrors;
        std::map<std::size_t, std::vector<std::string>> optionErrors;
        Messages messages() const { return {errors, pinErrors, optionErrors}; }
    };
    Evaluation evaluate() const;
    std::map<Field, std::vector<std::string>> errors() const { return evaluate().errors; }
    std::optional<ServerConfig> config() const { return evaluate().config; }

    friend bool operator==(const SettingsForm&, const SettingsForm&) = default;

private:
    template <typename Report>
    std::optional<BootConfig> evaluateBoot(Report report) const;
    // Reads the rows that are not blank into `config`; false when one does not read.
    bool evaluateRows(ServerConfig& config, std::vector<std::size_t>& pinRows, std::vector<std::size_t>& optionRows,
                      Evaluation& result) const;
};

}  // namespace anvil
