#pragma once
// Software updates behind one seam: an update framework's glue fills it in the environment. Linux
// has no such framework, so there the updater is empty and nothing about updates is offered.
#include <functional>

namespace anvil {

struct Updater {
    // Checks now, at the user's asking.
    std::function<void()> checkNow;
    // Whether checks also run by themselves; the settings sheet shows and changes it.
    std::function<bool()> checksAutomatically;
    std::function<void(bool)> setChecksAutomatically;

    // Without an updater, a menu entry or a toggle that does nothing would be a lie.
    bool exists() const { return checkNow && checksAutomatically && setChecksAutomatically; }
};

}  // namespace anvil
