#include "wharfkeep/database/resource_database.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "byte_exact_like.h"
#include "folded_contains.h"
#include "platform/app_paths.h"
#include "platform/log.h"
#include "platform/lookup_table.h"
#include "sqlite_wrappers.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep {

namespace {

using detail::Connection;
using detail::lack_of_space;
using detail::Statement;
using detail::Transaction;

enum TableIndex { kMaster, kDirectories, kMedias, kParams, kWhiteList, kBlackList, kTableCount };

constexpr std::array<const char*, kTableCount> kTableNames = {
    "pwt_master",    "pwt_directores",   "pwt_medias",
    "pwt_commparam", "pwt_whitNameList", "pwt_blackNameList"};

constexpr std::array<const char*, kTableCount> kCreateStatements = {
    "create table pwt_master (MID TEXT, Version TEXT, AccessWay INT, AccessIP TEXT, "
    "AccessDomain TEXT)",
    "create table pwt_directores (Path TEXT primary key, Name TEXT, FileCount INT, "
    "PublishedCount INT)",
    "create table pwt_medias (LocalPath TEXT primary key, FileSize INT64, State INT, CID TEXT, "
    "URL TEXT, STSPath TEXT, FileDate DATETIME, PublishDate DATETIME)",
    "create table pwt_commparam (KeyStr TEXT NOT NULL PRIMARY KEY UNIQUE, ValueStr TEXT)",
    "create table pwt_whitNameList (ID integer NOT NULL PRIMARY KEY AUTOINCREMENT UNIQUE, "
    "BeginIP integer, EndIP integer)",
    "create table pwt_blackNameList (ID integer NOT NULL PRIMARY KEY AUTOINCREMENT UNIQUE, "
    "BeginIP integer, EndIP integer)",
};

constexpr const char* kInitialVersion = "1.0.0beta";
constexpr std::size_t kMasterIdLimit = 127;
constexpr std::size_t kVersionLimit = 63;

// Cuts a UTF-8 text to at most `limit` bytes without splitting a character.
std::string truncate_utf8(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

using Uuid = std::array<unsigned char, 16>;

Uuid fresh_uuid() {
    Uuid uuid{};
    uuid_generate_random(uuid.data());
    return uuid;
}

// The third group of a GUID and bytes 1 to 7 of its last eight-byte group: 18 digits.
std::string master_id_from(const Uuid& u) {
    char text[19];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X%02X", u[6], u[7], u[9],
                  u[10], u[11], u[12], u[13], u[14], u[15]);
    return text;
}

// The GUID text form with the third group in lower case.
std::string installation_id_from(const Uuid& u) {
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02x%02x-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return text;
}

// A LIKE pattern matching `prefix` and everything that begins with it: "%", "_" and "\"
// are escaped with "\", and the statement then needs the escape clause.
struct LikePrefix {
    std::string prefix;
    std::string pattern;
    bool escaped = false;

    // " escape '\'" when the pattern holds escapes, else nothing.
    const char* clause() const { return escaped ? " escape '\\'" : ""; }
};

LikePrefix like_prefix(std::string_view prefix) {
    LikePrefix like;
    like.prefix = std::string(prefix);
    like.pattern.reserve(prefix.size() + 1);
    for (const char c : prefix) {
        if (c == '%' || c == '_' || c == '\\') {
            like.pattern.push_back('\\');
            like.escaped = true;
        }
        like.pattern.push_back(c);
    }
    like.pattern.push_back('%');
    return like;
}

// The smallest text greater than every text that begins with `prefix`, compared byte for
// byte: the prefix with its last byte below 0xFF raised by one and what follows it dropped.
// Nothing when no such text exists (an empty prefix, or one of 0xFF bytes only).
std::optional<std::string> prefix_end(std::string_view prefix) {
    std::string end(prefix);
    while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xFF) {
        end.pop_back();
    }
    if (end.empty()) {
        return std::nullopt;
    }
    end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
    return end;
}

// LocalPath beginning with `like`'s prefix, as a byte range: LocalPath compares byte for
// byte, so the range holds exactly the rows the LIKE pattern would match, and SQLite finds
// them by walking the LocalPath index instead of calling our LIKE function on every row.
// An empty prefix keeps the LIKE, which matches every path.
// `column` is LocalPath, or "+LocalPath" to keep SQLite from answering a prefix by its index.
std::string local_path_prefix_condition(const LikePrefix& like,
                                        std::string_view column = "LocalPath") {
    const std::string path(column);
    if (like.prefix.empty()) {
        return path + " like ?" + like.clause();
    }
    return prefix_end(like.prefix) ? path + " >= ? and " + path + " < ?" : path + " >= ?";
}

