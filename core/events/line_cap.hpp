#pragma once
// How many lines of one kind that the cable can provoke go out each second; the rest are counted
// and summed up in one "n more" line, so that a device cannot flood the log or the screen.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace anvil {

class LineCap {
public:
    explicit LineCap(std::uint32_t perSecond) : perSecond_(perSecond) {}

    // Whether one more line may go out in the whole second `second` (the caller's clock, in
    // whole seconds). A line that may not is counted.
    bool admit(std::int64_t second) {
        if (second != second_) startSecond(second);
        if (passed_ < perSecond_) {
            ++passed_;
            return true;
        }
        ++held_;
        return false;
    }

    // The lines held back in a second that has ended by `second`, once; nothing when none were.
    std::optional<std::uint32_t> takeHeldBack(std::int64_t second) {
        if (second != second_) startSecond(second);
        if (heldOver_ == 0) return std::nullopt;
        auto count = heldOver_;
        heldOver_ = 0;
        return count;
    }

private:
    void startSecond(std::int64_t second) {
        heldOver_ += held_;
        held_ = 0;
        passed_ = 0;
        second_ = second;
    }

    std::uint32_t perSecond_;
    std::int64_t second_ = std::numeric_limits<std::int64_t>::min();
    std::uint32_t passed_ = 0;
    std::uint32_t held_ = 0;
    std::uint32_t heldOver_ = 0;
};

// "37 more lines about <what> in the last second were not shown", the line that sums them up.
inline std::string heldBackSentence(std::uint32_t count, const std::string& what) {
    return std::to_string(count) + (count == 1 ? " more line about " : " more lines about ") + what +
           " in the last second " + (count == 1 ? "was" : "were") + " not shown.";
}

}  // namespace anvil
