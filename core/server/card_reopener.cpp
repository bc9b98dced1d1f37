#include "core/server/card_reopener.hpp"

#include <asio.hpp>
#include <utility>

#include "core/server/transport_mode.hpp"

namespace anvil {

CardReopener::CardReopener(asio::io_context& loop, TransportFactory factory)
    : loop_(loop), factory_(std::move(factory)) {}

void CardReopener::reopen(const std::string& name, Done done) {
    *busy_ = true;
    queue_.async([loop = &loop_, factory = factory_, busy = busy_, name, done = std::move(done)] {
        auto opened = std::make_shared<Opened>();
        try {
            auto fresh = factory(TransportMode::interface(name));
            fresh->open();
            opened->transport = std::move(fresh);
        } catch (const std::exception& error) {
            opened->failure = error.what();
        }
        asio::post(*loop, [busy, name, done, opened] {
            *busy = false;
            done(name, std::move(*opened));
        });
    });
}

void CardReopener::reopenWatch(const std::string& name, OpenWatch open, WatchDone done) {
    *watchBusy_ = true;
    queue_.async([loop = &loop_, busy = watchBusy_, name, open = std::move(open), done = std::move(done)] {
        // Closed here unless the loop takes it: a loop that stopped meanwhile never runs the answer.
        std::shared_ptr<WatchOpened> opened(new WatchOpened(open(name)), [](WatchOpened* left) {
            if (auto* watch = std::get_if<FrameWatch>(left)) closeFrameWatch(*watch);
            delete left;
        });
        asio::post(*loop, [busy, name, done, opened] {
            *busy = false;
            done(name, std::exchange(*opened, WatchOpened{PrivilegeHelper::Failure{}}));
        });
    });
}

}  // namespace anvil