// Binds the values of local_path_prefix_condition from `index` on; returns the next index.
int bind_local_path_prefix(Statement& statement, int index, const LikePrefix& like) {
    if (like.prefix.empty()) {
        statement.bind(index++, like.pattern);
        return index;
    }
    statement.bind(index++, like.prefix);
    if (const std::optional<std::string> end = prefix_end(like.prefix)) {
        statement.bind(index++, *end);
    }
    return index;
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

constexpr platform::LookupRow<MediaColumn, const char*> kMediaColumnNames[] = {
    {MediaColumn::LocalPath, "LocalPath"},
    {MediaColumn::FileSize, "FileSize"},
    {MediaColumn::State, "State"},
    {MediaColumn::CID, "CID"},
    {MediaColumn::URL, "URL"},
    {MediaColumn::STSPath, "STSPath"},
    {MediaColumn::FileDate, "FileDate"},
    {MediaColumn::PublishDate, "PublishDate"}};

const char* column_name(MediaColumn column) {
    return platform::look_up(kMediaColumnNames, column, "LocalPath");
}

bool is_integer_column(MediaColumn column) {
    return column == MediaColumn::FileSize || column == MediaColumn::State;
}

constexpr platform::LookupRow<DirectoryColumn, const char*> kDirectoryColumnNames[] = {
    {DirectoryColumn::Path, "Path"},
    {DirectoryColumn::Name, "Name"},
    {DirectoryColumn::FileCount, "FileCount"},
    {DirectoryColumn::PublishedCount, "PublishedCount"}};

const char* column_name(DirectoryColumn column) {
    return platform::look_up(kDirectoryColumnNames, column, "Path");
}

bool is_integer_column(DirectoryColumn column) {
    return column == DirectoryColumn::FileCount || column == DirectoryColumn::PublishedCount;
}

const char* ip_table_name(IpListTable table) {
    return table == IpListTable::White ? kTableNames[kWhiteList] : kTableNames[kBlackList];
}

constexpr platform::LookupRow<SearchOperator, const char*> kOperatorTexts[] = {
    {SearchOperator::Like, "like"}, {SearchOperator::Equal, "="}, {SearchOperator::NotEqual, "!="}};

const char* operator_text(SearchOperator op) {
    return platform::look_up(kOperatorTexts, op, "=");
}

// Binds a column's new value: text as is, integer columns only as whole decimal numbers.
template <typename Column>
bool bind_value(Statement& statement, int index, Column column, std::string_view value) {
    if (!is_integer_column(column)) {
        statement.bind(index, value);
        return true;
    }
    const auto number = parse_integer(value);
    if (!number) {
        return false;
    }
    statement.bind(index, *number);
    return true;
}

bool run_to_end(Statement& statement) {
    while (statement.step()) {
    }
    return statement.done();
}

// Prepares `sql`, binds `values` to its parameters in order and runs it to the end.
template <typename... Values>
bool run_statement(sqlite3* db, std::string_view sql, const Values&... values) {
    Statement statement(db, sql);
    statement.bind_all(values...);
    return run_to_end(statement);
}

// Sets the columns of `values` in the row of `table` whose `key` column holds `key_value`.
// No values, or a value its integer column cannot take: false, and nothing changes.
template <typename Value, typename Column>
bool update_row(sqlite3* db, const char* table, Column key, std::span<const Value> values,
                std::string_view key_value) {
    if (values.empty()) {
        return false;
    }
    std::string sql = std::string("update ") + table + " set ";
    for (std::size_t i = 0; i < values.size(); ++i) {
        sql += std::string(i == 0 ? "" : ",") + column_name(values[i].column) + "=?";
    }
    sql += std::string(" where ") + column_name(key) + "=?";

    Statement update(db, sql);
    int index = 1;
    for (const Value& value : values) {
        if (!bind_value(update, index++, value.column, value.value)) {
            return false;
        }
    }
    update.bind(index, key_value);
    return run_to_end(update);
}

// Why the file at `file` cannot hold the database, before SQLite is let near it: SQLite
// would create the target of a dangling link, and fails late on a directory. A missing
// file is fine (it is created), so is an empty one (it is initialised).
std::optional<std::string> unusable_database_file(const std::filesystem::path& file) {
    struct stat link_status {};
    if (::lstat(file.c_str(), &link_status) != 0) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return S_ISLNK(link_status.st_mode)
                   ? std::string("is a symbolic link to a missing or unreachable file")
                   : std::string("cannot be examined: ") + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return S_ISDIR(status.st_mode) ? std::string("is a directory")
                                       : std::string("is not a regular file");
    }
    return std::nullopt;
}

// The verdict of one quick-check statement; nothing when it says "ok".
std::optional<std::string> check_verdict(sqlite3* db, const std::string& sql) {
    Statement check(db, sql);
    if (!check.step()) {
        return std::string(sqlite3_errmsg(db));
    }
    const std::string verdict = check.text(0);
    if (verdict != "ok") {
        return verdict;
    }
    return std::nullopt;
}

// Removes a database file this open created, with SQLite's side files, so that a failed
// first start leaves no empty file that the next start would take for a database.
void remove_created_database(const std::filesystem::path& file) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(file.string() + suffix, ignored);
    }
}

// Whether the last connection to `file` ended without closing it. SQLite removes the
// write-ahead log when the last connection closes, so a log with content in it means a
// crash, a kill or a power cut (or another process that has the file open right now).
bool left_unclosed(const std::filesystem::path& file) {
    std::error_code error;
    const auto log_size = std::filesystem::file_size(file.string() + "-wal", error);
    return !error && log_size > 0;
}

// Why the file is damaged; nothing when it is sound. SQLite's quick check reads every page,
// which at a hundred thousand media rows is most of the time an open takes, so it runs in
// full only after a run that did not close the file. After a clean close the file is
// checked where damage would stop the program at once: a file shorter than its header
// says (cut off by a copy or a full disk), and the schema and the small tables read at
// start-up. Damage inside the media table shows later as a failed read of those rows.
std::optional<std::string> damage_of(sqlite3* db, const std::filesystem::path& file,
                                     bool check_every_page) {
    if (check_every_page) {
        return check_verdict(db, "pragma quick_check");
    }
    Statement pages(db, "pragma page_count");
    if (!pages.step()) {
        return std::string(sqlite3_errmsg(db));
    }
    Statement page_size(db, "pragma page_size");
    if (!page_size.step()) {
        return std::string(sqlite3_errmsg(db));
    }
    std::error_code error;
    const auto file_size = std::filesystem::file_size(file, error);
    const auto expected = static_cast<std::uintmax_t>(pages.integer(0) * page_size.integer(0));
    if (!error && file_size < expected) {
        return "the file has " + std::to_string(file_size) + " bytes where its header counts " +
               std::to_string(expected);
    }
    for (const char* table : {"sqlite_schema", "pwt_master", "pwt_commparam", "pwt_directores",
                              "pwt_whitNameList", "pwt_blackNameList"}) {
        Statement exists(db, "select 1 from sqlite_schema where type = 'table' and name = ?");
        exists.bind(1, std::string_view(table));
        if (std::string_view(table) != "sqlite_schema" && !exists.step()) {
            continue;
        }
        if (auto damage = check_verdict(db, std::string("pragma quick_check(") + table + ")")) {
            return damage;
        }
    }
    return std::nullopt;
}

