#include "core/run/card_reopener.hpp"

#include <asio.hpp>
#include <exception>
#include <utility>

namespace anvil {

CardReopener::CardReopener(asio::io_context& loop) : loop_(loop) {}

void CardReopener::reopen(const std::string& card, CardService::Opener open, Done done) {
    *busy_ = true;
    queue_.async([loop = &loop_, busy = busy_, card, open = std::move(open), done = std::move(done)] {
        auto opening = std::make_shared<CardService::Opening>();
        try {
            *opening = open(card);
        } catch (const std::exception& error) {
            opening->failure = error.what();
        }
        asio::post(*loop, [busy, done, opening] {
            *busy = false;
            done(std::move(*opening));
        });
    });
}

}  // namespace anvil
