#include "core/leases/lease_file.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <unordered_map>

#include "core/addressing/address_json.hpp"
#include "core/addressing/decoding_error.hpp"
#include "core/leases/internet_date.hpp"

namespace anvil {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// The file is three levels deep; anything far deeper is not ours and is refused before
// the parser builds it.
constexpr int deepestNesting = 32;

std::string systemText(int code) { return std::strerror(code); }

std::string fileName(const fs::path& url) { return url.filename().string(); }

// ---- Encoding ---------------------------------------------------------------------------

// The layout is written here because nlohmann's pretty printer cannot put a space before the
// colon; only its string escaping is reused. Client-supplied texts that are not UTF-8 are
// written with replacement characters rather than making the save fail.
void appendQuoted(std::string& out, std::string_view text) {
    bool plain =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (plain) {
        out += '"';
        out += text;
        out += '"';
    } else {
        out += json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    }
}

void appendIndent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 2, ' '); }

struct Field {
    std::string_view key;
    std::string_view text;
};

// One object of text fields, keys in sorted order, at the given depth.
template <std::size_t capacity>
void appendObject(std::string& out, std::array<Field, capacity> fields, std::size_t count, int depth) {
    // At most nine fields: an insertion sort is enough.
    for (std::size_t index = 1; index < count; ++index)
        for (std::size_t slot = index; slot > 0 && fields[slot].key < fields[slot - 1].key; --slot)
            std::swap(fields[slot], fields[slot - 1]);
    out += "{\n";
    for (std::size_t index = 0; index < count; ++index) {
        appendIndent(out, depth + 1);
        appendQuoted(out, fields[index].key);
        out += " : ";
        appendQuoted(out, fields[index].text);
        out += index + 1 < count ? ",\n" : "\n";
    }
    appendIndent(out, depth);
    out += '}';
}

void appendLease(std::string& out, const Lease& lease, int depth) {
    const std::string mac = lease.mac.description(), ip = lease.ip.description();
    const std::string expiresAt = formatInternetDate(lease.expiresAt), firstSeen = formatInternetDate(lease.firstSeen),
                      lastSeen = formatInternetDate(lease.lastSeen);
    std::array<Field, 9> fields{};
    std::size_t count = 0;
    fields[count++] = {"mac", mac};
    fields[count++] = {"ip", ip};
    fields[count++] = {"state", rawValue(lease.state)};
    fields[count++] = {"expiresAt", expiresAt};
    if (lease.hostname) fields[count++] = {"hostname", *lease.hostname};
    if (lease.vendorClass) fields[count++] = {"vendorClass", *lease.vendorClass};
    if (lease.clientID) fields[count++] = {"clientID", *lease.clientID};
    fields[count++] = {"firstSeen", firstSeen};
    fields[count++] = {"lastSeen", lastSeen};
    appendObject(out, fields, count, depth);
}

void appendQuarantine(std::string& out, const Quarantine& entry, int depth) {
    const std::string ip = entry.ip.description(), until = formatInternetDate(entry.until),
                      reportedBy = entry.reportedBy.description();
    appendObject(out, std::array<Field, 3>{{{"ip", ip}, {"until", until}, {"reportedBy", reportedBy}}}, 3, depth);
}

template <typename Item, typename AppendItem>
void appendArray(std::string& out, const std::vector<Item>& items, int depth, AppendItem appendItem) {
    if (items.empty()) {
        out += "[]";
        return;
    }
    out += "[\n";
    for (std::size_t index = 0; index < items.size(); ++index) {
        appendIndent(out, depth + 1);
        appendItem(out, items[index], depth + 1);
        out += index + 1 < items.size() ? ",\n" : "\n";
    }
    appendIndent(out, depth);
    out += ']';
}

// ---- Decoding ---------------------------------------------------------------------------

void refuseDeepNesting(std::string_view text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > deepestNesting) throw DecodingError("The data is nested too deeply");
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
}

const json& required(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw DecodingError(std::string("Missing key: ") + key);
    return *found;
}

const std::string& text(const json& value, const char* key) {
    if (!value.is_string()) throw DecodingError(std::string("Expected text: ") + key);
    return value.get_ref<const std::string&>();
}

Date date(const json& object, const char* key) {
    const auto& value = text(required(object, key), key);
    auto parsed = parseInternetDate(value);
    if (!parsed) throw DecodingError(std::string("Not a date: ") + value);
    return *parsed;
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    return text(*found, key);
}

const json& requiredObject(const json& value, const char* what) {
    if (!value.is_object()) throw DecodingError(std::string("Expected an object: ") + what);
    return value;
}