// Why a sound SQLite file is not ours: it holds other tables but not our master table, or
// our media table with other columns. Nothing for an empty file or our own schema.
std::optional<std::string> foreign_schema(sqlite3* db,
                                          const std::array<bool, kTableCount>& present) {
    if (!present[kMaster]) {
        Statement tables(db,
                         "select name from sqlite_master where type = 'table' and "
                         "substr(name, 1, 7) != 'sqlite_'");
        if (tables.step()) {
            return "it holds the table " + tables.text(0) + " but not pwt_master";
        }
        return std::nullopt;
    }
    if (present[kMedias]) {
        static constexpr std::array<const char*, 8> kMediaColumns = {
            "LocalPath", "FileSize", "State", "CID", "URL", "STSPath", "FileDate", "PublishDate"};
        Statement columns(db, "pragma table_info(pwt_medias)");
        std::size_t index = 0;
        while (columns.step()) {
            if (index >= kMediaColumns.size() || columns.text(1) != kMediaColumns[index]) {
                return std::string("its table pwt_medias has other columns");
            }
            ++index;
        }
        if (index != kMediaColumns.size()) {
            return std::string("its table pwt_medias has other columns");
        }
    }
    return std::nullopt;
}

// The part of LocalPath after its last '/': rtrim strips every character but '/' from the
// end, which leaves the folder; what follows it is the name (the whole path without '/').
constexpr const char* kNameExpression =
    "substr(LocalPath, length(rtrim(LocalPath, replace(LocalPath, '/', ''))) + 1)";

// The sort key of an order before its LocalPath tie-break; empty for LocalPath itself.
std::string order_key(MediaOrder order) {
    switch (order) {
        case MediaOrder::LocalPath:
            return "";
        case MediaOrder::Name:
            return kNameExpression;
        case MediaOrder::FileSize:
            return "FileSize";
        case MediaOrder::State:
            return "State";
        case MediaOrder::FileDate:
            return "FileDate";
        case MediaOrder::PublishDate:
            return "PublishDate";
    }
    return "";
}

// The index whose walk gives the order; pwt_medias_state is (State, LocalPath).
const char* order_index_name(MediaOrder order) {
    switch (order) {
        case MediaOrder::Name:
            return "pwt_medias_name";
        case MediaOrder::FileSize:
            return "pwt_medias_size";
        case MediaOrder::FileDate:
            return "pwt_medias_file_date";
        case MediaOrder::PublishDate:
            return "pwt_medias_publish_date";
        case MediaOrder::State:
            return "pwt_medias_state";
        case MediaOrder::LocalPath:
            break;
    }
    return "";
}

MediaRecord read_media(const Statement& row) {
    MediaRecord record;
    record.local_path = row.text(0);
    record.name = display_name_of(record.local_path);
    record.file_size = row.integer(1);
    record.state = static_cast<std::int32_t>(row.integer(2));
    record.cid = row.text(3);
    record.url = row.text(4);
    record.sts_path = row.text(5);
    record.file_date = row.text(6);
    record.publish_date = row.text(7);
    return record;
}

int append_media(Statement& statement, std::vector<MediaRecord>& list) {
    while (statement.step()) {
        list.push_back(read_media(statement));
    }
    return static_cast<int>(list.size());
}

}  // namespace

std::string display_name_of(std::string_view local_path) {
    const auto slash = local_path.rfind('/');
    return std::string(slash == std::string_view::npos ? local_path : local_path.substr(slash + 1));
}

class ResourceDatabase::Impl {
public:
    bool open(const std::filesystem::path& file, std::string_view local_ip, std::string_view domain,
              ServerAccessSettings& settings);
    void close() {
        connection_.close();
        present_.fill(false);
    }
    bool is_open() const { return static_cast<bool>(connection_); }
    sqlite3* db() const { return connection_.get(); }
    Connection& connection() { return connection_; }

    std::string get_param(std::string_view key);
    bool set_param(std::string_view key, std::string_view value);
    int count_media();

    // The directory-scoped statement: `head` ("select *" or "delete") over the media under
    // `directory`, excluding those under other registered directories inside it.
    std::optional<Statement> directory_statement(std::string_view head, std::string_view directory);

    std::mutex mutex;
    std::string open_error;

private:
    void find_tables();
    void read_master(std::string_view local_ip, std::string_view domain,
                     ServerAccessSettings& settings);
    // Creates what the file lacks of the schema; false at the first write that fails.
    bool complete_schema(std::string_view local_ip, std::string_view domain,
                         ServerAccessSettings& settings);
    bool create_master(std::string_view local_ip, std::string_view domain,
                       ServerAccessSettings& settings);
    bool create_table(TableIndex table);
    bool create_order_indexes();

    Connection connection_;
    std::array<bool, kTableCount> present_{};
};

