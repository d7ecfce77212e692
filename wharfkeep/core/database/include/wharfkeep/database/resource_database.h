#pragma once
// The resource database: the program's one persistent store (directories, media files and
// their publication results, settings, IP range lists) in the SQLite file
// "Wharfkeep.sqlite" of the application-data folder.
//
// Threading: one ResourceDatabase (one connection, opened in SQLite's serialized mode) is
// shared by the user-interface thread, the publisher thread and the servers' callback
// threads. Every operation runs under the object's own lock, so an operation made of
// several statements is never interleaved with another thread's.
//
// Failures: operations report no statement errors. A failed read yields nothing (empty
// text, zero count, unchanged list), a failed write changes nothing. Only AddDirectory
// and AddMedia tell the caller (false when the row could not be inserted, typically
// because the key exists). A database that cannot be opened leaves every answer empty.
//
// Values are always bound as statement parameters: no stored path, setting or search
// value can change what a statement does. Paths are UTF-8, directories end with '/'.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wharfkeep {

// Publication state of a media row (column State).
enum class MediaState : std::int32_t {
    NotPublished = 0,
    Published = 1,
    Publishing = 2,
    Waiting = 3,
    Failed = -1,
    NotStreamable = -2,
    HeaderRejected = -4,
};

// One row of pwt_medias in memory.
struct MediaRecord {
    std::string local_path;  // primary key: full path of the media file
    std::string name;        // not stored: the part of local_path after its last '/'
    std::int64_t file_size = 0;
    std::int32_t state = 0;  // a MediaState value (-3 may be found in old rows)
    std::string cid;         // GCID, 40 upper-case hexadecimal digits
    std::string url;         // published link
    std::string sts_path;    // stream-description file
    std::string file_date;   // "%Y-%m-%d %H:%M:%S" local time, empty for none
    std::string publish_date;

    bool operator==(const MediaRecord&) const = default;
};

// The part of a path after its last '/' (the whole path when it has none).
std::string display_name_of(std::string_view local_path);

// One row of pwt_directores.
struct DirectoryRecord {
    std::string path;  // full path, ending with '/'
    std::string name;  // display name
    std::int32_t file_count = 0;
    std::int32_t published_count = 0;

    bool operator==(const DirectoryRecord&) const = default;
};

// The process-wide access settings the database fills when it is opened.
struct ServerAccessSettings {
    std::string master_id;        // at most 127 bytes, from the Master_ID setting
    std::string version;          // at most 63 bytes
    std::int32_t access_way = 0;  // 0 by IP address, 1 by domain name
    std::string access_ip;
    std::string access_domain;
};

// One row of an IP range list; addresses a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d.
struct IpRange {
    std::int64_t id = 0;
    std::uint32_t begin_ip = 0;
    std::uint32_t end_ip = 0;

    bool operator==(const IpRange&) const = default;
};
using IpRangeList = std::vector<IpRange>;

// The two IP range tables: pwt_whitNameList (allow) and pwt_blackNameList (deny).
enum class IpListTable { White, Black };

enum class MediaColumn { LocalPath, FileSize, State, CID, URL, STSPath, FileDate, PublishDate };
enum class DirectoryColumn { Path, Name, FileCount, PublishedCount };

// A column and its new value as text; integer columns take decimal text (a value that is
// not a whole decimal number makes the update change nothing).
template <typename Column>
struct ColumnValue {
    Column column;
    std::string value;
};
using MediaValue = ColumnValue<MediaColumn>;
using DirectoryValue = ColumnValue<DirectoryColumn>;

enum class SearchOperator { Like, Equal, NotEqual };

// One term of SearchMedia. With Like the value is a prefix: it matches itself and
// everything that begins with it, "%", "_" and "\" taken literally.
struct SearchCondition {
    MediaColumn column;
    SearchOperator op;
    std::string value;
};

