#include "core/events/event_log.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>

#include "core/addressing/duration.hpp"
#include "core/addressing/plain_text.hpp"

namespace anvil {

namespace {

constexpr std::size_t labelWidth = 12;

std::string typeName(const std::optional<DHCPMessageType>& type) { return type ? description(*type) : "?"; }

std::string upperCase(std::string_view text) {
    std::string upper(text);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::tm brokenDown(std::time_t seconds, TimeZone zone) {
    std::tm parts{};
    switch (zone.kind) {
        case TimeZone::Kind::current: ::localtime_r(&seconds, &parts); break;
        case TimeZone::Kind::utc: ::gmtime_r(&seconds, &parts); break;
        case TimeZone::Kind::fixed: {
            std::time_t shifted = seconds + zone.offsetSeconds;
            ::gmtime_r(&shifted, &parts);
            break;
        }
    }
    return parts;
}

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// The file and whom it goes to, the start of every transfer line after the request.
std::string transferSubject(std::string_view file, IPv4Address client) {
    return plainText(file) + " to " + client.description();
}

// "model \"X\"" for each identity field the device sent, in a fixed order.
std::string lldpText(const LLDPIdentity& identity) {
    std::string text;
    auto add = [&](std::string_view name, const std::string& value) {
        if (value.empty()) return;
        if (!text.empty()) text += " ";
        text += std::string(name) + " \"" + plainText(value) + "\"";
    };
    add("name", identity.systemName);
    add("model", identity.model);
    add("maker", identity.manufacturer);
    add("serial", identity.serialNumber);
    add("firmware", identity.firmwareRevision);
    add("software", identity.softwareRevision);
    add("hardware", identity.hardwareRevision);
    add("description", identity.systemDescription);
    if (identity.managementAddress) {
        if (!text.empty()) text += " ";
        text += "management " + identity.managementAddress->description();
    }
    if (text.empty()) add("chassis", identity.chassisID);
    return text;
}

std::string neighbourText(NeighbourChange change, const Neighbour& device) {
    std::string text = std::string(rawValue(change)) + " " + device.mac.description();
    if (!device.maker.empty()) text += " (" + plainText(device.maker) + ")";
    for (std::size_t i = 0; i < device.claims.size(); ++i)
        text += (i == 0 ? " at " : ", ") + device.claims[i].description();
    for (std::size_t i = 0; i < device.asksFor.size(); ++i) {
        text += (i == 0 ? " · asks for " : ", ") + device.asksFor[i].address.description();
        if (device.asksFor[i].count > 1) text += " (" + std::to_string(device.asksFor[i].count) + "×)";
    }
    if (device.lldp) {
        auto lldp = lldpText(*device.lldp);
        if (!lldp.empty()) text += " · LLDP " + lldp;
    }
    if (device.tftpFile) {
        text += " · TFTP " + plainText(*device.tftpFile);
        if (device.tftpServer) text += " from " + device.tftpServer->description();
    }
    if (device.holdsLease) text += " · holds a lease";
    return text;
}

struct Describer {
    EventLog::LabelAndText operator()(const ServerEvent::Started& event) const {
        const auto& config = event.config;
        return {"START", event.interface + " server " + config.serverIP.description() + "/" +
                             std::to_string(config.prefixLength) + " range " + config.rangeStart.description() + "-" +
                             config.rangeEnd.description() + " lease " + formatDuration(config.leaseSeconds)};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Received& event) const {
        return {"RX " + typeName(event.packet.type), EventLog::packetDescription(event.packet)};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Sent& event) const {
        const auto& reply = event.reply;
        auto text = reply.ip.description() + " -> " + reply.destination.description() + " via " + reply.interface;
        if (reply.note) text += " (" + *reply.note + ")";
        return {"TX " + replyName(reply.type), text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Dropped& event) const {
        return {"DROP", event.mac ? event.reason + " " + event.mac->description() : event.reason};
    }
    EventLog::LabelAndText operator()(const ServerEvent::LeaseChanged& event) const {
        const auto& lease = event.lease;
        auto text = stateText(lease) + " " + lease.ip.description() + " " + lease.mac.description();
        if (lease.hostname) text += " host=" + *lease.hostname;
        return {"LEASE", text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::LeaseRemoved& event) const {
        return {"LEASE", "removed " + event.mac.description()};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Presence& event) const {
        return {upperCase(rawValue(event.state)),
                event.ip.description() + " " + event.mac.description() + " " + event.detail};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Link& event) const {
        if (!event.up) return {"LINK", "down"};
        return {"LINK", event.media ? "up " + *event.media : "up"};
    }
    EventLog::LabelAndText operator()(const ServerEvent::NoticeRaised& event) const {
        return {"NOTICE", event.notice.message};
    }
    EventLog::LabelAndText operator()(const ServerEvent::NoticeCleared&) const { return {}; }
    EventLog::LabelAndText operator()(const ServerEvent::Info& event) const { return {"INFO", event.text}; }
    EventLog::LabelAndText operator()(const ServerEvent::Stopped&) const { return {"STOP", "server stopped"}; }
    EventLog::LabelAndText operator()(const ServerEvent::TFTPRequested& event) const {
        auto text = event.client.description() + " asks for " + plainText(event.file);
        if (!event.options.empty()) text += " (" + plainText(event.options) + ")";
        return {"TFTP", text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::TFTPProgress& event) const {
        auto text = transferSubject(event.file, event.client) + ": " + EventLog::byteCount(event.bytes);
        if (event.size) text += " of " + EventLog::byteCount(*event.size);
        return {"TFTP", text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::TFTPFinished& event) const {
        auto text = transferSubject(event.file, event.client) + ": " + EventLog::byteCount(event.bytes) + " in " +
                    oneDecimal(event.seconds) + " s";
        // A transfer inside one clock tick has no meaningful rate.
        if (event.seconds > 0 && std::isfinite(event.seconds))
            text += " (" + EventLog::byteCount(static_cast<std::uint64_t>(
                               std::min(static_cast<double>(event.bytes) / event.seconds, 1e18))) +
                    "/s)";
        return {"TFTP", text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::TFTPFailed& event) const {
        auto text = transferSubject(event.file, event.client) + " failed: " + std::string(description(event.reason));
        if (!event.detail.empty()) text += " (" + plainText(event.detail) + ")";
        return {"TFTP", text};
    }
    EventLog::LabelAndText operator()(const ServerEvent::Neighbour& event) const {
        return {"NEIGH", neighbourText(event.change, event.device)};
    }
};

const char* jsonEventName(const ServerEvent& event) {
    static constexpr const char* names[] = {"started", "received", "sent",   "dropped", "leaseChanged", "leaseRemoved",
                                            "presence", "link",    "notice", "notice",  "info",         "stopped",
                                            "tftpRequested", "tftpProgress", "tftpFinished", "tftpFailed",
                                            "neighbour"};
    return names[event.value.index()];
}

void addMaker(nlohmann::json& object, const MACAddress& mac, const MakerLookup& maker) {
    if (!maker) return;
    if (auto name = maker(mac)) object["maker"] = *name;
}

// The file is the client's text: escaped, so that malformed UTF-8 cannot cost the whole line.
void addTransferFields(nlohmann::json& object, std::uint32_t transfer, IPv4Address client,
                       const std::optional<MACAddress>& mac, std::string_view file, const MakerLookup& maker) {
    object["transfer"] = transfer;
    object["ip"] = client.description();
    if (mac) {
        object["mac"] = mac->description();
        addMaker(object, *mac, maker);
    }
    object["file"] = plainText(file);
}

// Every text the device sent is escaped, as in its line.
void addNeighbourFields(nlohmann::json& object, NeighbourChange change, const Neighbour& device) {
    object["change"] = std::string(rawValue(change));
    object["mac"] = device.mac.description();
    if (!device.maker.empty()) object["maker"] = plainText(device.maker);
    auto claims = nlohmann::json::array();
    for (const auto& ip : device.claims) claims.push_back(ip.description());
    object["claims"] = claims;
    auto asks = nlohmann::json::array();
    for (const auto& asked : device.asksFor)
        asks.push_back({{"ip", asked.address.description()}, {"count", asked.count}});
    object["asksFor"] = asks;
    if (device.lldp) {
        const auto& identity = *device.lldp;
        auto lldp = nlohmann::json::object();
        auto add = [&](const char* name, const std::string& value) {
            if (!value.empty()) lldp[name] = plainText(value);
        };
        add("chassisID", identity.chassisID);
        add("portID", identity.portID);
        add("systemName", identity.systemName);
        add("systemDescription", identity.systemDescription);
        if (identity.managementAddress) lldp["managementAddress"] = identity.managementAddress->description();
        add("hardwareRevision", identity.hardwareRevision);
        add("firmwareRevision", identity.firmwareRevision);
        add("softwareRevision", identity.softwareRevision);
        add("serialNumber", identity.serialNumber);
        add("manufacturer", identity.manufacturer);
        add("model", identity.model);
        add("assetID", identity.assetID);
        object["lldp"] = lldp;
    }
    if (device.tftpFile) object["tftpFile"] = plainText(*device.tftpFile);
    if (device.tftpServer) object["tftpServer"] = device.tftpServer->description();
    object["firstSeen"] = EventLog::internetDate(device.firstSeen);
    object["lastSeen"] = EventLog::internetDate(device.lastSeen);
    object["holdsLease"] = device.holdsLease;
}

void addJSONFields(nlohmann::json& object, const ServerEvent& event, const MakerLookup& maker) {
    if (auto received = event.as<ServerEvent::Received>()) {
        const auto& packet = received->packet;
        if (packet.type) object["type"] = description(*packet.type);
        if (packet.mac) {
            object["mac"] = packet.mac->description();
            addMaker(object, *packet.mac, maker);
        }
        auto options = nlohmann::json::array();
        for (const auto& option : packet.renderedOptions())
            options.push_back({{"code", option.code}, {"name", option.name}, {"value", option.value}});
        object["options"] = std::move(options);
        if (auto requested = packet.requestedCodes(); !requested.empty())
            object["requested"] = OptionCatalog::names(requested);
        if (packet.hostname) object["hostname"] = *packet.hostname;
        if (packet.vendorClass) object["vendorClass"] = *packet.vendorClass;
        if (packet.requestedIP) object["requestedIP"] = packet.requestedIP->description();
        if (packet.serverID) object["serverID"] = packet.serverID->description();
        object["xid"] = hex32(packet.xid);
    } else if (auto sent = event.as<ServerEvent::Sent>()) {
        const auto& reply = sent->reply;
        object["type"] = replyName(reply.type);
        object["mac"] = reply.mac.description();
        object["ip"] = reply.ip.description();
        object["destination"] = reply.destination.description();
        object["interface"] = reply.interface;
        if (reply.note) object["note"] = *reply.note;
    } else if (auto changed = event.as<ServerEvent::LeaseChanged>()) {
        object["mac"] = changed->lease.mac.description();
        object["ip"] = changed->lease.ip.description();
        object["state"] = std::string(rawValue(changed->lease.state));
        if (changed->lease.bootp) object["bootp"] = true;
        addMaker(object, changed->lease.mac, maker);
    } else if (auto presence = event.as<ServerEvent::Presence>()) {
        object["mac"] = presence->mac.description();
        object["ip"] = presence->ip.description();
        object["state"] = std::string(rawValue(presence->state));
    } else if (auto requested = event.as<ServerEvent::TFTPRequested>()) {
        addTransferFields(object, requested->transfer, requested->client, requested->mac, requested->file, maker);
        object["clientPort"] = requested->clientPort;
        object["tftpOptions"] = plainText(requested->options);
    } else if (auto progress = event.as<ServerEvent::TFTPProgress>()) {
        addTransferFields(object, progress->transfer, progress->client, progress->mac, progress->file, maker);
        object["bytes"] = progress->bytes;
        if (progress->size) object["size"] = *progress->size;
    } else if (auto finished = event.as<ServerEvent::TFTPFinished>()) {
        addTransferFields(object, finished->transfer, finished->client, finished->mac, finished->file, maker);
        object["bytes"] = finished->bytes;
        // JSON has no NaN or infinity; a clock gone wrong must not cost the whole line.
        object["seconds"] = std::isfinite(finished->seconds) ? finished->seconds : 0.0;
    } else if (auto failed = event.as<ServerEvent::TFTPFailed>()) {
        addTransferFields(object, failed->transfer, failed->client, failed->mac, failed->file, maker);
        object["reason"] = std::string(rawValue(failed->reason));
        object["detail"] = plainText(failed->detail);
    } else if (auto neighbour = event.as<ServerEvent::Neighbour>()) {
        addNeighbourFields(object, neighbour->change, neighbour->device);
    }
}

}  // namespace

std::optional<EventLog::LabelAndText> EventLog::labelAndText(const ServerEvent& event) {
    if (event.is<ServerEvent::NoticeCleared>()) return std::nullopt;
    return std::visit(Describer{}, event.value);
}

std::string EventLog::packetDescription(const PacketSummary& summary) {
    std::string text = summary.mac ? summary.mac->description() : "-";
    text += " host=" + summary.hostname.value_or("-");
    text += " vendor=" + summary.vendorClass.value_or("-");
    text += " req=" + (summary.requestedIP ? summary.requestedIP->description() : std::string("-"));
    if (summary.serverID) text += " sid=" + summary.serverID->description();
    if (summary.ciaddr != IPv4Address::zero) text += " ciaddr=" + summary.ciaddr.description();
    if (summary.clientID) text += " cid=" + *summary.clientID;
    text += " xid=" + hex32(summary.xid);
    if (summary.interface) text += " if=" + *summary.interface;
    return text;
}

std::string EventLog::byteCount(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    // 1023.95 KiB would print as "1024.0 KiB": move up before rounding does.
    while (value >= 1023.95 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    return oneDecimal(value) + " " + units[unit];
}

std::string EventLog::timeStamp(Date at, TimeZone zone) {
    auto wholeMilliseconds = static_cast<long long>(std::floor(at.secondsSince1970 * 1000));
    auto seconds = static_cast<std::time_t>(std::floor(static_cast<double>(wholeMilliseconds) / 1000));
    auto parts = brokenDown(seconds, zone);
    int milliseconds = static_cast<int>(((wholeMilliseconds % 1000) + 1000) % 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min, parts.tm_sec, milliseconds);
    return text;
}

std::string EventLog::internetDate(Date at) {
    auto seconds = static_cast<std::time_t>(std::floor(at.secondsSince1970));
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string EventLog::line(std::string_view label, std::string_view text, Date at, TimeZone zone) {
    std::string padded(label);
    if (padded.size() < labelWidth) padded.append(labelWidth - padded.size(), ' ');
    return timeStamp(at, zone) + "  " + padded + " " + std::string(text);
}

std::optional<std::string> EventLog::line(const ServerEvent& event, Date at, TimeZone zone) {
    auto pieces = labelAndText(event);
    if (!pieces) return std::nullopt;
    return line(pieces->label, pieces->text, at, zone);
}

std::optional<std::string> EventLog::json(const ServerEvent& event, Date at, const MakerLookup& maker) {
    auto pieces = labelAndText(event);
    if (!pieces) return std::nullopt;
    nlohmann::json object = nlohmann::json::object();
    object["time"] = internetDate(at);
    object["event"] = jsonEventName(event);
    object["label"] = pieces->label;
    object["text"] = pieces->text;
    addJSONFields(object, event, maker);
    try {
        return object.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace anvil