bool ResourceDatabase::Impl::open(const std::filesystem::path& file, std::string_view local_ip,
                                  std::string_view domain, ServerAccessSettings& settings) {
    close();
    open_error.clear();
    const bool creating = !std::filesystem::exists(file);
    const auto fail = [&](const std::string& why) {
        open_error = "the database " + file.string() + " " + why;
        platform::log::error("{}", open_error);
        close();
        if (creating) {
            remove_created_database(file);
        }
        return false;
    };
    // A failure of SQLite's: "cannot be written: disk full ..." when space ran out, else
    // `what` with SQLite's reason.
    const auto fail_with_sqlite = [&](const std::string& what, const std::string& reason) {
        if (const std::optional<std::string> full = lack_of_space(db(), file)) {
            return fail("cannot be written: " + *full);
        }
        return fail(what + reason);
    };
    std::string error;
    const std::optional<std::string> unusable = unusable_database_file(file);
    if (unusable) {
        return fail(*unusable);
    }
    const bool check_every_page = left_unclosed(file);
    if (!connection_.open(file, creating, error)) {
        return fail_with_sqlite("cannot be opened: ", error);
    }
    sqlite3_busy_timeout(db(), 2000);
    // Paths on this system are byte strings, case included, so directory prefixes must
    // compare byte for byte too.
    if (!detail::install_byte_exact_like(db()) || !detail::install_contains_folded(db())) {
        return fail_with_sqlite("cannot be used: ", sqlite3_errmsg(db()));
    }
    // A damaged file is refused before anything is written to it.
    if (const std::optional<std::string> damage = damage_of(db(), file, check_every_page)) {
        return fail_with_sqlite("is damaged: ", *damage);
    }

    Statement tables(db(), "select name from sqlite_master where type ='table'");
    while (tables.step()) {
        const std::string name = tables.text(0);
        for (int table = 0; table < kTableCount; ++table) {
            if (name == kTableNames[table]) {
                present_[table] = true;
            }
        }
    }
    if (!tables.done()) {
        return fail_with_sqlite("cannot be used: ", sqlite3_errmsg(db()));
    }
    if (const std::optional<std::string> foreign = foreign_schema(db(), present_)) {
        return fail("is not a Wharfkeep database: " + *foreign);
    }
    // Only now that the file is known to be ours may anything change it.
    // A directory import stores one row per file: with a write-ahead log those commits
    // need no sync each. A crash of the program loses no committed row; a power cut may
    // lose the last few, never the file's consistency.
    connection_.execute("pragma journal_mode = wal");
    connection_.execute("pragma synchronous = normal");

    // A new schema and its default rows appear together or not at all. The first write that
    // fails ends the open, so that its error (a full disk, say) is the one reported.
    Transaction transaction(connection_);
    if (!complete_schema(local_ip, domain, settings) || !transaction.commit()) {
        return fail_with_sqlite("cannot be written: ", sqlite3_errmsg(db()));
    }
    settings.master_id = truncate_utf8(get_param("Master_ID"), kMasterIdLimit);
    return true;
}

bool ResourceDatabase::Impl::complete_schema(std::string_view local_ip, std::string_view domain,
                                             ServerAccessSettings& settings) {
    if (present_[kMaster]) {
        read_master(local_ip, domain, settings);
    } else if (!create_master(local_ip, domain, settings)) {
        return false;
    }
    for (const TableIndex table : {kDirectories, kMedias, kParams, kWhiteList, kBlackList}) {
        if (!present_[table] && !create_table(table)) {
            return false;
        }
    }
    // Both servers look a file up by its CID for every peer handshake and movie-info query.
    // The status counts and a folder's rows in one state (published counts, the publish
    // page's filter, queueing) read the state index alone, in the range of that state and
    // folder.
    return connection_.execute("create index if not exists pwt_medias_cid on pwt_medias (CID)") &&
           connection_.execute(
               "create index if not exists pwt_medias_state on pwt_medias (State, LocalPath)") &&
           create_order_indexes();
}

// A long media list is sorted by walking one of these, in either direction, instead of
// sorting its rows; State is included so that a list filtered by state is read from the
// index alone. Built-in functions only, so that any SQLite program can still write rows.
bool ResourceDatabase::Impl::create_order_indexes() {
    for (const MediaOrder order :
         {MediaOrder::Name, MediaOrder::FileSize, MediaOrder::FileDate, MediaOrder::PublishDate}) {
        const std::string sql = std::string("create index if not exists ") +
                                order_index_name(order) + " on pwt_medias (" + order_key(order) +
                                ", LocalPath, State)";
        if (!connection_.execute(sql.c_str())) {
            return false;
        }
    }
    return true;
}

void ResourceDatabase::Impl::read_master(std::string_view local_ip, std::string_view domain,
                                         ServerAccessSettings& settings) {
    Statement master(db(), "select * from pwt_master");
    while (master.step()) {
        settings.version = truncate_utf8(master.text(1), kVersionLimit);
        settings.access_way = static_cast<std::int32_t>(master.integer(2));
        settings.access_ip = master.is_null(3) ? std::string(local_ip) : master.text(3);
        settings.access_domain = master.is_null(4) ? std::string(domain) : master.text(4);
    }
}

bool ResourceDatabase::Impl::create_master(std::string_view local_ip, std::string_view domain,
                                           ServerAccessSettings& settings) {
    if (!create_table(kMaster)) {
        return false;
    }
    settings.version = kInitialVersion;
    settings.access_way = 0;
    settings.access_ip = std::string(local_ip);
    settings.access_domain = std::string(domain);

    return run_statement(db(), "insert into pwt_master values(?, ?, ?, ?, ?)",
                         installation_id_from(fresh_uuid()), kInitialVersion, std::int64_t{0},
                         local_ip, domain);
}

bool ResourceDatabase::Impl::create_table(TableIndex table) {
    present_[table] = connection_.execute(kCreateStatements[table]);
    if (table != kParams || !present_[table]) {
        return present_[table];
    }
    for (const settings::SettingEntry& setting : settings::AllSettings()) {
        if (setting.first_run_value != nullptr &&
            !set_param(setting.key, setting.first_run_value)) {
            return false;
        }
    }
    return set_param("Master_ID", master_id_from(fresh_uuid()));
}

std::string ResourceDatabase::Impl::get_param(std::string_view key) {
    Statement select(db(), "select ValueStr from pwt_commparam where KeyStr=?");
    select.bind(1, key);
    std::string value;
    while (select.step()) {
        value = select.text(0);
    }
    return value;
}

bool ResourceDatabase::Impl::set_param(std::string_view key, std::string_view value) {
    const bool updated =
        run_statement(db(), "update pwt_commparam set ValueStr=? where KeyStr=?", value, key) &&
        sqlite3_changes(db()) > 0;
    // Refused by the key's uniqueness when the update found the key.
    const bool inserted = run_statement(db(), "insert into pwt_commparam values(?, ?)", key, value);
    return updated || inserted;
}

int ResourceDatabase::Impl::count_media() {
    Statement count(db(), "select count(*) from pwt_medias");
    return count.step() ? static_cast<int>(count.integer(0)) : 0;
}

