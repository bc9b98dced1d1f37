#pragma once
// The persisted preferences as text values under fixed keys; the app backs it with QSettings.
#include <map>
#include <optional>
#include <string>

namespace anvil {

class SettingsStore {
public:
    static constexpr const char* serverConfigKey = "serverConfig";
    static constexpr const char* selectedCardMACKey = "selectedCardMAC";
    static constexpr const char* updateFeedOverrideKey = "updateFeedOverride";
    // The window's layout, as the toolkit saves it (base64): its geometry, how its panels share the
    // height, and the lease table's column order and widths.
    static constexpr const char* windowGeometryKey = "window/geometry";
    static constexpr const char* dashboardSplitterKey = "window/dashboardSplitter";
    static constexpr const char* leaseColumnsKey = "window/leaseColumns";

    virtual ~SettingsStore() = default;
    virtual std::optional<std::string> value(const std::string& key) const = 0;
    virtual void setValue(const std::string& key, const std::string& value) = 0;
    virtual void remove(const std::string& key) = 0;
};

// Keeps the values in memory; for tests and for runs without a settings backend.
class MemorySettingsStore : public SettingsStore {
public:
    std::optional<std::string> value(const std::string& key) const override {
        auto found = values.find(key);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }
    void setValue(const std::string& key, const std::string& value) override { values[key] = value; }
    void remove(const std::string& key) override { values.erase(key); }

    std::map<std::string, std::string> values;
};

}  // namespace anvil