// The rows a media list shows: LocalPath beginning with `prefix` ("%", "_" and "\" taken
// literally, as with a Like search), and when `state` is set, only rows in that State.
struct MediaListing {
    std::string prefix;
    std::optional<std::int32_t> state;
    // When set, only rows whose LocalPath or CID holds this text, ASCII letters compared
    // without case.
    std::string contains;
};

// The orders of a media list. Names (the part of LocalPath after its last '/') and both
// dates compare as exact text, byte for byte; size and State numerically. Ties are broken
// by LocalPath, so every order is total and the descending one is its exact reverse.
enum class MediaOrder { LocalPath, Name, FileSize, State, FileDate, PublishDate };

// A media row's stable identifier (SQLite's rowid): it names the row while its LocalPath
// is the same, and is what a long list keeps in memory instead of whole records.
using MediaRowId = std::int64_t;

class ResourceDatabase {
public:
    // "Wharfkeep.sqlite" in the application-data folder.
    static std::filesystem::path default_file();

    ResourceDatabase();
    ~ResourceDatabase();
    ResourceDatabase(const ResourceDatabase&) = delete;
    ResourceDatabase& operator=(const ResourceDatabase&) = delete;

    // Opens (creating when missing) the database file, creates the missing tables with
    // their default rows and fills `settings`. `local_ip` and `domain` are the access
    // address of a new database. Returns false, with the reason on standard error and in
    // open_error() and the database closed, when the file cannot be opened, is not a
    // database, is damaged or holds another program's tables; such a file is never
    // written to. A missing or empty file is initialised.
    bool Open(const std::filesystem::path& file, std::string_view local_ip, std::string_view domain,
              ServerAccessSettings& settings);
    // Open() of default_file(), creating the application-data folder when missing.
    bool OpenDefault(std::string_view local_ip, std::string_view domain,
                     ServerAccessSettings& settings);
    bool is_open() const;
    // Why the last Open failed, naming the file; empty after a successful one.
    std::string open_error() const;
    // Nothing when the database takes writes now (a write lock is taken and given back at
    // once), else why not: closed, opened read-only, or the lock refused.
    std::optional<std::string> WriteProblem();
    void Close();

    // Master row and settings.
    bool UpdateMasterAccess(std::int32_t way, std::string_view ip, std::string_view domain);
    // The value of a setting; empty when missing.
    std::string GetParam(std::string_view key);
    std::string GetMasterId();
    // Stores the pair, replacing the value of an existing key.
    bool SetParam(std::string_view key, std::string_view value);

    // Directories. List operations append to the caller's list and return its new size.
    int ListDirectories(std::vector<DirectoryRecord>& list);
    bool AddDirectory(std::string_view path, std::string_view name, std::int32_t file_count);
    bool UpdateDirectory(std::span<const DirectoryValue> values, std::string_view path);
    bool DeleteDirectory(std::string_view path);

