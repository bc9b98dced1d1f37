#pragma once
// Which parts of the application model a change touched, so that each screen redraws only for its own.
namespace anvil {

class ModelChange {
public:
    enum Part : unsigned {
        cards = 1u << 0,
        checks = 1u << 1,
        // Running, stopping, starting and what the device panel shows of the exchange.
        serving = 1u << 2,
        // The leases and their devices' presence.
        leases = 1u << 3,
        notices = 1u << 4,
        log = 1u << 5,
        // Questions, the pending command and the error alert.
        dialogs = 1u << 6,
        settings = 1u << 7,
        // Only time moved: elapsed time, the waiting hint, lease countdowns.
        clock = 1u << 8,
        // The devices on the cable, their advice and the addresses added to reach them.
        neighbours = 1u << 9,
        // A boot transfer began, moved on, finished or failed; several times a second while it runs.
        transfers = 1u << 10,
    };

    constexpr ModelChange() = default;
    constexpr ModelChange(Part part) : parts_(part) {}
    static constexpr ModelChange everything() { return fromBits((transfers << 1) - 1); }

    constexpr bool empty() const { return parts_ == 0; }
    // Whether any of `other`'s parts changed.
    constexpr bool touches(ModelChange other) const { return (parts_ & other.parts_) != 0; }

    constexpr ModelChange& operator|=(ModelChange other) {
        parts_ |= other.parts_;
        return *this;
    }
    friend constexpr ModelChange operator|(ModelChange left, ModelChange right) { return left |= right; }
    friend constexpr ModelChange operator|(Part left, Part right) { return ModelChange(left) | ModelChange(right); }
    friend constexpr bool operator==(ModelChange, ModelChange) = default;

private:
    static constexpr ModelChange fromBits(unsigned bits) {
        ModelChange change;
        change.parts_ = bits;
        return change;
    }
    unsigned parts_ = 0;
};

}  // namespace anvil
