// Feeds arbitrary bytes as one frame from the cable: the parser must refuse it or read it, and what it
// reads goes through the neighbour book several times, its expiry and the advice rules, which must keep
// their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <variant>

#include "core/watch/neighbour_advice.hpp"
#include "core/watch/neighbour_book.hpp"
#include "core/watch/watched_frame.hpp"

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace anvil;
    auto result = parseWatchedFrame(std::span(data, size));
    if (const auto* error = std::get_if<FrameParseError>(&result)) {
        check(!error->reason.empty(), "refusal without a reason");
        return 0;
    }
    const auto& frame = std::get<WatchedFrame>(result);

    NeighbourBook book;
    NeighbourContext context;
    context.holdsLease = [&](const MACAddress&) { return size % 2 == 0; };
    context.maker = [](const MACAddress&) { return std::optional<std::string>("Maker"); };
    for (double seconds : {0.0, 1.0, 2.0, 3.0}) (void)book.observe(frame, Date{seconds}, context);
    check(book.neighbours().size() <= 1, "one frame made more than one neighbour");

    CableFacts facts;
    facts.served = Subnet::make({192, 168, 0, 1}, 24);
    facts.cardAddresses = {{192, 168, 0, 1}};
    for (const auto& neighbour : book.neighbours()) {
        check(neighbour.claims.size() <= Neighbour::addressCapacity, "claims beyond capacity");
        check(neighbour.asksFor.size() <= Neighbour::addressCapacity, "asks beyond capacity");
        for (auto claim : neighbour.claims) facts.claimed.push_back(claim);
        for (auto served : {facts.served, std::optional<Subnet>{}}) {
            auto withServed = facts;
            withServed.served = served;
            if (auto advice = adviceFor(neighbour, withServed)) (void)adviceSentence(*advice, neighbour);
        }
        (void)book.leaseChanged(neighbour.mac, !neighbour.holdsLease);
    }
    auto gone = book.expire(Date{3.0 + NeighbourBook::quietSeconds});
    check(book.neighbours().empty(), "quiet neighbour kept");
    (void)gone;
    return 0;
}
