#include "core/leases/lease_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

#include "core/addressing/decoding_error.hpp"
#include "core/leases/internet_date.hpp"
#include "lease_builders.hpp"

namespace anvil {
namespace {

namespace fs = std::filesystem;
using testing::ip;
using testing::mac;
using State = Lease::State;

Date at(const char* text) { return *parseInternetDate(text); }

// The file of the documented example: one bound lease and one quarantined address.
const char* const exampleText = R"({
  "leases" : [
    {
      "expiresAt" : "2025-01-02T03:04:05Z",
      "firstSeen" : "2025-01-01T03:04:05Z",
      "hostname" : "camera-12",
      "ip" : "192.168.0.100",
      "lastSeen" : "2025-01-01T03:14:05Z",
      "mac" : "aa:bb:cc:00:11:22",
      "state" : "bound"
    }
  ],
  "quarantine" : [
    {
      "ip" : "192.168.0.101",
      "reportedBy" : "aa:bb:cc:00:11:33",
      "until" : "2025-01-01T03:24:05Z"
    }
  ],
  "version" : 1
})";

LeaseTable exampleTable() {
    return LeaseTable(
        {Lease{mac("aa:bb:cc:00:11:22"), ip("192.168.0.100"), State::bound, at("2025-01-02T03:04:05Z"), "camera-12",
               std::nullopt, std::nullopt, at("2025-01-01T03:04:05Z"), at("2025-01-01T03:14:05Z")}},
        {Quarantine{ip("192.168.0.101"), at("2025-01-01T03:24:05Z"), mac("aa:bb:cc:00:11:33")}});
}

