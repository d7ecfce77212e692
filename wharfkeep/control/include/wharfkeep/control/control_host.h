#pragma once
// What the control interface needs of the running host: snapshots to read and operations to
// run. The server knows nothing else of the host, so its tests drive it with a fake.
//
// Threading contract: the control server calls every member on its own thread, one call at a
// time, except the two block-list imports: those take seconds, and the server calls them on a
// worker thread of its own (one import at a time), while its thread goes on calling the others.
// An implementation moves the work to wherever the host wants it (the adapter over the
// document runs it on the user-interface thread) and returns when it is done.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wharfkeep/control/process_stats.h"
#include "wharfkeep/outcome.h"

namespace wharfkeep::control {

struct StatusReport {
    bool running = false;
    std::string stopped_reason;  // why the services do not run; empty while they run
    std::string address;         // "host:port" as peers should use it; empty when stopped
    std::uint32_t transfer_port = 0;
    std::uint32_t protocol_port = 0;
    std::uint64_t upload_speed = 0;  // bytes per second
    std::uint64_t upload_limit = 0;  // bytes per second, 0: unlimited
    std::uint64_t bytes_sent = 0;
    std::uint32_t peers = 0;
    std::uint32_t resources = 0;
    std::uint32_t connection_limit = 0;  // 0: unlimited
    std::uint32_t cache_hit_ratio = 0;   // percent
    std::uint64_t disk_bytes_read = 0;
    std::uint64_t disk_read_speed = 0;  // bytes per second
    std::uint64_t disk_free = 0;
    std::uint64_t disk_total = 0;
    std::map<int, std::uint64_t> media_by_state;  // publish state -> number of files
    std::uint64_t uptime_seconds = 0;
    std::string version;
    // The upload mode in force: "normal", "alternative", "scheduled" or "paused".
    std::string upload_mode;
    // Peer connections refused since the start, by reason ("deny_list", "not_allowed",
    // "connection_limit", "address_limit").
    std::map<std::string, std::uint64_t> refused_by_reason;
    // The peer server's page cache (0 while the services are stopped).
    std::uint64_t cache_bytes = 0;             // memory held by the cache now
    std::uint64_t cache_budget = 0;            // most memory it may hold
    std::uint64_t cache_hits = 0;              // page look-ups answered from memory
    std::uint64_t cache_misses = 0;            // page look-ups that went to the disk
    std::vector<std::string> watched_folders;  // each ending with "/"
    bool watching_by_rescan_only = false;      // the inotify watch limit was reached
    // The same counts as media_by_state, by the states' English names ("published").
    std::map<std::string, std::uint64_t> media_by_state_name;
    // The file systems that hold the added folders, each once, named by its first folder.
    struct Disk {
        std::string folder;
        std::uint64_t free = 0;  // bytes available to this process
        std::uint64_t total = 0;
    };
    std::vector<Disk> disks;
    // The IP filter in force: on or off, which list is active and the ranges of each.
    struct IpFilterSummary {
        bool enabled = false;
        bool deny_list = false;
        std::uint64_t allow_ranges = 0;
        std::uint64_t deny_ranges = 0;
    };
    IpFilterSummary ip_filter;
};

// One GCID being served, as the upper list of the connection monitor shows it.
struct ResourceRow {
    std::string gcid;
    std::string name;
    std::uint64_t file_size = 0;
    std::uint32_t connections = 0;
    std::uint64_t speed = 0;  // bytes per second
    std::uint64_t bytes_sent = 0;
    std::string publish_date;
};

// One peer connection, as the lower list of the connection monitor shows it.
struct ConnectionRow {
    std::string gcid;
    std::string name;
    std::string peer_id;  // 32 hexadecimal digits
    std::string address;  // dotted IPv4
    std::uint16_t port = 0;
    std::uint64_t speed = 0;  // bytes per second
    std::uint64_t bytes_sent = 0;
    std::uint64_t connected_seconds = 0;
};

struct MediaRow {
    std::string path;
    std::string name;
    std::uint64_t file_size = 0;
    int state = 0;
    std::string state_name;  // host::StateName: the identifier scripts match on
    std::string state_text;  // host::StateText: the same in words
    std::string gcid;
    std::string link;
    std::string publish_date;
    std::string reason;  // why the last publication did not succeed; empty otherwise
};

struct MediaFilter {
    std::string folder;        // only files under this folder (absolute); empty: all
    std::optional<int> state;  // only files in this state
};

// One added folder with its counts, as the publish page lists them.
struct FolderRow {
    std::string path;  // ending with "/"
    std::string name;
    std::uint64_t files = 0;
    std::uint64_t published = 0;
    bool watched = false;
};

// A page of the media list, as the web console asks for it.
struct MediaPageQuery {
    MediaFilter filter;
    std::string text;  // lower case; only rows whose path or GCID holds it; empty: all
    enum class Key { kPath, kName, kSize, kState, kTime };
    Key sort = Key::kPath;  // ties broken by path
    bool descending = false;
    std::uint64_t offset = 0;
    std::uint64_t limit = 100;
};

struct MediaPageReport {
    std::uint64_t total = 0;  // rows that match, on every page
    std::vector<MediaRow> rows;
};

// The page of `rows` (the filter's rows) that `query` asks for: filtered by its text,
// ordered, cut. Only the rows up to the end of the page are fully sorted.
MediaPageReport PageOfRows(std::vector<MediaRow> rows, const MediaPageQuery& query);

// One operator setting: its value as `wharfkeepd config` prints it, its unit and whether a
// change applies at once or when the services or the folder watcher start next.
struct SettingRow {
    std::string key;
    std::string value;
    std::string unit;  // empty when the value has none
    bool at_next_start = false;
};

// Every setting of the settings table, in its order.
struct SettingsReport {
    std::vector<SettingRow> settings;
};

struct IpFilterRangeRow {
    std::string first;
    std::string last;
};

struct IpFilterReport {
    bool enabled = false;
    bool deny_list = false;
    std::vector<IpFilterRangeRow> ranges;  // in table order; the index deletes
    // The ranges each list holds, the inactive one included.
    std::uint64_t allow_ranges = 0;
    std::uint64_t deny_ranges = 0;
};

// A histogram as Prometheus has it: upper bounds with the observations at or below each,
// the count of all observations and their sum.
struct HistogramReport {
    std::vector<std::pair<double, std::uint64_t>> buckets;  // bound, cumulative count
    std::uint64_t count = 0;
    double sum = 0;
};

struct MetricsReport {
    StatusReport status;
    // This process's figures; nothing where /proc cannot be read.
    std::optional<ProcessStats> process;
    std::map<std::string, std::uint64_t> refused_by_reason;
    std::map<std::string, std::uint64_t> publications_by_outcome;
    double restructuring_seconds = 0;
    // List-server requests by the answer they got: list, found, not_found, malformed,
    // list_failed.
    std::map<std::string, std::uint64_t> list_queries_by_answer;
    // Sizes of the peer server's answers with file data, bytes.
    HistogramReport peer_answer_bytes;
    // How long peers' requests waited, seconds, by stage: "disk" (until the data was at
    // hand) and "send" (the answer queued until the kernel took it: the upload limit).
    std::map<std::string, HistogramReport> peer_request_wait_seconds;
};

// One check of /livez or /readyz: a short name scripts match on, and why it failed.
struct HealthCheck {
    std::string name;
    bool ok = true;
    std::string reason;  // empty when ok
};

// The answer of an operation: the host's own outcome type.
using Outcome = wharfkeep::Outcome;

// A setting change as the operator wrote it: the stored key and the value as text.
using SettingChange = std::pair<std::string, std::string>;

class ControlHost {
public:
    virtual ~ControlHost() = default;

