#pragma once
// The toolkit's saved layouts (window geometry, splitter sizes, header state) kept in the settings
// store as text.
#include <QByteArray>

#include "app/settings_store.hpp"

namespace anvil {

// Empty when nothing was stored.
QByteArray storedLayout(const SettingsStore& store, const char* key);
void storeLayout(SettingsStore& store, const char* key, const QByteArray& state);

}  // namespace anvil
