#pragma once
// Network console text (Linux netconsole, U-Boot) turned into lines: a datagram may hold several
// lines or part of one, so the part after the last newline waits per sender for the rest, or for
// DeviceLogLimits::partialLineSeconds. Bounded in senders and in the length of what each keeps.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/device_logs/log_sender.hpp"

namespace anvil {

struct ConsoleLine {
    LogSender sender;
    // The sender's bytes without the newline (or carriage return and newline).
    std::string text;
    // The line was longer than DeviceLogLimits::lineBytes; the rest of it was not kept.
    bool cut = false;

    friend bool operator==(const ConsoleLine&, const ConsoleLine&) = default;
};

class ConsoleAssembly {
public:
    static constexpr std::size_t defaultSenderCapacity = 64;
    explicit ConsoleAssembly(std::size_t senderCapacity = defaultSenderCapacity) : capacity_(senderCapacity) {}

    // The lines this datagram completes. A new sender past the capacity sends the oldest partial
    // line out as it is, so that nothing a device said is lost without a trace.
    std::vector<ConsoleLine> receive(const LogSender& sender, std::string_view datagram, Date now);
    std::vector<ConsoleLine> receive(const LogSender& sender, std::span<const std::uint8_t> datagram, Date now);
    // Partial lines that have waited long enough.
    std::vector<ConsoleLine> due(Date now);
    // When due() next has a line to give; none when nothing waits.
    std::optional<Date> nextDue() const;
    std::size_t senderCount() const { return partials_.size(); }

private:
    struct Partial {
        LogSender sender;
        std::string text;
        Date since;
        bool cut = false;
        // Past the limit: the rest of this line is skipped up to its newline.
        bool skipping = false;
    };
    static ConsoleLine finish(Partial& partial);

    std::size_t capacity_;
    // Oldest first.
    std::vector<Partial> partials_;
};

}  // namespace anvil
