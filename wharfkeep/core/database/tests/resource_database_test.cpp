#include "wharfkeep/database/resource_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <chrono>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "database_fixture.h"

namespace wharfkeep {
namespace {

using testing::DatabaseTest;

constexpr const char* kExpectedSchema =
    "CREATE TABLE pwt_master (MID TEXT, Version TEXT, AccessWay INT, AccessIP TEXT, "
    "AccessDomain TEXT);\n"
    "CREATE TABLE pwt_directores (Path TEXT primary key, Name TEXT, FileCount INT, "
    "PublishedCount INT);\n"
    "CREATE TABLE pwt_medias (LocalPath TEXT primary key, FileSize INT64, State INT, CID TEXT, "
    "URL TEXT, STSPath TEXT, FileDate DATETIME, PublishDate DATETIME);\n"
    "CREATE TABLE pwt_commparam (KeyStr TEXT NOT NULL PRIMARY KEY UNIQUE, ValueStr TEXT);\n"
    "CREATE TABLE pwt_whitNameList (ID integer NOT NULL PRIMARY KEY AUTOINCREMENT UNIQUE, "
    "BeginIP integer, EndIP integer);\n"
    "CREATE TABLE sqlite_sequence(name,seq);\n"
    "CREATE TABLE pwt_blackNameList (ID integer NOT NULL PRIMARY KEY AUTOINCREMENT UNIQUE, "
    "BeginIP integer, EndIP integer);\n";

// Whether `text` has the shape: 'H' an upper-case hexadecimal digit, 'h' a lower-case
// one, any other character itself.
bool has_shape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        if (shape[i] == 'H'   ? !(digit || (c >= 'A' && c <= 'F'))
            : shape[i] == 'h' ? !(digit || (c >= 'a' && c <= 'f'))
                              : c != shape[i]) {
            return false;
        }
    }
    return true;
}

TEST_F(DatabaseTest, FreshFileHasTheSchemaAndDefaultRows) {
    {
        ResourceDatabase database;
        ASSERT_TRUE(open(database));
    }
    EXPECT_EQ(sqlite_cli("select sql || ';' from sqlite_master where type = 'table';"),
              kExpectedSchema);

    const std::string master =
        sqlite_cli("select MID, Version, AccessWay, AccessIP, AccessDomain from pwt_master;");
    const auto bar = master.find('|');
    EXPECT_TRUE(has_shape(master.substr(0, bar), "HHHHHHHH-HHHH-hhhh-HHHH-HHHHHHHHHHHH")) << master;
    EXPECT_EQ(master.substr(bar), "|1.0.0beta|0|192.168.1.20|\n");
    // Random GUIDs: the third group carries version 4, the fourth group the variant.
    EXPECT_EQ(master.at(14), '4');
    EXPECT_NE(std::string_view("89AB").find(master.at(19)), std::string_view::npos);

    const std::string settings = sqlite_cli("select KeyStr, ValueStr from pwt_commparam;");
    const std::string defaults =
        "UseIPFilter|0\nIP_NameListType|0\nVP_UploadSpeedLimit|0\nVP_ConnLimit|200\n"
        "VP_Port|8189\nSTS_Port|8190\nVP_AutoStart|1\nVP_AddrConnLimit|32\nMaster_ID|";
    EXPECT_EQ(settings.substr(0, defaults.size()), defaults);
    EXPECT_TRUE(has_shape(settings.substr(defaults.size()), "HHHHHHHHHHHHHHHHHH\n")) << settings;

    EXPECT_EQ(settings_.version, "1.0.0beta");
    EXPECT_EQ(settings_.access_way, 0);
    EXPECT_EQ(settings_.access_ip, "192.168.1.20");
    EXPECT_EQ(settings_.access_domain, "");
    EXPECT_EQ(settings.substr(settings.find("Master_ID|") + 10, 18), settings_.master_id);
    EXPECT_EQ(settings_.master_id.at(0), '4') << "the Master ID starts with the GUID's third group";
}