    virtual StatusReport Status() = 0;
    virtual std::vector<ResourceRow> Resources() = 0;
    // The peer connections of one GCID, or of every served GCID when `gcid` is empty.
    virtual std::vector<ConnectionRow> Connections(const std::string& gcid) = 0;
    virtual std::vector<MediaRow> Media(const MediaFilter& filter) = 0;
    // The same rows one at a time, so that a hundred thousand of them need not stand in
    // memory at once; by default from Media().
    virtual void VisitMedia(const MediaFilter& filter,
                            const std::function<void(MediaRow&&)>& visit) {
        for (MediaRow& row : Media(filter)) {
            visit(std::move(row));
        }
    }
    // A page of the media list; by default cut from all of Media(), which a host with an
    // index should do better.
    virtual MediaPageReport MediaPage(const MediaPageQuery& query) {
        return PageOfRows(Media(query.filter), query);
    }
    // The added folders; none for a host without folders.
    virtual std::vector<FolderRow> Folders() { return {}; }
    virtual MetricsReport Metrics() = 0;
    // Whether the host's event loops still answer (/livez); none: nothing to check.
    virtual std::vector<HealthCheck> Liveness() { return {}; }
    // Whether the host can do its work (/readyz): database, listeners, disk space.
    virtual std::vector<HealthCheck> Readiness() { return {}; }

    // Adds a folder and, with `publish`, queues its unpublished files.
    virtual Outcome AddFolder(const std::string& path, bool publish) = 0;
    // Queues one known file, or every unpublished file of a known folder.
    virtual Outcome Publish(const std::string& path) = 0;
    virtual Outcome Rescan(const std::string& folder) = 0;
    // Marks an added folder watched (its new files are published once settled) or not.
    virtual Outcome SetFolderWatched(const std::string& folder, bool watched) = 0;
    // Withdraws a file, a folder or every file of a GCID.
    virtual Outcome Withdraw(const std::string& target) = 0;
    virtual Outcome RemoveFolder(const std::string& folder) = 0;
    // Writes the links of one folder (or all, when empty) to `output` (or a new desktop file).
    virtual Outcome ExportLinks(const std::string& folder, const std::string& output) = 0;
    virtual Outcome SetServicesRunning(bool running) = 0;

    virtual SettingsReport Settings() = 0;
    // Checks every change first; applies them only when all are valid.
    virtual Outcome ChangeSettings(const std::vector<SettingChange>& changes) = 0;

    virtual IpFilterReport IpFilter() = 0;
    virtual Outcome AddIpRange(const std::string& first, const std::string& last) = 0;
    virtual Outcome DeleteIpRange(std::size_t index) = 0;
    virtual Outcome SetIpFilterEnabled(bool enabled) = 0;
    virtual Outcome SetIpFilterDenyList(bool deny_list) = 0;
    // Adds the ranges of a block-list file (read by the host) to the active list; the answer
    // carries the import report.
    virtual Outcome ImportIpRanges(const std::string& file) = 0;
    // The same with the block list's text itself, as a browser uploads it.
    virtual Outcome ImportIpRangeText(const std::string& text) = 0;
};

}  // namespace wharfkeep::control
