#pragma once
// A moment in time as seconds since 1970-01-01T00:00:00Z. Policy code takes it as a value
// and never reads a clock.
#include <compare>

namespace anvil {

struct Date {
    double secondsSince1970 = 0;

    constexpr Date addingSeconds(double seconds) const { return Date{secondsSince1970 + seconds}; }
    constexpr double secondsSince(Date earlier) const { return secondsSince1970 - earlier.secondsSince1970; }

    friend constexpr bool operator==(Date, Date) = default;
    friend constexpr auto operator<=>(Date, Date) = default;
};

}  // namespace anvil