TEST_F(DatabaseTest, ReopeningCreatesNothingAndKeepsTheIdentity) {
    std::string first_master_id;
    {
        ResourceDatabase database;
        ASSERT_TRUE(open(database));
        first_master_id = database.GetMasterId();
        ASSERT_EQ(first_master_id.size(), 18u);
        database.UpdateMasterAccess(1, "10.1.2.3", "media.example.org");
    }
    const std::string mid = sqlite_cli("select MID from pwt_master;");

    ResourceDatabase database;
    ServerAccessSettings reopened;
    ASSERT_TRUE(database.Open(file_, "172.16.0.1", "", reopened));
    EXPECT_EQ(reopened.master_id, first_master_id);
    EXPECT_EQ(reopened.access_way, 1);
    EXPECT_EQ(reopened.access_ip, "10.1.2.3");
    EXPECT_EQ(reopened.access_domain, "media.example.org");
    database.Close();
    EXPECT_EQ(sqlite_cli("select MID from pwt_master;"), mid);
    EXPECT_EQ(sqlite_cli("select count(*) from pwt_master; select count(*) from pwt_commparam;"),
              "1\n9\n");
}

TEST_F(DatabaseTest, NullAccessColumnsFallBackToTheGivenAddress) {
    {
        ResourceDatabase database;
        ASSERT_TRUE(open(database));
    }
    sqlite_cli("update pwt_master set AccessIP = NULL, AccessDomain = NULL;");
    ResourceDatabase database;
    ServerAccessSettings reopened;
    ASSERT_TRUE(database.Open(file_, "10.9.8.7", "fallback.example", reopened));
    EXPECT_EQ(reopened.access_ip, "10.9.8.7");
    EXPECT_EQ(reopened.access_domain, "fallback.example");
}

TEST_F(DatabaseTest, SetParamReplacesOrAddsWithoutSecondRows) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    EXPECT_TRUE(database.SetParam("VP_Port", "9000"));
    EXPECT_TRUE(database.SetParam("NewKey", "abc"));
    EXPECT_TRUE(database.SetParam("NewKey", "def"));
    EXPECT_EQ(database.GetParam("VP_Port"), "9000");
    EXPECT_EQ(database.GetParam("NewKey"), "def");
    EXPECT_EQ(database.GetParam("Missing"), "");
    database.Close();
    EXPECT_EQ(sqlite_cli("select count(*) from pwt_commparam where KeyStr in ('VP_Port', "
                         "'NewKey');"),
              "2\n");
}

TEST_F(DatabaseTest, IpRangesStoreTheLowerAddressFirst) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    const std::uint32_t ten = 10u << 24;
    EXPECT_TRUE(database.AddIpRange(IpListTable::White, ten + 9, ten + 1));
    EXPECT_TRUE(database.AddIpRange(IpListTable::White, 0xFFFFFFF0u, 0xFFFFFFFFu));
    EXPECT_TRUE(database.AddIpRange(IpListTable::Black, 1, 1));

    IpRangeList white;
    database.LoadIpList(IpListTable::White, white);
    ASSERT_EQ(white.size(), 2u);
    EXPECT_EQ(white[0], (IpRange{1, ten + 1, ten + 9}));
    EXPECT_EQ(white[1], (IpRange{2, 0xFFFFFFF0u, 0xFFFFFFFFu}));

    EXPECT_TRUE(database.DeleteIpRange(IpListTable::White, 1));
    database.LoadIpList(IpListTable::White, white);
    ASSERT_EQ(white.size(), 1u);
    EXPECT_EQ(white[0].id, 2);

    IpRangeList black{{7, 7, 7}, {8, 8, 8}};
    database.LoadIpList(IpListTable::Black, black);
    EXPECT_EQ(black, (IpRangeList{{1, 1, 1}}));
    database.Close();
    EXPECT_EQ(sqlite_cli("select BeginIP, EndIP from pwt_whitNameList;"),
              "4294967280|4294967295\n");
}