Lease decodeLease(const json& value) {
    const auto& object = requiredObject(value, "lease");
    Lease lease;
    lease.mac = required(object, "mac").get<MACAddress>();
    lease.ip = required(object, "ip").get<IPv4Address>();
    const auto& stateText = text(required(object, "state"), "state");
    auto state = leaseStateFromRaw(stateText);
    if (!state) throw DecodingError("Unknown lease state: " + stateText);
    lease.state = *state;
    lease.expiresAt = date(object, "expiresAt");
    lease.hostname = optionalText(object, "hostname");
    lease.vendorClass = optionalText(object, "vendorClass");
    lease.clientID = optionalText(object, "clientID");
    lease.firstSeen = date(object, "firstSeen");
    lease.lastSeen = date(object, "lastSeen");
    return lease;
}

Quarantine decodeQuarantine(const json& value) {
    const auto& object = requiredObject(value, "quarantine entry");
    Quarantine entry;
    entry.ip = required(object, "ip").get<IPv4Address>();
    entry.until = date(object, "until");
    entry.reportedBy = required(object, "reportedBy").get<MACAddress>();
    return entry;
}

const json& requiredArray(const json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_array()) throw DecodingError(std::string("Expected a list: ") + key);
    return value;
}

// One record per hardware address: the most recently seen wins, at the place of the first.
std::vector<Lease> onePerClient(std::vector<Lease> leases) {
    std::vector<Lease> kept;
    std::unordered_map<MACAddress, std::size_t> position;
    for (auto& lease : leases) {
        auto [found, inserted] = position.try_emplace(lease.mac, kept.size());
        if (inserted)
            kept.push_back(std::move(lease));
        else if (lease.lastSeen > kept[found->second].lastSeen)
            kept[found->second] = std::move(lease);
    }
    return kept;
}

// ---- Files ------------------------------------------------------------------------------

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report a late write error, so it is checked where it matters.
    int release() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

enum class ReadOutcome { read, missing };

