#pragma once
// The checklist shown before Start: gathered from the host away from the window, where a late
// answer never overwrites a newer one, and frozen while the server runs.
#include <functional>
#include <optional>
#include <vector>

#include "app/model/model_context.hpp"
#include "core/host/preflight.hpp"

namespace anvil {

class Checks {
public:
    // `serving` tells whether the server runs, whose checks stay as they were when it started.
    Checks(ModelContext& context, std::function<bool()> serving) : context_(context), serving_(std::move(serving)) {}

    const std::vector<PreflightCheck>& list() const { return checks_; }

    // Gathers the checks of `card` afresh; with no card they are cleared unless serving.
    void refresh(const NetworkCard* card, const ServerConfig& config);

private:
    friend struct ModelStaging;
    void apply(unsigned generation, std::optional<PreflightInput> input);

    ModelContext& context_;
    std::vector<PreflightCheck> checks_;
    std::function<bool()> serving_;
    unsigned generation_ = 0;
};

}  // namespace anvil