// Block lists are stored whole: 300,000 rows at once, and nothing at all when one row cannot
// be stored, in the first batch or a later one.
TEST_F(DatabaseTest, IpRangesInBulkAllOrNothing) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    IpRangeList ranges;
    for (std::uint32_t i = 0; i < 300000; ++i) {
        ranges.push_back({0, i * 8 + 7, i * 8});  // reversed: stored lower address first
    }
    ASSERT_TRUE(database.AddIpRanges(IpListTable::Black, ranges));
    EXPECT_EQ(database.CountIpRanges(IpListTable::Black), 300000);
    EXPECT_EQ(database.CountIpRanges(IpListTable::White), 0);
    IpRangeList stored;
    database.LoadIpList(IpListTable::Black, stored);
    ASSERT_EQ(stored.size(), 300000u);
    EXPECT_EQ(stored[299999], (IpRange{300000, 299999 * 8, 299999 * 8 + 7}));

    // A row the database refuses half-way leaves the table as it was.
    sqlite_cli(
        "create trigger refuse_five before insert on pwt_whitNameList when new.BeginIP=5 "
        "begin select raise(abort, 'refused'); end;");
    EXPECT_FALSE(database.AddIpRanges(IpListTable::White, IpRangeList{{0, 1, 1}, {0, 5, 5}}));
    EXPECT_EQ(database.CountIpRanges(IpListTable::White), 0);
    EXPECT_TRUE(database.AddIpRanges(IpListTable::White, IpRangeList{{0, 1, 1}, {0, 6, 6}}));
    EXPECT_EQ(database.CountIpRanges(IpListTable::White), 2);
    IpRangeList refused_late(ResourceDatabase::kIpRangesPerTransaction + 1, IpRange{0, 9, 9});
    refused_late.back() = IpRange{0, 5, 5};
    EXPECT_FALSE(database.AddIpRanges(IpListTable::White, refused_late));
    EXPECT_EQ(database.CountIpRanges(IpListTable::White), 2);
}

TEST_F(DatabaseTest, MediaRowsRoundTrip) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    const std::int64_t big = 6000000000;  // sizes are 64-bit
    ASSERT_TRUE(database.AddMedia("/videos/a.mp4", big, "2024-05-01 10:00:00"));
    EXPECT_FALSE(database.AddMedia("/videos/a.mp4", 1, "")) << "the path is the key";

    MediaRecord record{"/videos/a.mp4",
                       "a.mp4",
                       big,
                       1,
                       "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
                       "pvessa://url=x",
                       "/videos/a.mp4.sts",
                       "2024-05-01 10:00:00",
                       "2024-05-02 11:00:00"};
    ASSERT_TRUE(database.StoreMedia(record));
    std::vector<MediaRecord> list;
    EXPECT_EQ(database.ListMediaByPrefix("/videos/", list), 1);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], record);

    const std::array<MediaValue, 1> not_a_number{{{MediaColumn::State, "1; drop table x"}}};
    EXPECT_FALSE(database.UpdateMedia(not_a_number, "/videos/a.mp4"));
    list.clear();
    database.ListMediaByPrefix("/videos/", list);
    EXPECT_EQ(list.at(0).state, 1);

    EXPECT_TRUE(database.DeleteMedia("/videos/a.mp4"));
    EXPECT_EQ(database.CountMedia(), 0);
}