std::optional<Statement> ResourceDatabase::Impl::directory_statement(std::string_view head,
                                                                     std::string_view directory) {
    const LikePrefix prefix = like_prefix(directory);

    std::vector<LikePrefix> nested;
    Statement others(db(), std::string("select Path from pwt_directores where Path like ?") +
                               prefix.clause() + " and Path != ?");
    others.bind(1, prefix.pattern);
    others.bind(2, directory);
    while (others.step()) {
        nested.push_back(like_prefix(others.text(0)));
    }

    std::string sql =
        std::string(head) + " from pwt_medias where " + local_path_prefix_condition(prefix);
    for (const LikePrefix& other : nested) {
        sql += std::string(" and LocalPath not like ?") + other.clause();
    }
    Statement statement(db(), sql);
    int index = bind_local_path_prefix(statement, 1, prefix);
    for (const LikePrefix& other : nested) {
        statement.bind(index++, other.pattern);
    }
    if (!statement.valid()) {
        return std::nullopt;
    }
    return statement;
}

// ---------------------------------------------------------------------------------------

ResourceDatabase::ResourceDatabase() : impl_(std::make_unique<Impl>()) {}
ResourceDatabase::~ResourceDatabase() = default;

std::filesystem::path ResourceDatabase::default_file() {
    return platform::app_data_file("Wharfkeep.sqlite");
}

bool ResourceDatabase::Open(const std::filesystem::path& file, std::string_view local_ip,
                            std::string_view domain, ServerAccessSettings& settings) {
    std::lock_guard lock(impl_->mutex);
    return impl_->open(file, local_ip, domain, settings);
}

bool ResourceDatabase::OpenDefault(std::string_view local_ip, std::string_view domain,
                                   ServerAccessSettings& settings) {
    try {
        platform::ensure_app_data_folder();
    } catch (const std::exception& error) {
        platform::log::error("database: {}", error.what());
        return false;
    }
    return Open(default_file(), local_ip, domain, settings);
}

std::string ResourceDatabase::open_error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->open_error;
}

bool ResourceDatabase::is_open() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->is_open();
}

std::optional<std::string> ResourceDatabase::WriteProblem() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->is_open()) {
        return "the database is not open";
    }
    sqlite3* db = impl_->db();
    if (sqlite3_db_readonly(db, "main") == 1) {
        return "the database is open read-only";
    }
    if (sqlite3_get_autocommit(db) == 0) {
        return std::nullopt;  // a transaction of ours is open: it holds the write lock
    }
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return std::string("the database cannot be written: ") + sqlite3_errmsg(db);
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return std::nullopt;
}

void ResourceDatabase::Close() {
    std::lock_guard lock(impl_->mutex);
    impl_->close();
}

bool ResourceDatabase::UpdateMasterAccess(std::int32_t way, std::string_view ip,
                                          std::string_view domain) {
    std::lock_guard lock(impl_->mutex);
    return run_statement(impl_->db(),
                         "update pwt_master set AccessWay=?, AccessIP=?, AccessDomain=?",
                         std::int64_t{way}, ip, domain);
}

std::string ResourceDatabase::GetParam(std::string_view key) {
    std::lock_guard lock(impl_->mutex);
    return impl_->get_param(key);
}

std::string ResourceDatabase::GetMasterId() {
    return GetParam("Master_ID");
}

bool ResourceDatabase::SetParam(std::string_view key, std::string_view value) {
    std::lock_guard lock(impl_->mutex);
    return impl_->set_param(key, value);
}

int ResourceDatabase::ListDirectories(std::vector<DirectoryRecord>& list) {
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(), "select * from pwt_directores");
    while (select.step()) {
        list.push_back({select.text(0), select.text(1),
                        static_cast<std::int32_t>(select.integer(2)),
                        static_cast<std::int32_t>(select.integer(3))});
    }
    return static_cast<int>(list.size());
}

bool ResourceDatabase::AddDirectory(std::string_view path, std::string_view name,
                                    std::int32_t file_count) {
    std::lock_guard lock(impl_->mutex);
    return run_statement(impl_->db(), "insert into pwt_directores values(?, ?, ?, ?)", path, name,
                         std::int64_t{file_count}, std::int64_t{0});
}

bool ResourceDatabase::UpdateDirectory(std::span<const DirectoryValue> values,
                                       std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    return update_row(impl_->db(), kTableNames[kDirectories], DirectoryColumn::Path, values, path);
}

bool ResourceDatabase::DeleteDirectory(std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    return run_statement(impl_->db(), "delete from pwt_directores where Path=?", path);
}

int ResourceDatabase::ListMediaByPrefix(std::string_view prefix, std::vector<MediaRecord>& list) {
    VisitMediaByPrefix(prefix,
                       [&list](MediaRecord&& record) { list.push_back(std::move(record)); });
    return static_cast<int>(list.size());
}

int ResourceDatabase::VisitMediaByPrefix(std::string_view prefix,
                                         const std::function<void(MediaRecord&&)>& visit) {
    const LikePrefix like = like_prefix(prefix);
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(),
                     "select * from pwt_medias where " + local_path_prefix_condition(like));
    bind_local_path_prefix(select, 1, like);
    int visited = 0;
    while (select.step()) {
        visit(read_media(select));
        ++visited;
    }
    return visited;
}

int ResourceDatabase::ListDirectoryMedia(std::string_view directory,
                                         std::vector<MediaRecord>& list) {
    std::lock_guard lock(impl_->mutex);
    auto select = impl_->directory_statement("select *", directory);
    return select ? append_media(*select, list) : static_cast<int>(list.size());
}

