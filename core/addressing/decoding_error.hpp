#pragma once
// Stored data that does not have the expected form ("data corrupted").
#include <stdexcept>
#include <string>

namespace anvil {

struct DecodingError : std::runtime_error {
    explicit DecodingError(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

}  // namespace anvil