TEST_F(DatabaseTest, SearchMediaCombinesConditions) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    database.AddMedia("/v/one.mp4", 1, "");
    database.AddMedia("/v/two.mp4", 2, "");
    database.AddMedia("/w/three.mp4", 3, "");
    const std::array<MediaValue, 2> published{
        {{MediaColumn::State, "1"}, {MediaColumn::CID, "C1"}}};
    database.UpdateMedia(published, "/v/two.mp4");
    database.UpdateMedia(published, "/w/three.mp4");

    std::vector<MediaRecord> untouched{MediaRecord{}};
    EXPECT_EQ(database.SearchMedia({}, &untouched), 3);
    EXPECT_EQ(untouched.size(), 1u);
    const std::array<SearchCondition, 1> any{{{MediaColumn::State, SearchOperator::Equal, "1"}}};
    EXPECT_EQ(database.SearchMedia(any, nullptr), 3);

    std::vector<MediaRecord> list;
    const std::array<SearchCondition, 2> served{{
        {MediaColumn::LocalPath, SearchOperator::Like, "/v/"},
        {MediaColumn::State, SearchOperator::Equal, "1"},
    }};
    EXPECT_EQ(database.SearchMedia(served, &list), 1);
    EXPECT_EQ(list.at(0).local_path, "/v/two.mp4");
    EXPECT_EQ(list.at(0).name, "two.mp4");

    list.clear();
    const std::array<SearchCondition, 1> by_cid{{{MediaColumn::CID, SearchOperator::Equal, "C1"}}};
    EXPECT_EQ(database.SearchMedia(by_cid, &list), 2);

    list.clear();
    const std::array<SearchCondition, 1> exact{
        {{MediaColumn::LocalPath, SearchOperator::Equal, "/v/one.mp4"}}};
    EXPECT_EQ(database.SearchMedia(exact, &list), 1);
}

TEST_F(DatabaseTest, RecordsInBulkAllOrNothingAndCountedByState) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    auto record = [](std::string path, std::int32_t state) {
        MediaRecord r;
        r.local_path = std::move(path);
        r.name = display_name_of(r.local_path);
        r.file_size = 7;
        r.state = state;
        r.cid = state == 1 ? "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709" : "";
        r.file_date = "2024-05-01 10:00:00";
        return r;
    };
    const std::vector<MediaRecord> batch = {record("/b/one.mp4", 1), record("/b/two.mp4", 1),
                                            record("/b/three.mp4", -1), record("/b/four.mp4", 0)};
    ASSERT_TRUE(database.AddMediaRecords(batch));
    std::vector<MediaRecord> stored;
    database.ListMediaByPrefix("/b/one.mp4", stored);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0], batch[0]) << "every column is stored";

    // A batch holding a path that is stored already leaves nothing of itself behind.
    const std::vector<MediaRecord> clashing = {record("/b/five.mp4", 0), record("/b/two.mp4", 0)};
    EXPECT_FALSE(database.AddMediaRecords(clashing));
    EXPECT_EQ(database.CountMedia(), 4);

    const std::map<std::int32_t, int> expected{{-1, 1}, {0, 1}, {1, 2}};
    EXPECT_EQ(database.CountMediaByState(), expected);
    const std::array<SearchCondition, 2> published_under{{
        {MediaColumn::LocalPath, SearchOperator::Like, "/b/"},
        {MediaColumn::State, SearchOperator::Equal, "1"},
    }};
    EXPECT_EQ(database.CountMatchingMedia(published_under), 2);
}

// Prefix queries also bound LocalPath by byte range; the bound must be exact at the top
// of the byte range and for an empty prefix.
TEST_F(DatabaseTest, PrefixesEndingInTheHighestByteFindExactlyTheirRows) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    const std::string high = "/m\xff\xff";
    for (const std::string& path :
         {high + "/a.mp4", high + "\xff.mp4", std::string("/m\xff.mp4"), std::string("/n/b.mp4"),
          std::string("\xff\xff/c.mp4"), std::string("/m\xfe\xff/d.mp4")}) {
        ASSERT_TRUE(database.AddMedia(path, 1, ""));
    }
    auto listed = [&](const std::string& prefix) {
        std::vector<MediaRecord> list;
        database.ListMediaByPrefix(prefix, list);
        std::vector<std::string> paths;
        for (const MediaRecord& r : list) {
            paths.push_back(r.local_path);
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    };
    EXPECT_EQ(listed(high), (std::vector<std::string>{high + "/a.mp4", high + "\xff.mp4"}));
    EXPECT_EQ(listed("\xff\xff"), (std::vector<std::string>{"\xff\xff/c.mp4"}));
    EXPECT_EQ(listed("/m\xfe"), (std::vector<std::string>{"/m\xfe\xff/d.mp4"}));
    EXPECT_EQ(listed("").size(), 6u);

    // The updates by prefix use the same bound.
    ASSERT_TRUE(database.QueueDirectoryMedia(high));
    const std::array<SearchCondition, 1> waiting{
        {{MediaColumn::State, SearchOperator::Equal, "3"}}};
    EXPECT_EQ(database.CountMatchingMedia(waiting), 2);
    ASSERT_TRUE(database.DeleteMediaByPrefix(high));
    EXPECT_EQ(database.CountMedia(), 4);
}