ReadOutcome readWholeFile(const fs::path& url, std::string& contents) {
    auto readError = [&](int code) {
        return LeaseFileError(LeaseFileError::Kind::read, code,
                              "Could not read " + fileName(url) + ": " + systemText(code));
    };
    // Non-blocking so that a FIFO in the file's place cannot hang the start.
    FileDescriptor file(::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ReadOutcome::missing;
        throw readError(errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw readError(errno);
    if (S_ISDIR(status.st_mode)) throw readError(EISDIR);
    if (!S_ISREG(status.st_mode))
        throw LeaseFileError(LeaseFileError::Kind::read, 0, "Could not read " + fileName(url) + ": Not a regular file");
    try {
        contents.clear();
        contents.reserve(static_cast<std::size_t>(status.st_size));
        char buffer[65536];
        while (true) {
            ssize_t count = ::read(file.get(), buffer, sizeof buffer);
            if (count < 0) {
                if (errno == EINTR) continue;
                throw readError(errno);
            }
            if (count == 0) break;
            contents.append(buffer, static_cast<std::size_t>(count));
        }
    } catch (const std::bad_alloc&) {
        throw readError(ENOMEM);
    }
    return ReadOutcome::read;
}

std::string setAsideStamp(Date now) {
    auto seconds = static_cast<std::time_t>(std::floor(now.secondsSince1970));
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return stamp;
}

// Moves without replacing: an earlier set-aside file of the same second must not be lost, so a
// taken name gets "-2", "-3", ... appended.
fs::path moveAside(const fs::path& url, Date now) {
    const std::string baseName = fileName(url) + ".corrupt-" + setAsideStamp(now);
    int code = 0;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        fs::path target = url.parent_path() / (attempt == 1 ? baseName : baseName + "-" + std::to_string(attempt));
        if (::renameat2(AT_FDCWD, url.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
        code = errno;
        if (code == EEXIST) continue;
        if (code != EINVAL && code != ENOSYS) break;
        // A file system without the no-replace flag: check first, then rename.
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0) {
            code = EEXIST;
            continue;
        }
        if (::rename(url.c_str(), target.c_str()) == 0) return target;
        code = errno;
        break;
    }
    throw LeaseFileError(LeaseFileError::Kind::moveAside, code,
                         "Could not move " + fileName(url) + " aside: " + systemText(code));
}

std::string newUUID() {
    std::random_device source;
    std::uint8_t bytes[16];
    for (std::size_t index = 0; index < 16; index += 4) {
        auto word = source();
        for (std::size_t part = 0; part < 4; ++part)
            bytes[index + part] = static_cast<std::uint8_t>(word >> (8 * part));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// The error number of the failed write, 0 when everything was written.
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// Writes, flushes and closes the temporary file; any failure removes it and is thrown.
void writeTemporaryFile(const fs::path& temporary, const fs::path& url, std::string_view bytes) {
    auto writeError = [&](int code) {
        ::unlink(temporary.c_str());
        return LeaseFileError(LeaseFileError::Kind::write, code,
                              "Could not write " + fileName(url) + ": " + systemText(code));
    };
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0)
        throw LeaseFileError(LeaseFileError::Kind::write, errno,
                             "Could not write " + fileName(url) + ": " + systemText(errno));
    if (int code = writeAll(file.get(), bytes)) throw writeError(code);
    // Without this a crash after the rename can leave an empty or truncated lease file.
    if (::fsync(file.get()) != 0) throw writeError(errno);
    if (file.release() != 0) throw writeError(errno);
}

// Makes the rename itself durable. The new file is already in place, so a failure here (some
// file systems cannot sync a directory) is not reported as a failed save.
void syncDirectory(const fs::path& directory) {
    FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

fs::path LeaseFile::defaultURL() {
    std::string home = environmentValue("HOME");
    if (home.empty()) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    std::string dataHome = environmentValue("XDG_DATA_HOME");
    return defaultURL(dataHome.c_str(), home.c_str());
}

fs::path LeaseFile::defaultURL(const char* xdgDataHome, const char* home) {
    fs::path base;
    if (xdgDataHome && xdgDataHome[0] == '/')
        base = xdgDataHome;
    else if (home && home[0] != '\0')
        base = fs::path(home) / ".local" / "share";
    else
        base = fs::path(".local") / "share";
    return base / "DHCP Anvil" / "leases.json";
}

std::string LeaseFile::encode(const LeaseTable& table) {
    std::string out;
    out.reserve(64 + table.leases().size() * 320 + table.quarantine().size() * 128);
    // The top-level keys, already in sorted order.
    out += "{\n  \"leases\" : ";
    appendArray(out, table.leases(), 1, appendLease);
    out += ",\n  \"quarantine\" : ";
    appendArray(out, table.quarantine(), 1, appendQuarantine);
    out += ",\n  \"version\" : " + std::to_string(currentVersion) + "\n}";
    return out;
}

LeaseTable LeaseFile::decode(std::string_view contents) {
    refuseDeepNesting(contents);
    json root = json::parse(contents.begin(), contents.end(), nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) throw DecodingError("The data is not valid JSON");
    try {
        const auto& object = requiredObject(root, "lease file");
        const auto& version = required(object, "version");
        if (!version.is_number_integer()) throw DecodingError("Not a whole number: version");
        if (version.is_number_unsigned() ? version.get<std::uint64_t>() != currentVersion
                                         : version.get<std::int64_t>() != currentVersion)
            throw DecodingError("Unsupported lease file version: " + version.dump());
        std::vector<Lease> leases;
        for (const auto& value : requiredArray(object, "leases")) leases.push_back(decodeLease(value));
        std::vector<Quarantine> quarantine;
        for (const auto& value : requiredArray(object, "quarantine")) quarantine.push_back(decodeQuarantine(value));
        return LeaseTable(onePerClient(std::move(leases)), std::move(quarantine));
    } catch (const json::exception& error) {
        throw DecodingError(error.what());
    }
}

LeaseFile::LoadResult LeaseFile::load(Date now, Undecodable undecodable) const {
    std::string contents;
    if (readWholeFile(url, contents) == ReadOutcome::missing) return {};
    try {
        return LoadResult{decode(contents), std::nullopt};
    } catch (const DecodingError& error) {
        if (undecodable == Undecodable::refuse)
            throw LeaseFileError(LeaseFileError::Kind::read, 0, "Could not read " + fileName(url) + ": " + error.what());
    } catch (const std::bad_alloc&) {
        // Too large to decode in memory: refuse to touch it, like an unreadable file.
        throw LeaseFileError(LeaseFileError::Kind::read, ENOMEM,
                             "Could not read " + fileName(url) + ": " + systemText(ENOMEM));
    }
    return LoadResult{LeaseTable{}, moveAside(url, now)};
}

void LeaseFile::save(const LeaseTable& table) const {
    fs::path directory = url.parent_path();
    if (directory.empty()) directory = ".";
    std::error_code error;
    fs::create_directories(directory, error);
    if (error)
        throw LeaseFileError(LeaseFileError::Kind::createDirectory, error.value(),
                             "Could not create the folder " + directory.string() + ": " + systemText(error.value()));
    const std::string bytes = encode(table);
    const fs::path temporary = directory / ("." + fileName(url) + ".tmp-" + newUUID());
    writeTemporaryFile(temporary, url, bytes);
    if (::rename(temporary.c_str(), url.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        throw LeaseFileError(LeaseFileError::Kind::replace, code,
                             "Could not replace " + fileName(url) + ": " + systemText(code));
    }
    syncDirectory(directory);
}

}  // namespace anvil