namespace {

// `head` ("select *" or "select count(*)") over the rows matching every condition; nothing
// when a value does not fit its column. The caller holds the database mutex.
std::optional<Statement> search_statement(sqlite3* db, std::string_view head,
                                          std::span<const SearchCondition> conditions) {
    std::string sql = std::string(head) + " from pwt_medias where ";
    std::vector<LikePrefix> likes;
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        const SearchCondition& condition = conditions[i];
        sql += i == 0 ? "" : " and ";
        likes.push_back(like_prefix(condition.op == SearchOperator::Like ? condition.value : ""));
        if (condition.op == SearchOperator::Like && condition.column == MediaColumn::LocalPath) {
            sql += local_path_prefix_condition(likes.back());
        } else {
            sql += std::string(column_name(condition.column)) + " " + operator_text(condition.op) +
                   " ?";
            if (condition.op == SearchOperator::Like) {
                sql += likes.back().clause();
            }
        }
    }
    Statement statement(db, sql);
    int index = 1;
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        const SearchCondition& condition = conditions[i];
        if (condition.op != SearchOperator::Like) {
            if (!bind_value(statement, index++, condition.column, condition.value)) {
                return std::nullopt;
            }
        } else if (condition.column == MediaColumn::LocalPath) {
            index = bind_local_path_prefix(statement, index, likes[i]);
        } else {
            statement.bind(index++, likes[i].pattern);
        }
    }
    return statement;
}

}  // namespace

int ResourceDatabase::SearchMedia(std::span<const SearchCondition> conditions,
                                  std::vector<MediaRecord>* list) {
    if (conditions.empty() || list == nullptr) {
        return CountMedia();
    }
    std::lock_guard lock(impl_->mutex);
    std::optional<Statement> select = search_statement(impl_->db(), "select *", conditions);
    return select ? append_media(*select, *list) : static_cast<int>(list->size());
}

int ResourceDatabase::CountMatchingMedia(std::span<const SearchCondition> conditions) {
    if (conditions.empty()) {
        return CountMedia();
    }
    std::lock_guard lock(impl_->mutex);
    std::optional<Statement> count = search_statement(impl_->db(), "select count(*)", conditions);
    return count && count->step() ? static_cast<int>(count->integer(0)) : 0;
}

int ResourceDatabase::CountMedia() {
    std::lock_guard lock(impl_->mutex);
    return impl_->count_media();
}

std::map<std::int32_t, int> ResourceDatabase::CountMediaByState() {
    std::lock_guard lock(impl_->mutex);
    std::map<std::int32_t, int> counts;
    Statement count(impl_->db(), "select State, count(*) from pwt_medias group by State");
    while (count.step()) {
        counts[static_cast<std::int32_t>(count.integer(0))] = static_cast<int>(count.integer(1));
    }
    return counts;
}

namespace {

std::string folded_text(std::string text) {
    for (char& c : text) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// Whether a CID, 40 hexadecimal digits, can hold `text`: only when every byte of it is one.
bool cid_may_hold(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// The listing's conditions after "where"; `prefix_by_index` false keeps SQLite from using
// the LocalPath index for the prefix, so that it walks the order's index instead.
std::string listing_condition(const MediaListing& listing, const LikePrefix& like,
                              bool prefix_by_index) {
    // A unary plus makes the column an expression no index answers.
    const bool plain = !prefix_by_index && !like.prefix.empty();
    std::string condition = local_path_prefix_condition(like, plain ? "+LocalPath" : "LocalPath");
    if (listing.state) {
        condition += " and State = ?";
    }
    if (!listing.contains.empty()) {
        // The path is in every index that gives an order, so it is tested without reading
        // the row; the CIDs that hold the text are found first by a scan of the CID index
        // alone (once per statement). Reading each row's CID from the table instead, one
        // seek per row of the index walked, took most of the filter's time.
        condition += cid_may_hold(listing.contains)
                         ? " and (contains_folded(LocalPath, ?) or rowid in (select rowid from "
                           "pwt_medias where contains_folded(CID, ?)))"
                         : " and contains_folded(LocalPath, ?)";
    }
    return condition;
}

void bind_listing(Statement& statement, const MediaListing& listing, const LikePrefix& like) {
    int next = bind_local_path_prefix(statement, 1, like);
    if (listing.state) {
        statement.bind(next++, std::int64_t{*listing.state});
    }
    if (!listing.contains.empty()) {
        const std::string folded = folded_text(listing.contains);
        statement.bind(next++, folded);
        if (cid_may_hold(listing.contains)) {
            statement.bind(next, folded);
        }
    }
}

// The statement reading the listing's ids in order. `walk_index` names the order's index,
// so that SQLite walks it instead of reading the prefix's rows and sorting them.
std::string listing_ids_sql(const MediaListing& listing, const LikePrefix& like, MediaOrder order,
                            bool ascending, bool walk_index) {
    const char* direction = ascending ? " asc" : " desc";
    const std::string key = order_key(order);
    std::string sql = "select rowid from pwt_medias";
    if (key.empty() || order == MediaOrder::State) {
        // The LocalPath index, or (State, LocalPath), hold both the rows and their order.
        sql += " where " + listing_condition(listing, like, true) + " order by ";
        return sql + (key.empty() ? std::string("LocalPath") + direction
                                  : key + direction + ", LocalPath" + direction);
    }
    sql += walk_index ? std::string(" indexed by ") + order_index_name(order) : "";
    sql += " where " + listing_condition(listing, like, !walk_index) + " order by ";
    const char* plus = walk_index ? "" : "+";  // no index answers "+column": rows are sorted
    return sql + plus + key + direction + ", " + plus + "LocalPath" + direction;
}

}  // namespace

std::vector<MediaRowId> ResourceDatabase::ListMediaIds(const MediaListing& listing,
                                                       MediaOrder order, bool ascending) {
    const LikePrefix like = like_prefix(listing.prefix);
    std::lock_guard lock(impl_->mutex);
    bool ids_complete = false;
    const auto read_ids = [&](const std::string& sql) {
        Statement select(impl_->db(), sql);
        bind_listing(select, listing, like);
        std::vector<MediaRowId> ids;
        while (select.step()) {
            ids.push_back(select.integer(0));
        }
        ids_complete = select.done();
        return ids;
    };
    // A list from a good part of the table walks the order's index; a small one is read by
    // its prefix and sorted, which beats walking the whole index for a few rows. The text
    // to look for is left out of the count: every row of the prefix is tested for it either
    // way, and read from the table unless the index is walked.
    bool walk_index = false;
    if (order != MediaOrder::LocalPath && order != MediaOrder::State) {
        MediaListing range = listing;
        range.contains.clear();
        Statement count(impl_->db(), "select count(*) from pwt_medias where " +
                                         listing_condition(range, like, true));
        bind_listing(count, range, like);
        const std::int64_t listed = count.step() ? count.integer(0) : 0;
        walk_index = listed * 8 >= impl_->count_media();
    }
    std::vector<MediaRowId> ids =
        read_ids(listing_ids_sql(listing, like, order, ascending, walk_index));
    if (!ids_complete && walk_index) {
        // The index could not be made (a full disk when it was first needed): sort instead.
        ids = read_ids(listing_ids_sql(listing, like, order, ascending, false));
    }
    return ids;
}

std::vector<std::pair<MediaRowId, MediaRecord>> ResourceDatabase::ReadMediaByIds(
    std::span<const MediaRowId> ids) {
    constexpr std::size_t kBatch = 256;
    std::vector<std::pair<MediaRowId, MediaRecord>> records;
    records.reserve(ids.size());
    std::lock_guard lock(impl_->mutex);
    for (std::size_t first = 0; first < ids.size(); first += kBatch) {
        const std::span<const MediaRowId> batch =
            ids.subspan(first, std::min(kBatch, ids.size() - first));
        std::string sql = "select *, rowid from pwt_medias where rowid in (?";
        for (std::size_t i = 1; i < batch.size(); ++i) {
            sql += ",?";
        }
        sql += ")";
        Statement select(impl_->db(), sql);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            select.bind(static_cast<int>(i + 1), batch[i]);
        }
        std::map<MediaRowId, MediaRecord> found;
        while (select.step()) {
            found.emplace(select.integer(8), read_media(select));
        }
        for (const MediaRowId id : batch) {
            if (auto entry = found.find(id); entry != found.end()) {
                records.emplace_back(id, std::move(entry->second));
            }
        }
    }
    return records;
}

std::optional<MediaRowId> ResourceDatabase::MediaIdOf(std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(), "select rowid from pwt_medias where LocalPath = ?");
    select.bind(1, path);
    if (!select.step()) {
        return std::nullopt;
    }
    return select.integer(0);
}

