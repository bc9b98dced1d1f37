#pragma once
// The wall clock as a Date, for the runtime and front ends; policy code is handed the time instead.
#include <chrono>

#include "core/addressing/date.hpp"

namespace anvil {

inline Date systemNow() {
    return Date{std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()};
}

}  // namespace anvil