    // Media rows.
    int ListMediaByPrefix(std::string_view prefix, std::vector<MediaRecord>& list);
    // The same rows handed to `visit` one at a time as they are read, none kept; returns how
    // many. The database stays locked meanwhile: `visit` must not call back into it.
    int VisitMediaByPrefix(std::string_view prefix,
                           const std::function<void(MediaRecord&&)>& visit);
    // Media under a directory, without those under another registered directory inside it.
    int ListDirectoryMedia(std::string_view directory, std::vector<MediaRecord>& list);
    // Rows matching every condition, appended to `list`; with no conditions or no list,
    // CountMedia() (the list untouched).
    int SearchMedia(std::span<const SearchCondition> conditions, std::vector<MediaRecord>* list);
    int CountMedia();
    // The number of rows in each State, in one pass over the table.
    std::map<std::int32_t, int> CountMediaByState();
    // The number of rows matching every condition (all rows with no conditions).
    int CountMatchingMedia(std::span<const SearchCondition> conditions);
    // The ids of the listing's rows in `order`, ascending or descending: the rows of a
    // hundred thousand are read from an index in a few tens of milliseconds.
    std::vector<MediaRowId> ListMediaIds(const MediaListing& listing, MediaOrder order,
                                         bool ascending);
    // The records of `ids` in the same order; an id whose row is gone yields nothing, so
    // the result may be shorter (each record's name filled as display_name_of).
    std::vector<std::pair<MediaRowId, MediaRecord>> ReadMediaByIds(std::span<const MediaRowId> ids);
    // The id of the row with exactly this LocalPath.
    std::optional<MediaRowId> MediaIdOf(std::string_view path);
    // Inserts a row in state NotPublished with empty CID, URL, STS path and publish date.
    bool AddMedia(std::string_view path, std::int64_t file_size, std::string_view file_date);
    // Inserts every record with all its stored columns in one transaction: all of them, or
    // none when one insert fails (for instance a path that is stored already).
    bool AddMediaRecords(std::span<const MediaRecord> records);
    bool UpdateMedia(std::span<const MediaValue> values, std::string_view path);
    // UpdateMedia of every stored column of the record, by its local_path.
    bool StoreMedia(const MediaRecord& record);
    bool DeleteMedia(std::string_view path);
    bool DeleteMediaByPrefix(std::string_view prefix);
    bool DeleteDirectoryMedia(std::string_view directory);
    // Waiting for every NotPublished row under the prefix.
    bool QueueDirectoryMedia(std::string_view prefix);
    // NotPublished, publish date and STS path emptied, for every other row under the prefix.
    bool ResetDirectoryMedia(std::string_view prefix);

    // Why the last publication of a file did not succeed, in a table of its own keyed by
    // LocalPath (pwt_failure_reasons, created with the first reason stored, so the designed
    // tables stay as they are). An empty reason forgets the file's entry.
    bool SetFailureReason(std::string_view path, std::string_view reason);
    // Empty when none is stored.
    std::string FailureReason(std::string_view path);
    // Every stored (LocalPath, reason) pair under the prefix, appended to `list`.
    int ListFailureReasons(std::string_view prefix,
                           std::vector<std::pair<std::string, std::string>>& list);

    // The file identity (device and inode) a published file had when its row was stored, in
    // a table of its own keyed by LocalPath (pwt_media_inodes, created with the first one
    // stored). With the row's size and date it tells a file left alone from one replaced by
    // another of the same size and date. DeleteMedia forgets it with the row; one left by a
    // folder's delete is overwritten when the path is published again.
    bool SetMediaInode(std::string_view path, std::uint64_t device, std::uint64_t inode);
    // Nothing when none is stored (a row stored before identities were kept).
    std::optional<std::pair<std::uint64_t, std::uint64_t>> MediaInode(std::string_view path);

    // IP range lists. AddIpRange stores the lower address as BeginIP.
    bool AddIpRange(IpListTable table, std::uint32_t first_ip, std::uint32_t second_ip);
    // Stores every range (lower address first, ids ignored): all of them, or none when one
    // insert fails. The rows go in in transactions of kIpRangesPerTransaction, the database
    // let go of between them, so that other statements (a status read, a peer's file look-up)
    // wait for one batch rather than for a whole block list; a failed batch removes the rows
    // the earlier ones stored. Callers must not add to the same table meanwhile (the IP
    // filter table makes its changes one at a time).
    static constexpr std::size_t kIpRangesPerTransaction = 10000;
    bool AddIpRanges(IpListTable table, std::span<const IpRange> ranges);
    bool DeleteIpRange(IpListTable table, std::int64_t id);
    // The number of rows of the table; 0 when it cannot be read.
    std::int64_t CountIpRanges(IpListTable table);
    // Replaces the contents of `list` with the table's rows.
    void LoadIpList(IpListTable table, IpRangeList& list);

private:
    bool AddIpRangeBatch(const std::string& table, std::span<const IpRange> ranges);

    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Copies the database file `source` to `target` with SQLite's online backup while other
// connections (a running instance) go on reading and writing it. The copy is checked in
// full and replaces `target` only when whole and sound. Nothing on success, else why not.
std::optional<std::string> backup_database(const std::filesystem::path& source,
                                           const std::filesystem::path& target);

}  // namespace wharfkeep
