#include "cli/lease_listing.hpp"

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/cli_error.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/addressing/duration.hpp"
#include "core/leases/internet_date.hpp"

namespace anvil {

namespace {

using Row = std::array<std::string, 6>;

std::string timeLeft(Date until, Date now) {
    double left = until.secondsSince(now);
    if (left < 1) return "expired";
    return formatDuration(static_cast<std::uint32_t>(std::min(std::floor(left), 4294967295.0))) + " left";
}

std::string makerText(const MACAddress& mac, const MakerLookup& maker) {
    auto name = maker ? maker(mac) : std::nullopt;
    return plainText(name.value_or("-"));
}

// Columns padded to their widest cell; the last one is not padded, so no line ends in blanks.
std::vector<std::string> aligned(const std::vector<Row>& rows) {
    std::array<std::size_t, 6> widths{};
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) line.append(widths[column] - row[column].size() + 2, ' ');
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<Lease> displayOrder(const LeaseTable& table) { return table.sortedForDisplay({}); }

}  // namespace

LeasesOptions parseLeases(const std::vector<std::string>& arguments) {
    LeasesOptions options;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        if (option == "--leases") {
            if (index + 1 >= arguments.size()) throw CLIError::usage(option + " needs a value");
            options.leasePath = arguments[++index];
        } else if (option == "--json") {
            options.json = true;
        } else {
            throw CLIError::usage("unknown option " + option);
        }
    }
    return options;
}

std::vector<std::string> leaseListing(const LeaseTable& table, Date now, const MakerLookup& maker) {
    std::vector<Row> rows;
    for (const auto& lease : displayOrder(table))
        rows.push_back({lease.ip.description(), lease.mac.description(), makerText(lease.mac, maker),
                        plainText(lease.hostname.value_or("-")), stateText(lease),
                        timeLeft(lease.expiresAt, now)});
    for (const auto& entry : table.quarantine())
        rows.push_back({entry.ip.description(), entry.reportedBy.description(), makerText(entry.reportedBy, maker), "-",
                        "quarantined", timeLeft(entry.until, now)});
    return aligned(rows);
}

std::vector<std::string> leaseListingJSON(const LeaseTable& table, Date now, const MakerLookup& maker) {
    std::vector<std::string> lines;
    auto dump = [&](const nlohmann::json& object) {
        lines.push_back(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    for (const auto& lease : displayOrder(table)) {
        nlohmann::json object = {{"ip", lease.ip.description()},
                                  {"mac", lease.mac.description()},
                                  {"state", rawValue(lease.state)},
                                  {"expiresAt", formatInternetDate(lease.expiresAt)},
                                  {"expired", lease.isExpired(now)},
                                  {"firstSeen", formatInternetDate(lease.firstSeen)},
                                  {"lastSeen", formatInternetDate(lease.lastSeen)}};
        // Texts a device chose (or a hand-edited file holds) go out as the text listing shows them.
        if (auto name = maker ? maker(lease.mac) : std::nullopt) object["maker"] = plainText(*name);
        if (lease.hostname) object["hostname"] = plainText(*lease.hostname);
        if (lease.vendorClass) object["vendorClass"] = plainText(*lease.vendorClass);
        if (lease.clientID) object["clientID"] = plainText(*lease.clientID);
        if (lease.bootp) object["bootp"] = true;
        dump(object);
    }
    for (const auto& entry : table.quarantine())
        dump({{"ip", entry.ip.description()},
              {"state", "quarantined"},
              {"reportedBy", entry.reportedBy.description()},
              {"until", formatInternetDate(entry.until)},
              {"expired", !entry.isInForce(now)}});
    return lines;
}

}  // namespace anvil