TEST_F(DatabaseTest, QueueAndResetOnlyTouchTheirStates) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    for (const char* path : {"/d/new.mp4", "/d/done.mp4", "/d/failed.mp4", "/e/other.mp4"}) {
        database.AddMedia(path, 1, "");
    }
    const std::array<MediaValue, 3> done{
        {{MediaColumn::State, "1"}, {MediaColumn::STSPath, "s"}, {MediaColumn::PublishDate, "p"}}};
    database.UpdateMedia(done, "/d/done.mp4");
    const std::array<MediaValue, 2> failed{{{MediaColumn::State, "-1"}, {MediaColumn::URL, "u"}}};
    database.UpdateMedia(failed, "/d/failed.mp4");

    database.QueueDirectoryMedia("/d/");
    database.Close();
    EXPECT_EQ(sqlite_cli("select LocalPath, State from pwt_medias order by LocalPath;"),
              "/d/done.mp4|1\n/d/failed.mp4|-1\n/d/new.mp4|3\n/e/other.mp4|0\n");
    ASSERT_TRUE(open(database));
    database.ResetDirectoryMedia("/d/");
    database.Close();
    EXPECT_EQ(sqlite_cli("select LocalPath, State, STSPath, PublishDate, URL from pwt_medias "
                         "order by LocalPath;"),
              "/d/done.mp4|0|||\n/d/failed.mp4|0|||u\n/d/new.mp4|0|||\n/e/other.mp4|0|||\n");
}

TEST_F(DatabaseTest, DirectoryMediaLeavesNestedRegisteredDirectoriesOut) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    ASSERT_TRUE(database.AddDirectory("/m/", "m", 3));
    ASSERT_TRUE(database.AddDirectory("/m/inner/", "inner", 1));
    EXPECT_FALSE(database.AddDirectory("/m/", "again", 0));
    for (const char* path : {"/m/a.mp4", "/m/sub/b.mp4", "/m/inner/c.mp4", "/mx/d.mp4"}) {
        database.AddMedia(path, 1, "");
    }
    std::vector<MediaRecord> list;
    EXPECT_EQ(database.ListDirectoryMedia("/m/", list), 2);
    EXPECT_EQ(list.at(0).local_path, "/m/a.mp4");
    EXPECT_EQ(list.at(1).local_path, "/m/sub/b.mp4");

    EXPECT_TRUE(database.DeleteDirectoryMedia("/m/"));
    list.clear();
    EXPECT_EQ(database.ListMediaByPrefix("/m", list), 2);
    EXPECT_EQ(list.at(0).local_path, "/m/inner/c.mp4");
    EXPECT_EQ(list.at(1).local_path, "/mx/d.mp4");
}

TEST_F(DatabaseTest, DirectoriesListUpdateAndDelete) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    database.AddDirectory("/one/", "one", 4);
    database.AddDirectory("/two/", "two", 5);
    const std::array<DirectoryValue, 3> counts{{{DirectoryColumn::Name, "renamed"},
                                                {DirectoryColumn::FileCount, "7"},
                                                {DirectoryColumn::PublishedCount, "2"}}};
    EXPECT_TRUE(database.UpdateDirectory(counts, "/two/"));
    const std::array<DirectoryValue, 1> bad{{{DirectoryColumn::FileCount, "seven"}}};
    EXPECT_FALSE(database.UpdateDirectory(bad, "/two/"));

    std::vector<DirectoryRecord> list{DirectoryRecord{"/kept/", "kept", 0, 0}};
    EXPECT_EQ(database.ListDirectories(list), 3);
    EXPECT_EQ(list[1], (DirectoryRecord{"/one/", "one", 4, 0}));
    EXPECT_EQ(list[2], (DirectoryRecord{"/two/", "renamed", 7, 2}));

    EXPECT_TRUE(database.DeleteDirectory("/one/"));
    list.clear();
    EXPECT_EQ(database.ListDirectories(list), 1);
}