bool ResourceDatabase::AddMedia(std::string_view path, std::int64_t file_size,
                                std::string_view file_date) {
    std::lock_guard lock(impl_->mutex);
    const std::string_view none;  // stored as NULL
    return run_statement(impl_->db(), "insert into pwt_medias values(?, ?, ?, ?, ?, ?, ?, ?)", path,
                         file_size,
                         std::int64_t{static_cast<std::int32_t>(MediaState::NotPublished)}, none,
                         none, none, file_date, none);
}

bool ResourceDatabase::AddMediaRecords(std::span<const MediaRecord> records) {
    std::lock_guard lock(impl_->mutex);
    Transaction transaction(impl_->connection());
    Statement insert(impl_->db(), "insert into pwt_medias values(?, ?, ?, ?, ?, ?, ?, ?)");
    for (const MediaRecord& record : records) {
        insert.reset();
        insert.bind_all(record.local_path, record.file_size, std::int64_t{record.state}, record.cid,
                        record.url, record.sts_path, record.file_date, record.publish_date);
        if (!run_to_end(insert)) {
            return false;  // the transaction rolls back: none of the rows is stored
        }
    }
    return transaction.commit();
}

bool ResourceDatabase::UpdateMedia(std::span<const MediaValue> values, std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    return update_row(impl_->db(), kTableNames[kMedias], MediaColumn::LocalPath, values, path);
}

bool ResourceDatabase::StoreMedia(const MediaRecord& record) {
    const std::array<MediaValue, 7> values = {{
        {MediaColumn::FileSize, std::to_string(record.file_size)},
        {MediaColumn::State, std::to_string(record.state)},
        {MediaColumn::CID, record.cid},
        {MediaColumn::URL, record.url},
        {MediaColumn::STSPath, record.sts_path},
        {MediaColumn::FileDate, record.file_date},
        {MediaColumn::PublishDate, record.publish_date},
    }};
    return UpdateMedia(values, record.local_path);
}

bool ResourceDatabase::DeleteMedia(std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    if (!run_statement(impl_->db(), "delete from pwt_medias where LocalPath=?", path)) {
        return false;
    }
    // The table is absent until the first identity is stored (the statement then never
    // runs); once it exists the row's identity goes with the row.
    Statement forget(impl_->db(), "delete from pwt_media_inodes where LocalPath=?");
    forget.bind(1, path);
    forget.step();
    return true;
}

bool ResourceDatabase::SetMediaInode(std::string_view path, std::uint64_t device,
                                     std::uint64_t inode) {
    std::lock_guard lock(impl_->mutex);
    sqlite3_exec(impl_->db(),
                 "create table if not exists pwt_media_inodes (LocalPath TEXT primary key, "
                 "Device INT64, Inode INT64)",
                 nullptr, nullptr, nullptr);
    return run_statement(impl_->db(), "insert or replace into pwt_media_inodes values(?, ?, ?)",
                         path, static_cast<std::int64_t>(device), static_cast<std::int64_t>(inode));
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ResourceDatabase::MediaInode(
    std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(), "select Device, Inode from pwt_media_inodes where LocalPath=?");
    select.bind(1, path);
    if (!select.step()) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::uint64_t>(select.integer(0)),
                     static_cast<std::uint64_t>(select.integer(1))};
}

bool ResourceDatabase::SetFailureReason(std::string_view path, std::string_view reason) {
    std::lock_guard lock(impl_->mutex);
    if (reason.empty()) {
        return run_statement(impl_->db(), "delete from pwt_failure_reasons where LocalPath=?",
                             path);
    }
    sqlite3_exec(impl_->db(),
                 "create table if not exists pwt_failure_reasons (LocalPath TEXT primary key, "
                 "Reason TEXT)",
                 nullptr, nullptr, nullptr);
    return run_statement(impl_->db(), "insert or replace into pwt_failure_reasons values(?, ?)",
                         path, reason);
}

std::string ResourceDatabase::FailureReason(std::string_view path) {
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(), "select Reason from pwt_failure_reasons where LocalPath=?");
    select.bind(1, path);
    return select.step() ? select.text(0) : std::string();
}