// A lease object with one key replaced (or removed, with an empty value).
std::string fileWithLease(const std::string& key, const std::string& value) {
    std::map<std::string, std::string> fields = {
        {"mac", R"("aa:bb:cc:00:11:22")"},
        {"ip", R"("192.168.0.100")"},
        {"state", R"("bound")"},
        {"expiresAt", R"("2025-01-02T03:04:05Z")"},
        {"firstSeen", R"("2025-01-01T03:04:05Z")"},
        {"lastSeen", R"("2025-01-01T03:14:05Z")"},
    };
    if (value.empty())
        fields.erase(key);
    else
        fields[key] = value;
    std::string object = "{";
    for (const auto& [name, text] : fields) object += (object.size() > 1 ? "," : "") + ("\"" + name + "\":" + text);
    return R"({"version":1,"quarantine":[],"leases":[)" + object + "}]}";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::vector<std::string> namesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class LeaseFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/anvil-leases-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        url = directory / "leases.json";
        // Set-aside names use local time; fix the zone so the names are known.
        const char* zone = std::getenv("TZ");
        if (zone) savedZone = zone;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override {
        if (savedZone)
            ::setenv("TZ", savedZone->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        std::error_code ignored;
        fs::permissions(directory, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(directory, ignored);
    }

    fs::path directory;
    fs::path url;
    std::optional<std::string> savedZone;
    const Date now = at("2025-01-02T03:04:05Z");
};

TEST_F(LeaseFileTest, encodesTheDocumentedExampleExactlyAndReadsItBack) {
    EXPECT_EQ(LeaseFile::encode(exampleTable()), exampleText);
    EXPECT_EQ(LeaseFile::decode(exampleText), exampleTable());
    EXPECT_EQ(LeaseFile::encode(LeaseTable{}), "{\n  \"leases\" : [],\n  \"quarantine\" : [],\n  \"version\" : 1\n}");
}

TEST_F(LeaseFileTest, missingFileGivesAnEmptyTableAndCreatesNothing) {
    LeaseFile file(directory / "not-yet" / "leases.json");
    EXPECT_EQ(file.load(now), LeaseFile::LoadResult{});
    EXPECT_FALSE(fs::exists(directory / "not-yet"));
}

TEST_F(LeaseFileTest, savingTwiceGivesIdenticalBytesAndLeavesNoTemporaryFile) {
    LeaseFile file(directory / "new" / "deeper" / "leases.json");
    file.save(exampleTable());
    auto first = readFile(file.url);
    file.save(exampleTable());
    EXPECT_EQ(readFile(file.url), first);
    EXPECT_EQ(first, exampleText);
    EXPECT_EQ(namesIn(file.url.parent_path()), (std::vector<std::string>{"leases.json", "leases.json.journal"}));
}

TEST_F(LeaseFileTest, loadingWhatWasSavedGivesTheTableBackWithWholeSeconds) {
    auto table = exampleTable();
    Lease other{mac("02:00:00:00:00:01"), ip("192.168.0.102"), State::offered,
                Date{1735787045.75},      std::nullopt,        "MSFT 5.0",
                "01:02:00:00:00:00:01",   Date{1735787000.5},  Date{1735787001.999}};
    table.upsert(other);
    LeaseFile file(url);
    file.save(table);
    auto loaded = file.load(now);
    EXPECT_EQ(loaded.setAsideURL, std::nullopt);
    other.expiresAt = Date{1735787045};
    other.firstSeen = Date{1735787000};
    other.lastSeen = Date{1735787001};
    table.upsert(other);
    EXPECT_EQ(loaded.table, table);
    // An absent host name is left out, never written as null.
    EXPECT_EQ(LeaseFile::encode(LeaseTable({other}, {})).find("hostname"), std::string::npos);
}

TEST_F(LeaseFileTest, textsThatAreNotUTF8AreWrittenWithReplacementCharacters) {
    auto table = exampleTable();
    Lease odd = table.leases()[0];
    odd.hostname = std::string("cam\xff\"era\n");
    table.upsert(odd);
    LeaseFile file(url);
    ASSERT_NO_THROW(file.save(table));
    EXPECT_EQ(file.load(now).table.leases()[0].hostname, "cam\xEF\xBF\xBD\"era\n");
}

TEST_F(LeaseFileTest, keepsOneRecordPerClientTheMostRecentlySeenAtThePlaceOfTheFirst) {
    auto record = [](const char* macText, const char* ipText, const char* lastSeen) {
        return std::string(R"({"mac":")") + macText + R"(","ip":")" + ipText +
               R"(","state":"bound","expiresAt":"2025-01-02T00:00:00Z","firstSeen":"2025-01-01T00:00:00Z","lastSeen":")" +
               lastSeen + "\"}";
    };
    auto file = [](std::vector<std::string> records) {
        std::string text = R"({"version":1,"quarantine":[],"leases":[)";
        for (std::size_t index = 0; index < records.size(); ++index) text += (index ? "," : "") + records[index];
        return text + "]}";
    };
    auto later = LeaseFile::decode(file({record("aa:bb:cc:00:11:22", "10.0.0.1", "2025-01-01T10:00:00Z"),
                                         record("02:00:00:00:00:09", "10.0.0.9", "2025-01-01T09:00:00Z"),
                                         record("aa:bb:cc:00:11:22", "10.0.0.2", "2025-01-01T11:00:00Z"),
                                         record("aa:bb:cc:00:11:22", "10.0.0.3", "2025-01-01T10:30:00Z")}));
    ASSERT_EQ(later.leases().size(), 2u);
    EXPECT_EQ(later.leases()[0].ip, ip("10.0.0.2"));
    EXPECT_EQ(later.leases()[1].ip, ip("10.0.0.9"));

    auto equal = LeaseFile::decode(file({record("aa:bb:cc:00:11:22", "10.0.0.1", "2025-01-01T10:00:00Z"),
                                         record("aa:bb:cc:00:11:22", "10.0.0.2", "2025-01-01T10:00:00Z")}));
    ASSERT_EQ(equal.leases().size(), 1u);
    EXPECT_EQ(equal.leases()[0].ip, ip("10.0.0.1"));
}

TEST_F(LeaseFileTest, optionalKeysMayBeAbsentOrNullButNotAnotherType) {
    EXPECT_EQ(LeaseFile::decode(fileWithLease("hostname", "null")).leases()[0].hostname, std::nullopt);
    EXPECT_EQ(LeaseFile::decode(fileWithLease("clientID", R"("01:aa")")).leases()[0].clientID, "01:aa");
    EXPECT_THROW(LeaseFile::decode(fileWithLease("vendorClass", "12")), DecodingError);
    EXPECT_FALSE(LeaseFile::decode(fileWithLease("bootp", "")).leases()[0].bootp);
    EXPECT_TRUE(LeaseFile::decode(fileWithLease("bootp", "true")).leases()[0].bootp);
    for (const char* bad : {R"("true")", "1", "null"})
        EXPECT_THROW(LeaseFile::decode(fileWithLease("bootp", bad)), DecodingError) << bad;
}

TEST_F(LeaseFileTest, undecodableFilesAreMovedAsideUnchanged) {
    std::mt19937 random(7);
    std::string randomBytes(4096, '\0');
    for (auto& byte : randomBytes) byte = static_cast<char>(random());
    const std::string valid = fileWithLease("state", R"("bound")");
    ASSERT_NO_THROW(LeaseFile::decode(valid));
    struct Case {
        const char* name;
        std::string contents;
    } cases[] = {
        {"empty file", ""},
        {"no keys", "{}"},
        {"version 2", R"({"version":2,"leases":[],"quarantine":[]})"},
        {"version as text", R"({"version":"1","leases":[],"quarantine":[]})"},
        {"fractional version", R"({"version":1.5,"leases":[],"quarantine":[]})"},
        {"negative version", R"({"version":-1,"leases":[],"quarantine":[]})"},
        {"missing quarantine", R"({"version":1,"leases":[]})"},
        {"leases not a list", R"({"version":1,"leases":{},"quarantine":[]})"},
        {"a JSON array", "[1, 2, 3]"},
        {"random bytes", randomBytes},
        {"truncated", valid.substr(0, valid.size() / 2)},
        {"deeply nested", std::string(100000, '[') + std::string(100000, ']')},
        {"unknown state", fileWithLease("state", R"("expired")")},
        {"fractional date", fileWithLease("expiresAt", R"("2025-01-02T03:04:05.123Z")")},
        {"date with offset", fileWithLease("firstSeen", R"("2025-01-01T03:04:05+00:00")")},
        {"date as number", fileWithLease("lastSeen", "1735787045")},
        {"no such day", fileWithLease("lastSeen", R"("2025-02-29T00:00:00Z")")},
        {"missing mac", fileWithLease("mac", "")},
        {"missing lastSeen", fileWithLease("lastSeen", "")},
        {"malformed address", fileWithLease("ip", R"("192.168.0.256")")},
        {"malformed hardware address", fileWithLease("mac", R"("aa:bb:cc:00:11")")},
        {"quarantine entry without reporter",
         R"({"version":1,"leases":[],"quarantine":[{"ip":"10.0.0.1","until":"2025-01-01T00:00:00Z"}]})"},
    };
    for (const auto& c : cases) {
        writeFile(url, c.contents);
        auto result = LeaseFile(url).load(now);
        auto expectedURL = directory / "leases.json.corrupt-20250102-030405";
        EXPECT_EQ(result.table, LeaseTable{}) << c.name;
        EXPECT_EQ(result.setAsideURL, expectedURL) << c.name;
        EXPECT_FALSE(fs::exists(url)) << c.name;
        EXPECT_EQ(readFile(expectedURL), c.contents) << c.name;
        fs::remove(expectedURL);
    }
}

TEST_F(LeaseFileTest, setAsideNameUsesLocalTimeAndNeverReplacesAnEarlierOne) {
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    writeFile(url, "first");
    EXPECT_EQ(LeaseFile(url).load(now).setAsideURL, directory / "leases.json.corrupt-20250102-120405");
    writeFile(url, "second");
    EXPECT_EQ(LeaseFile(url).load(now).setAsideURL, directory / "leases.json.corrupt-20250102-120405-2");
    EXPECT_EQ(readFile(directory / "leases.json.corrupt-20250102-120405"), "first");
    EXPECT_EQ(readFile(directory / "leases.json.corrupt-20250102-120405-2"), "second");
}

TEST_F(LeaseFileTest, largeFilesAreDecodedOrMovedAsideWithoutCrashing) {
    const std::size_t fiftyMegabytes = 50u << 20;
    std::string garbage(fiftyMegabytes, 'x');
    std::mt19937 random(11);
    for (std::size_t index = 0; index < garbage.size(); index += 97) garbage[index] = static_cast<char>(random());
    std::string nested = std::string(fiftyMegabytes / 2, '[') + std::string(fiftyMegabytes / 2, ']');
    for (const auto* contents : {&garbage, &nested}) {
        writeFile(url, *contents);
        auto result = LeaseFile(url).load(now);
        ASSERT_TRUE(result.setAsideURL);
        EXPECT_EQ(fs::file_size(*result.setAsideURL), fiftyMegabytes);
        fs::remove(*result.setAsideURL);
    }
}

TEST_F(LeaseFileTest, unreadableFilesThrowAndStayWhereTheyAre) {
    // A directory in the file's place.
    fs::create_directory(url);
    try {
        LeaseFile(url).load(now);
        ADD_FAILURE() << "a directory was read";
    } catch (const LeaseFileError& error) {
        EXPECT_EQ(error.kind, LeaseFileError::Kind::read);
        EXPECT_EQ(error.description(), "Could not read leases.json: Is a directory");
    }
    EXPECT_TRUE(fs::is_directory(url));
    fs::remove(url);

    // A FIFO must not block the start.
    ASSERT_EQ(::mkfifo(url.c_str(), 0600), 0);
    EXPECT_THROW(LeaseFile(url).load(now), LeaseFileError);
    EXPECT_TRUE(fs::is_fifo(url));
    fs::remove(url);

    // A file whose reads fail with an I/O error, even for root.
    LeaseFile memory("/proc/self/mem");
    EXPECT_THROW(memory.load(now), LeaseFileError);
}

TEST_F(LeaseFileTest, fileWithoutReadPermissionThrowsAndIsLeftAlone) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode; see the /proc/self/mem case instead";
    writeFile(url, exampleText);
    fs::permissions(url, fs::perms::none);
    try {
        LeaseFile(url).load(now);
        ADD_FAILURE() << "an unreadable file was read";
    } catch (const LeaseFileError& error) {
        EXPECT_EQ(error.description(), "Could not read leases.json: Permission denied");
    }
    fs::permissions(url, fs::perms::owner_read);
    EXPECT_EQ(readFile(url), exampleText);
    EXPECT_EQ(namesIn(directory), std::vector<std::string>{"leases.json"});
}

TEST_F(LeaseFileTest, failedMoveAsideThrowsAndLeavesTheFile) {
    writeFile(url, "{}");
    // Every name the move may take is already in use.
    fs::create_directory(directory / "leases.json.corrupt-20250102-030405");
    for (int attempt = 2; attempt <= 100; ++attempt)
        fs::create_directory(directory / ("leases.json.corrupt-20250102-030405-" + std::to_string(attempt)));
    try {
        LeaseFile(url).load(now);
        ADD_FAILURE() << "the move did not fail";
    } catch (const LeaseFileError& error) {
        EXPECT_EQ(error.kind, LeaseFileError::Kind::moveAside);
        EXPECT_EQ(error.description(), "Could not move leases.json aside: File exists");
    }
    EXPECT_EQ(readFile(url), "{}");
}

TEST_F(LeaseFileTest, failedReplaceRemovesTheTemporaryFileAndNamesTheFile) {
    fs::create_directories(url / "inside");
    try {
        LeaseFile(url).save(exampleTable());
        ADD_FAILURE() << "a directory was replaced";
    } catch (const LeaseFileError& error) {
        EXPECT_EQ(error.kind, LeaseFileError::Kind::replace);
        EXPECT_EQ(error.description(), "Could not replace leases.json: Is a directory");
    }
    EXPECT_EQ(namesIn(directory), std::vector<std::string>{"leases.json"});
}

TEST_F(LeaseFileTest, failedWriteLeavesTheOldFileComplete) {
    LeaseFile file(url);
    file.save(exampleTable());
    auto table = exampleTable();
    for (int index = 0; index < 50; ++index) {
        Lease extra = table.leases()[0];
        extra.mac.bytes[5] = static_cast<std::uint8_t>(index);
        table.upsert(extra);
    }
    // A file size limit makes the write fail part way, as a full disk would.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::optional<LeaseFileError> failure;
    try {
        file.save(table);
    } catch (const LeaseFileError& error) {
        failure = error;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, LeaseFileError::Kind::write);
    EXPECT_EQ(failure->description(), "Could not write leases.json: File too large");
    EXPECT_EQ(readFile(url), exampleText);
    EXPECT_EQ(namesIn(directory), (std::vector<std::string>{"leases.json", "leases.json.journal"}));
}

TEST_F(LeaseFileTest, folderThatCannotBeCreatedThrows) {
    writeFile(directory / "plain", "not a folder");
    try {
        LeaseFile(directory / "plain" / "sub" / "leases.json").save(exampleTable());
        ADD_FAILURE() << "a folder was made inside a file";
    } catch (const LeaseFileError& error) {
        EXPECT_EQ(error.kind, LeaseFileError::Kind::createDirectory);
    }
}

// The process umask for one scope.
struct UmaskScope {
    mode_t previous;
    explicit UmaskScope(mode_t mask) : previous(::umask(mask)) {}
    ~UmaskScope() { ::umask(previous); }
};

mode_t permissionsOf(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 07777;
    return status.st_mode & 07777;
}

// The files list the bench's devices: only their owner reads them, unless the owner says otherwise.
TEST_F(LeaseFileTest, filesArePrivateWhateverTheUmaskAndCompactionKeepsTheOwnersMode) {
    for (mode_t mask : {mode_t{0022}, mode_t{0}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        auto folder = directory / ("umask-" + std::to_string(mask)) / "DHCP Anvil";
        LeaseFile file(folder / "leases.json");
        {
            UmaskScope scope(mask);
            file.save(exampleTable());
        }
        EXPECT_EQ(permissionsOf(folder.parent_path()), 0700u);
        EXPECT_EQ(permissionsOf(folder), 0700u);
        EXPECT_EQ(permissionsOf(file.url), 0600u);
        EXPECT_EQ(permissionsOf(file.journalURL()), 0600u);

        // Shared with a group on purpose: every compaction replaces both files and keeps that.
        ASSERT_EQ(::chmod(file.url.c_str(), 0640), 0);
        ASSERT_EQ(::chmod(file.journalURL().c_str(), 0640), 0);
        {
            UmaskScope scope(mask);
            file.save(exampleTable());
        }
        EXPECT_EQ(permissionsOf(file.url), 0640u);
        EXPECT_EQ(permissionsOf(file.journalURL()), 0640u);

        // A damaged file is set aside as it was, private.
        ASSERT_EQ(::chmod(file.url.c_str(), 0600), 0);
        ASSERT_EQ(::truncate(file.url.c_str(), 3), 0);
        auto loaded = file.load(now);
        ASSERT_TRUE(loaded.setAsideURL);
        EXPECT_EQ(permissionsOf(*loaded.setAsideURL), 0600u);
    }
}

TEST(LeaseFileLocation, followsTheDataHomeOfTheUser) {
    EXPECT_EQ(LeaseFile::defaultURL("/x/data", "/home/tech"), fs::path("/x/data/DHCP Anvil/leases.json"));
    EXPECT_EQ(LeaseFile::defaultURL("", "/home/tech"), fs::path("/home/tech/.local/share/DHCP Anvil/leases.json"));
    EXPECT_EQ(LeaseFile::defaultURL(nullptr, "/home/tech"), fs::path("/home/tech/.local/share/DHCP Anvil/leases.json"));
    EXPECT_EQ(LeaseFile::defaultURL("relative", "/home/tech"),
              fs::path("/home/tech/.local/share/DHCP Anvil/leases.json"));
}

TEST(InternetDate, formatsWholeSecondsInUTC) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1735787045, "2025-01-02T03:04:05Z"},
        {1735787045.999, "2025-01-02T03:04:05Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {4102444799, "2099-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatInternetDate(Date{c.seconds}), c.text) << c.seconds;
        EXPECT_EQ(parseInternetDate(c.text), Date{std::floor(c.seconds)}) << c.text;
    }
    EXPECT_EQ(formatInternetDate(Date{1e18}), "9999-12-31T23:59:59Z");
}

TEST(InternetDate, readsOnlyTheExactForm) {
    for (const char* text :
         {"2025-01-02T03:04:05.123Z", "2025-01-02T03:04:05+00:00", "2025-01-02T03:04:05", "2025-1-02T03:04:05Z",
          "2025-01-02 03:04:05Z", "2025-01-02t03:04:05z", "2025-13-02T03:04:05Z", "2025-02-29T03:04:05Z",
          "2025-01-02T24:00:00Z", "2025-01-02T03:60:00Z", "2025-01-02T03:04:60Z", "+025-01-02T03:04:05Z", ""})
        EXPECT_EQ(parseInternetDate(text), std::nullopt) << text;
    EXPECT_TRUE(parseInternetDate("2024-02-29T00:00:00Z"));
}

}  // namespace
}  // namespace anvil
