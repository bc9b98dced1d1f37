// The checklist and its gathering.
#include "app/model/checks.hpp"

#include "app/model/card_choice.hpp"

namespace anvil {

void Checks::refresh(const NetworkCard* card, const ServerConfig& config) {
    unsigned generation = ++generation_;
    if (!card) {
        if (!serving_() && !checks_.empty()) {
            checks_.clear();
            context_.changed(ModelChange::checks);
        }
        return;
    }
    context_.background.withTimeout<std::optional<PreflightInput>>(
        CardChoice::hostQueryTimeout, std::nullopt,
        [gather = context_.env.gatherPreflight, card = *card, config] { return std::optional(gather(card, config)); },
        [this, generation](std::optional<PreflightInput> input) { apply(generation, std::move(input)); });
}

void Checks::apply(unsigned generation, std::optional<PreflightInput> input) {
    // An older gathering that finishes late must not overwrite a newer one.
    if (generation != generation_ || !input || serving_()) return;
    auto fresh = Preflight::evaluate(*input, context_.env.platform);
    if (fresh == checks_) return;
    checks_ = std::move(fresh);
    context_.changed(ModelChange::checks);
}

}  // namespace anvil