int ResourceDatabase::ListFailureReasons(std::string_view prefix,
                                         std::vector<std::pair<std::string, std::string>>& list) {
    const LikePrefix like = like_prefix(prefix);
    std::lock_guard lock(impl_->mutex);
    Statement select(impl_->db(),
                     std::string("select LocalPath, Reason from pwt_failure_reasons where "
                                 "LocalPath like ?") +
                         like.clause());
    select.bind(1, like.pattern);
    while (select.step()) {
        list.emplace_back(select.text(0), select.text(1));
    }
    return static_cast<int>(list.size());
}

bool ResourceDatabase::DeleteMediaByPrefix(std::string_view prefix) {
    const LikePrefix like = like_prefix(prefix);
    std::lock_guard lock(impl_->mutex);
    Statement erase(impl_->db(),
                    "delete from pwt_medias where " + local_path_prefix_condition(like));
    bind_local_path_prefix(erase, 1, like);
    return run_to_end(erase);
}

bool ResourceDatabase::DeleteDirectoryMedia(std::string_view directory) {
    std::lock_guard lock(impl_->mutex);
    auto erase = impl_->directory_statement("delete", directory);
    return erase && run_to_end(*erase);
}

bool ResourceDatabase::QueueDirectoryMedia(std::string_view prefix) {
    const LikePrefix like = like_prefix(prefix);
    std::lock_guard lock(impl_->mutex);
    Statement update(impl_->db(), "update pwt_medias set State=?  where " +
                                      local_path_prefix_condition(like) + " and State=?");
    update.bind(1, std::int64_t{static_cast<std::int32_t>(MediaState::Waiting)});
    const int state_index = bind_local_path_prefix(update, 2, like);
    update.bind(state_index, std::int64_t{static_cast<std::int32_t>(MediaState::NotPublished)});
    return run_to_end(update);
}

bool ResourceDatabase::ResetDirectoryMedia(std::string_view prefix) {
    const LikePrefix like = like_prefix(prefix);
    std::lock_guard lock(impl_->mutex);
    Statement update(impl_->db(), "update pwt_medias set State=?,PublishDate='',STSPath='' where " +
                                      local_path_prefix_condition(like) + " and State!=?");
    update.bind(1, std::int64_t{static_cast<std::int32_t>(MediaState::NotPublished)});
    const int state_index = bind_local_path_prefix(update, 2, like);
    update.bind(state_index, std::int64_t{static_cast<std::int32_t>(MediaState::NotPublished)});
    return run_to_end(update);
}

bool ResourceDatabase::AddIpRange(IpListTable table, std::uint32_t first_ip,
                                  std::uint32_t second_ip) {
    std::lock_guard lock(impl_->mutex);
    return run_statement(
        impl_->db(),
        std::string("insert into ") + ip_table_name(table) + "('BeginIP','EndIP') values(?,?)",
        std::int64_t{std::min(first_ip, second_ip)}, std::int64_t{std::max(first_ip, second_ip)});
}

bool ResourceDatabase::AddIpRanges(IpListTable table, std::span<const IpRange> ranges) {
    const std::string name = ip_table_name(table);
    std::int64_t last_before = 0;  // ids only grow (AUTOINCREMENT): ours are above it
    {
        std::lock_guard lock(impl_->mutex);
        Statement last(impl_->db(), "select coalesce(max(ID), 0) from " + name);
        if (!last.step()) {
            return false;
        }
        last_before = last.integer(0);
    }
    for (std::size_t start = 0; start < ranges.size(); start += kIpRangesPerTransaction) {
        const std::span<const IpRange> batch =
            ranges.subspan(start, std::min(kIpRangesPerTransaction, ranges.size() - start));
        std::lock_guard lock(impl_->mutex);
        if (!AddIpRangeBatch(name, batch)) {
            run_statement(impl_->db(), "delete from " + name + " where ID>?", last_before);
            return false;
        }
    }
    return true;
}

// One transaction of AddIpRanges, with the lock held: all of the batch or none of it.
bool ResourceDatabase::AddIpRangeBatch(const std::string& table, std::span<const IpRange> ranges) {
    Transaction transaction(impl_->connection());
    Statement insert(impl_->db(), "insert into " + table + "('BeginIP','EndIP') values(?,?)");
    for (const IpRange& range : ranges) {
        insert.reset();
        insert.bind_all(std::int64_t{std::min(range.begin_ip, range.end_ip)},
                        std::int64_t{std::max(range.begin_ip, range.end_ip)});
        if (!run_to_end(insert)) {
            return false;  // the transaction rolls back
        }
    }
    return transaction.commit();
}

std::int64_t ResourceDatabase::CountIpRanges(IpListTable table) {
    std::lock_guard lock(impl_->mutex);
    Statement count(impl_->db(), std::string("select count(*) from ") + ip_table_name(table));
    return count.step() ? count.integer(0) : 0;
}

bool ResourceDatabase::DeleteIpRange(IpListTable table, std::int64_t id) {
    std::lock_guard lock(impl_->mutex);
    return run_statement(impl_->db(),
                         std::string("delete from ") + ip_table_name(table) + " where ID=?", id);
}

void ResourceDatabase::LoadIpList(IpListTable table, IpRangeList& list) {
    std::lock_guard lock(impl_->mutex);
    list.clear();
    Statement count(impl_->db(), std::string("select count(*) from ") + ip_table_name(table));
    if (!count.step()) {
        return;
    }
    const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(count.integer(0), 0));
    list.resize(rows);
    Statement select(impl_->db(), std::string("select * from ") + ip_table_name(table));
    std::size_t filled = 0;
    while (filled < rows && select.step()) {
        list[filled++] = {select.integer(0), static_cast<std::uint32_t>(select.integer(1)),
                          static_cast<std::uint32_t>(select.integer(2))};
    }
    // Never leave placeholder ranges behind when fewer rows came back than were counted.
    list.resize(filled);
}

}  // namespace wharfkeep