TEST_F(DatabaseTest, PrefixesAreCaseSensitiveLikeThePaths) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    database.AddDirectory("/data/Movies/", "Movies", 1);
    database.AddDirectory("/data/movies/", "movies", 1);
    database.AddMedia("/data/Movies/a.mp4", 1, "");
    database.AddMedia("/data/movies/b.mp4", 1, "");
    std::vector<MediaRecord> list;
    EXPECT_EQ(database.ListDirectoryMedia("/data/movies/", list), 1);
    EXPECT_EQ(list.at(0).local_path, "/data/movies/b.mp4");
    database.DeleteMediaByPrefix("/data/Movies/");
    EXPECT_EQ(database.CountMedia(), 1);
}

TEST_F(DatabaseTest, UnopenableDatabaseAnswersEmpty) {
    ResourceDatabase never_opened;
    EXPECT_FALSE(never_opened.is_open());
    EXPECT_EQ(never_opened.GetParam("VP_Port"), "");
    EXPECT_EQ(never_opened.CountMedia(), 0);
    EXPECT_FALSE(never_opened.AddMedia("/x.mp4", 1, ""));
    std::vector<MediaRecord> list;
    EXPECT_EQ(never_opened.ListDirectoryMedia("/", list), 0);

    // A file that is not a database is left as it is.
    const std::string garbage(8192, 'x');
    std::ofstream(file_, std::ios::binary) << garbage;
    ResourceDatabase database;
    EXPECT_FALSE(open(database));
    EXPECT_FALSE(database.is_open());
    EXPECT_EQ(database.GetMasterId(), "");
    EXPECT_EQ(std::filesystem::file_size(file_), garbage.size());

    ResourceDatabase in_missing_folder;
    ServerAccessSettings settings;
    EXPECT_FALSE(
        in_missing_folder.Open(home_ / "no" / "such" / "Wharfkeep.sqlite", "", "", settings));
}

TEST_F(DatabaseTest, OpenDefaultCreatesTheApplicationFolder) {
    const auto nested = home_ / "nested" / "Wharfkeep";
    setenv("WHARFKEEP_HOME", nested.c_str(), 1);
    ResourceDatabase database;
    ASSERT_TRUE(database.OpenDefault("0.0.0.0", "", settings_));
    EXPECT_TRUE(std::filesystem::exists(nested / "Wharfkeep.sqlite"));
    EXPECT_EQ(database.GetParam("VP_ConnLimit"), "200");
}

TEST_F(DatabaseTest, TwoThreadsShareTheConnection) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    constexpr int kRows = 300;
    std::atomic<bool> writer_done{false};
    std::thread writer([&] {
        for (int i = 0; i < kRows; ++i) {
            database.AddMedia("/t/" + std::to_string(i) + ".mp4", i, "");
            database.SetParam("Progress", std::to_string(i));
        }
        writer_done = true;
    });
    int reads = 0;
    bool consistent = true;
    while (!writer_done || reads == 0) {
        std::vector<MediaRecord> list;
        const int listed = database.ListMediaByPrefix("/t/", list);
        const int counted = database.CountMedia();
        consistent = consistent && listed <= counted && listed == static_cast<int>(list.size());
        database.GetParam("Progress");
        ++reads;
    }
    writer.join();
    EXPECT_TRUE(consistent);
    EXPECT_EQ(database.CountMedia(), kRows);
    EXPECT_EQ(database.GetParam("Progress"), std::to_string(kRows - 1));
}

}  // namespace
}  // namespace wharfkeep

