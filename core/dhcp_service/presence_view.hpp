#pragma once
// The last judged presence of lease holders as a decision reads it: the caller's map in place
// (an lvalue is referred to, never copied), or a map of its own (a temporary is kept).
#include <initializer_list>
#include <optional>
#include <unordered_map>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/presence_state.hpp"

namespace anvil {

class PresenceView {
public:
    using Map = std::unordered_map<IPv4Address, PresenceState>;

    PresenceView() = default;
    // The map must outlive the view and every copy of it: a copy of a view refers where it does.
    PresenceView(const Map& map) : read_(&map) {}
    PresenceView(Map&& map) : own_(std::move(map)) {}
    PresenceView(std::initializer_list<Map::value_type> entries) : own_(entries) {}
    template <typename Iterator>
    PresenceView(Iterator first, Iterator last) : own_(first, last) {}

    const Map& map() const { return read_ ? *read_ : own_; }
    std::optional<PresenceState> of(IPv4Address ip) const {
        const auto& entries = map();
        if (auto found = entries.find(ip); found != entries.end()) return found->second;
        return std::nullopt;
    }

    friend bool operator==(const PresenceView& left, const PresenceView& right) { return left.map() == right.map(); }

private:
    Map own_;
    const Map* read_ = nullptr;
};

}  // namespace anvil
