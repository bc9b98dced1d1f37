#include "core/addressing/subnet.hpp"

#include <algorithm>
#include <bit>
#include <charconv>

#include "core/addressing/text_pieces.hpp"

namespace anvil {

std::optional<Subnet> Subnet::make(IPv4Address address, int prefixLength) {
    if (prefixLength < 0 || prefixLength > 32) return std::nullopt;
    return Subnet{address, prefixLength};
}

std::optional<Subnet> Subnet::parse(std::string_view cidr) {
    auto pieces = splitText(cidr, '/', EmptyPieces::drop);
    if (pieces.size() != 2) return std::nullopt;
    auto address = IPv4Address::parse(pieces[0]);
    if (!address) return std::nullopt;
    // Like a standard integer parse: an optional sign, then digits only.
    auto digits = pieces[1];
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long long prefix = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    if (negative) prefix = -prefix;
    if (prefix < 0 || prefix > 32) return std::nullopt;
    return Subnet{*address, static_cast<int>(prefix)};
}

std::optional<int> Subnet::prefixLengthOfMask(IPv4Address mask) {
    if (mask.value == 0) return 0;
    int ones = std::popcount(mask.value);
    if (maskOf(ones) != mask) return std::nullopt;
    return ones;
}

IPv4Address Subnet::maskOf(int prefixLength) {
    if (prefixLength <= 0) return IPv4Address::zero;
    if (prefixLength >= 32) return IPv4Address::broadcast;
    return IPv4Address{~std::uint32_t{0} << (32 - prefixLength)};
}

IPv4Address Subnet::broadcast() const {
    if (prefixLength == 0) return IPv4Address::broadcast;
    return IPv4Address{network().value | ~mask().value};
}

bool Subnet::overlaps(const Subnet& other) const {
    auto shorter = maskOf(std::min(prefixLength, other.prefixLength));
    return ((address.value ^ other.address.value) & shorter.value) == 0;
}

std::string Subnet::description() const { return network().description() + "/" + std::to_string(prefixLength); }

}  // namespace anvil