namespace wharfkeep::testing {

TEST_F(DatabaseTest, FailureReasonsLiveBesideTheDesignedTables) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    // Nothing stored yet: no table, empty answers, and clearing is harmless.
    EXPECT_EQ(database.FailureReason("/m/a.mp4"), "");
    database.SetFailureReason("/m/a.mp4", "");
    EXPECT_EQ(sqlite_cli("select count(*) from sqlite_master where name='pwt_failure_reasons';"),
              "0\n");

    ASSERT_TRUE(database.SetFailureReason("/m/a.mp4", "variable frame rate"));
    ASSERT_TRUE(database.SetFailureReason("/m/a.mp4", "fragmented MP4 is not supported"));
    ASSERT_TRUE(database.SetFailureReason("/m/50%_b.mp4", "truncated"));
    ASSERT_TRUE(database.SetFailureReason("/other/c.mp4", "disk full"));
    EXPECT_EQ(database.FailureReason("/m/a.mp4"), "fragmented MP4 is not supported");

    std::vector<std::pair<std::string, std::string>> under_m;
    database.ListFailureReasons("/m/", under_m);
    EXPECT_EQ(under_m.size(), 2u);
    std::vector<std::pair<std::string, std::string>> literal;
    database.ListFailureReasons("/m/50%_", literal);
    ASSERT_EQ(literal.size(), 1u);
    EXPECT_EQ(literal[0].second, "truncated");

    database.SetFailureReason("/m/a.mp4", "");
    EXPECT_EQ(database.FailureReason("/m/a.mp4"), "");
    // The designed tables are untouched by all this.
    EXPECT_EQ(sqlite_cli("select count(*) from pwt_medias;"), "0\n");
}

// A published file's inode lives in a table of our own: none before the first is stored
// (a database of an earlier version), then kept per path and forgotten with its row, while
// the columns of the designed media table stay as they are.
TEST_F(DatabaseTest, MediaInodesLiveBesideTheDesignedTables) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    ASSERT_TRUE(database.AddMedia("/m/a.mp4", 10, "2026-01-02 03:04:05"));
    ASSERT_TRUE(database.AddMedia("/m/b.mp4", 20, "2026-01-02 03:04:05"));
    const std::string columns = sqlite_cli("pragma table_info(pwt_medias);");
    EXPECT_FALSE(database.MediaInode("/m/a.mp4"));
    EXPECT_TRUE(database.DeleteMedia("/m/b.mp4"));

    ASSERT_TRUE(database.SetMediaInode("/m/a.mp4", 2049, 77));
    ASSERT_TRUE(database.SetMediaInode("/m/a.mp4", 2049, std::uint64_t{1} << 40));
    EXPECT_EQ(database.MediaInode("/m/a.mp4"),
              (std::pair<std::uint64_t, std::uint64_t>{2049, std::uint64_t{1} << 40}));
    EXPECT_FALSE(database.MediaInode("/m/c.mp4"));
    EXPECT_TRUE(database.DeleteMedia("/m/a.mp4"));
    EXPECT_FALSE(database.MediaInode("/m/a.mp4"));
    EXPECT_EQ(sqlite_cli("pragma table_info(pwt_medias);"), columns);
}

// The probe takes the write lock and gives it back: a lock held by another program is
// reported (after the busy wait), and the database takes writes again once it is let go.
TEST_F(DatabaseTest, WriteProblemSeesALockHeldElsewhereAndAClosedDatabase) {
    ResourceDatabase database;
    ASSERT_TRUE(open(database));
    EXPECT_EQ(database.WriteProblem(), std::nullopt);

    // Another connection holds the write lock, as another process would.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(holder);
    const std::optional<std::string> problem = database.WriteProblem();
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->find("cannot be written"), std::string::npos) << *problem;
    EXPECT_EQ(database.WriteProblem(), std::nullopt);
    EXPECT_TRUE(database.SetParam("probe", "1"));

    database.Close();
    EXPECT_EQ(database.WriteProblem(), "the database is not open");
}

}  // namespace wharfkeep::testing
