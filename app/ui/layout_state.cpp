#include "app/ui/layout_state.hpp"

namespace anvil {

QByteArray storedLayout(const SettingsStore& store, const char* key) {
    auto text = store.value(key);
    if (!text) return {};
    return QByteArray::fromBase64(QByteArray::fromStdString(*text));
}

void storeLayout(SettingsStore& store, const char* key, const QByteArray& state) {
    store.setValue(key, state.toBase64().toStdString());
}

}  // namespace anvil
