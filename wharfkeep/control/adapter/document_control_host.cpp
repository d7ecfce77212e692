#include "document_control_host.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <type_traits>
#include <variant>

#include "platform/app_paths.h"
#include "platform/disk_space.h"
#include "platform/hex.h"
#include "wharfkeep/host/host_operations.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/host/watched_folders.h"
#include "wharfkeep/iprules/block_list.h"

namespace wharfkeep::control {
namespace {

namespace fs = std::filesystem;

// Takes the record's texts over: a listing of every row holds each text once.
MediaRow RowOf(MediaRecord&& record, const std::string& reason) {
    std::string name =
        record.name.empty() ? display_name_of(record.local_path) : std::move(record.name);
    return MediaRow{std::move(record.local_path),
                    std::move(name),
                    static_cast<std::uint64_t>(std::max<std::int64_t>(record.file_size, 0)),
                    record.state,
                    host::StateName(record.state),
                    host::StateText(record.state),
                    std::move(record.cid),
                    std::move(record.url),
                    std::move(record.publish_date),
                    record.state < 0 ? reason : std::string()};
}

// The file systems of the added folders, each once (by device), named by its first folder.
std::vector<StatusReport::Disk> FolderDisks(const std::vector<DirectoryRecord>& folders) {
    std::vector<StatusReport::Disk> disks;
    std::vector<dev_t> seen;
    for (const DirectoryRecord& folder : folders) {
        struct stat info {};
        struct statvfs space {};
        if (::stat(folder.path.c_str(), &info) != 0 ||
            std::find(seen.begin(), seen.end(), info.st_dev) != seen.end() ||
            ::statvfs(folder.path.c_str(), &space) != 0) {
            continue;
        }
        seen.push_back(info.st_dev);
        disks.push_back({folder.path, static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize,
                         static_cast<std::uint64_t>(space.f_blocks) * space.f_frsize});
    }
    return disks;
}

}  // namespace

DocumentControlHost::DocumentControlHost(host::Host& host, UiPoster post, std::string version,
                                         std::chrono::milliseconds wait)
    : host_(host), post_(std::move(post)), version_(std::move(version)), wait_(wait) {
    if (host_.Settings().Setting(host::kVpAutoStart) == 0) {
        stopped_reason_ = "stopped by the operator";
    }
    folder_thread_ = std::thread([this] { WatchAddedFolders(); });
}

DocumentControlHost::~DocumentControlHost() {
    *alive_ = false;
    Close();
    folder_thread_.join();
    for (AddingFolder& adding : adding_) {
        adding.worker->Cancel();
    }
}

void DocumentControlHost::SetServer(ControlServer* server) {
    std::lock_guard<std::mutex> lock(mutex_);
    server_ = server;
}

void DocumentControlHost::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

// ---- Running on the user-interface thread ----

void DocumentControlHost::Post(std::function<void()> task) {
    post_([alive = alive_, task = std::move(task)] {
        if (*alive) {
            task();
        }
    });
}

// A task that has not started when the wait ends is abandoned (it will not run: it refers
// to the caller's frame); one that has started is waited for to its end.
bool DocumentControlHost::RunOnUi(const std::function<void()>& work,
                                  std::optional<std::chrono::milliseconds> wait) {
    struct Shared {
        bool started = false;
        bool done = false;
        bool abandoned = false;
    };
    auto shared = std::make_shared<Shared>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return false;
        }
    }
    Post([this, shared, &work] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_ || shared->abandoned) {
                return;
            }
            shared->started = true;
        }
        work();
        std::lock_guard<std::mutex> lock(mutex_);
        shared->done = true;
        changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait.value_or(wait_), [&] { return shared->done || closed_; });
    if (!shared->done && shared->started) {
        changed_.wait(lock, [&] { return shared->done; });
    }
    shared->abandoned = !shared->done;
    return shared->done;
}

Outcome DocumentControlHost::OnUi(const std::function<Outcome()>& work) {
    auto result = std::make_shared<Outcome>();
    if (!RunOnUi([result, work] { *result = work(); })) {
        return Outcome::Unavailable("the instance is closing or busy; try again");
    }
    return *result;
}

template <typename Result>
std::optional<Result> DocumentControlHost::ReadOnUi(const std::function<Result()>& work) {
    auto result = std::make_shared<Result>();
    if (!RunOnUi([result, work] { *result = work(); })) {
        return std::nullopt;
    }
    return *result;
}

// ---- Snapshots ----

namespace {

// The IP filter's refusals (both servers) by list, the peer server's limits by limit.
std::map<std::string, std::uint64_t> RefusalsByReason(const host::ServerStatusSnapshot& status) {
    return {{"deny_list", status.refused_by_filter.deny_list},
            {"not_allowed", status.refused_by_filter.not_on_allow_list},
            {"connection_limit", status.refused.connection_limit},
            {"address_limit", status.refused.address_limit}};
}

void FillCacheCounters(StatusReport& report, const host::PageCacheCounters& counters) {
    report.cache_bytes = counters.cached_bytes;
    report.cache_budget = counters.budget_bytes;
    report.cache_hits = counters.page_hits;
    report.cache_misses = counters.page_misses;
}

}  // namespace

StatusReport DocumentControlHost::Status() {
    return StatusWith(host_.Document().Servers().Counters());
}

StatusReport DocumentControlHost::StatusWith(const host::ServiceCounters& counters) {
    StatusReport report;
    std::optional<host::ServerStatusSnapshot> snapshot = ReadOnUi<host::ServerStatusSnapshot>([&] {
        host::ServerStatusSnapshot status;
        host_.Document().GetServerStatus(status);
        return status;
    });
    report.transfer_port = host_.Settings().Setting(host::kVpPort);
    report.protocol_port = host_.Settings().Setting(host::kStsPort);
    if (snapshot && snapshot->running) {
        report.running = true;
        report.address = snapshot->address;
        report.upload_speed = snapshot->server.upload_speed;
        report.bytes_sent = snapshot->server.total_bytes_sent;
        report.peers = snapshot->server.live_sessions;
        report.resources = snapshot->server.resource_count;
        report.upload_limit = snapshot->speed_limit;
        report.connection_limit = snapshot->connection_limit;
        report.cache_hit_ratio = snapshot->cache.hit_ratio;
        report.disk_bytes_read = snapshot->cache.disk_bytes_read;
        report.disk_read_speed = snapshot->cache.disk_read_speed;
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        report.stopped_reason = snapshot ? stopped_reason_ : "the instance is busy";
        // The limit the peer server would be given now, by the mode the settings decide.
        report.upload_limit =
            snapshot ? snapshot->upload.limit : host_.Settings().Setting(host::kVpUploadSpeedLimit);
        report.connection_limit = host_.Settings().Setting(host::kVpConnLimit);
    }
    if (snapshot) {
        report.upload_mode = schedule::ModeName(snapshot->upload.mode);
        report.refused_by_reason = RefusalsByReason(*snapshot);
    }
    FillCacheCounters(report, counters.cache_counters);
    std::optional<std::pair<std::vector<std::string>, bool>> watching =
        ReadOnUi<std::pair<std::vector<std::string>, bool>>(
            [&] { return std::make_pair(host_.Watched().Folders(), host_.Watched().Degraded()); });
    if (watching) {
        report.watched_folders = watching->first;
        report.watching_by_rescan_only = watching->second;
    }
    const host::IpListCounts lists = host_.IpFilter().ListSizes();
    report.ip_filter = {host_.Settings().Setting(host::kUseIpFilter) != 0,
                        host_.Settings().Setting(host::kIpNameListType) != 0,
                        static_cast<std::uint64_t>(lists.allow),
                        static_cast<std::uint64_t>(lists.deny)};
    report.media_by_state = MediaCountsByState(host_.Library());
    for (const auto& [state, count] : report.media_by_state) {
        report.media_by_state_name[host::StateName(state)] += count;
    }
    report.disks = FolderDisks(host_.Library().Directories());
    platform::DiskSpace disks = platform::local_disk_space();
    report.disk_free = disks.free_bytes;
    report.disk_total = disks.total_bytes;
    report.uptime_seconds =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now() - started_)
                                       .count());
    report.version = version_;
    return report;
}

std::vector<ResourceRow> DocumentControlHost::Resources() {
    std::vector<ResourceRow> rows;
    for (const host::ResourceActivity& entry : host_.Document().Servers().Resources()) {
        ResourceRow row;
        row.gcid = entry.gcid;
        row.connections = entry.sessions;
        row.speed = entry.speed;
        row.bytes_sent = entry.bytes_sent;
        const std::vector<MediaRecord> records = host_.Library().MediaByCid(row.gcid);
        if (!records.empty()) {
            row.name = display_name_of(records[0].local_path);
            row.file_size =
                static_cast<std::uint64_t>(std::max<std::int64_t>(records[0].file_size, 0));
            row.publish_date = records[0].publish_date;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<ConnectionRow> DocumentControlHost::Connections(const std::string& gcid) {
    std::vector<std::pair<std::string, std::string>> wanted;  // GCID, file name
    for (const ResourceRow& resource : Resources()) {
        if (gcid.empty() || host::GcidKey(gcid) == resource.gcid) {
            wanted.emplace_back(resource.gcid, resource.name);
        }
    }
    std::vector<ConnectionRow> rows;
    for (const auto& [resource_gcid, name] : wanted) {
        for (const host::PeerConnection& entry :
             host_.Document().Servers().Connections(resource_gcid)) {
            char address[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &entry.address.sin_addr, address, sizeof(address));
            rows.push_back(ConnectionRow{resource_gcid, name, platform::upper_hex(entry.peer_id),
                                         address, ntohs(entry.address.sin_port), entry.speed,
                                         entry.bytes_sent, entry.duration});
        }
    }
    return rows;
}

std::vector<MediaRow> DocumentControlHost::Media(const MediaFilter& filter) {
    return MediaRows(host_.Library(), filter);
}

void DocumentControlHost::VisitMedia(const MediaFilter& filter,
                                     const std::function<void(MediaRow&&)>& visit) {
    VisitMediaRows(host_.Library(), filter, visit);
}

std::vector<FolderRow> DocumentControlHost::Folders() {
    std::vector<std::string> watched = ReadOnUi<std::vector<std::string>>([&] {
                                           return host_.Watched().Folders();
                                       }).value_or(std::vector<std::string>{});
    std::vector<FolderRow> rows;
    for (const DirectoryRecord& folder : host_.Library().Directories()) {
        rows.push_back({folder.path, folder.name,
                        static_cast<std::uint64_t>(std::max(folder.file_count, 0)),
                        static_cast<std::uint64_t>(std::max(folder.published_count, 0)),
                        std::find(watched.begin(), watched.end(), folder.path) != watched.end()});
    }
    return rows;
}

MediaPageReport DocumentControlHost::MediaPage(const MediaPageQuery& query) {
    return MediaRowsPage(host_.Library(), query);
}

MediaPageReport MediaRowsPage(host::MediaLibrary& library, const MediaPageQuery& query) {
    MediaListing listing;
    listing.contains = query.text;
    if (!query.filter.folder.empty()) {
        listing.prefix =
            host::NormalAbsolutePath(query.filter.folder).value_or(query.filter.folder) + "/";
    }
    listing.state = query.filter.state;
    using Key = MediaPageQuery::Key;
    const MediaOrder order = query.sort == Key::kName    ? MediaOrder::Name
                             : query.sort == Key::kSize  ? MediaOrder::FileSize
                             : query.sort == Key::kState ? MediaOrder::State
                             : query.sort == Key::kTime  ? MediaOrder::PublishDate
                                                         : MediaOrder::LocalPath;
    std::vector<MediaRowId> ids = library.ListIds(listing, order, !query.descending);
    MediaPageReport report;
    report.total = ids.size();
    const std::size_t begin =
        static_cast<std::size_t>(std::min<std::uint64_t>(ids.size(), query.offset));
    const std::size_t end =
        static_cast<std::size_t>(std::min<std::uint64_t>(ids.size(), query.offset + query.limit));
    for (auto& [id, record] :
         library.ReadByIds(std::span<const MediaRowId>(ids).subspan(begin, end - begin))) {
        std::string reason = record.state < 0 ? library.FailureReason(record.local_path) : "";
        report.rows.push_back(RowOf(std::move(record), reason));
    }
    return report;
}

std::vector<MediaRow> MediaRows(host::MediaLibrary& library, const MediaFilter& filter) {
    std::vector<MediaRow> rows;
    VisitMediaRows(library, filter, [&rows](MediaRow&& row) { rows.push_back(std::move(row)); });
    return rows;
}

void VisitMediaRows(host::MediaLibrary& library, const MediaFilter& filter,
                    const std::function<void(MediaRow&&)>& visit) {
    std::string prefix;
    if (!filter.folder.empty()) {
        prefix = host::NormalAbsolutePath(filter.folder).value_or(filter.folder) + "/";
    }
    // Only failed rows have reasons: few, and read before the rows so that the library is
    // free while they are visited.
    const std::vector<std::pair<std::string, std::string>> reason_list =
        library.FailureReasonsUnder(prefix);
    const std::map<std::string, std::string> reasons(reason_list.begin(), reason_list.end());
    library.VisitListedUnder(prefix, [&](MediaRecord&& record) {
        if (!filter.state || *filter.state == record.state) {
            auto reason = reasons.find(record.local_path);
            visit(RowOf(std::move(record), reason == reasons.end() ? "" : reason->second));
        }
    });
}

std::map<int, std::uint64_t> MediaCountsByState(host::MediaLibrary& library) {
    std::map<int, std::uint64_t> counts;
    for (const auto& [state, count] : library.CountByState()) {
        counts[state] = static_cast<std::uint64_t>(count);
    }
    return counts;
}

HistogramReport HistogramOf(const host::Histogram& histogram) {
    HistogramReport report;
    report.buckets = histogram.buckets;
    report.count = histogram.count;
    report.sum = histogram.sum;
    return report;
}

MetricsReport DocumentControlHost::Metrics() {
    MetricsReport metrics;
    // One snapshot of the servers' counters per scrape: the status and the list queries
    // come from the same moment.
    const host::ServiceCounters counters = host_.Document().Servers().Counters();
    metrics.status = StatusWith(counters);
    metrics.process = ReadProcessStats();
    std::lock_guard<std::mutex> lock(mutex_);
    metrics.refused_by_reason = metrics.status.refused_by_reason;
    metrics.publications_by_outcome = outcomes_;
    metrics.restructuring_seconds = publishing_seconds_;
    metrics.list_queries_by_answer = counters.list_queries;
    metrics.peer_answer_bytes = HistogramOf(counters.histograms.answer_bytes);
    metrics.peer_request_wait_seconds = {
        {"disk", HistogramOf(counters.histograms.disk_wait_seconds)},
        {"send", HistogramOf(counters.histograms.send_wait_seconds)}};
    return metrics;
}

// ---- Health ----

std::vector<HealthCheck> DocumentControlHost::Liveness() {
    // The user-interface loop runs every operation; a no-op through its queue shows it turns.
    const auto deadline = std::min<std::chrono::milliseconds>(wait_, kLivenessDeadline);
    HealthCheck loop{"host_loop", true, ""};
    if (!RunOnUi([] {}, deadline)) {
        loop.ok = false;
        loop.reason = "the host's event loop did not run a task within " +
                      std::to_string(deadline.count()) + " ms";
    }
    std::vector<HealthCheck> checks{loop};
    // The servers' loops, while they run (whether they listen is /readyz's question).
    const host::Services& servers = host_.Document().Servers();
    for (const auto& [name, answer] :
         {std::pair{"peer_server_loop", servers.ProbePeerLoop(kServerLoopDeadline)},
          std::pair{"list_server_loop", servers.ProbeListLoop(kServerLoopDeadline)}}) {
        if (answer == host::LoopAnswer::kNotRunning) {
            continue;
        }
        HealthCheck server{name, answer == host::LoopAnswer::kAnswered, ""};
        if (!server.ok) {
            server.reason = std::string("its event loop did not run a task within ") +
                            std::to_string(kServerLoopDeadline.count()) + " ms";
        }
        checks.push_back(server);
    }
    return checks;
}

std::vector<HealthCheck> DocumentControlHost::Readiness() {
    std::vector<HealthCheck> checks;
    HealthCheck database{"database", true, ""};
    std::optional<std::optional<std::string>> problem = ReadOnUi<std::optional<std::string>>(
        [&] { return host_.Document().DatabaseWriteProblem(); });
    if (!problem) {
        database = {"database", false, "the host did not answer; the database was not tried"};
    } else if (*problem) {
        database = {"database", false, **problem};
    }
    checks.push_back(database);

    HealthCheck listeners{"listeners", true, ""};
    std::optional<bool> running =
        ReadOnUi<bool>([&] { return host_.Document().ServicesRunning(); });
    if (!running || !*running) {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners = {"listeners", false,
                     "the peer and list servers are not listening" +
                         (stopped_reason_.empty() ? std::string() : " (" + stopped_reason_ + ")")};
    }
    checks.push_back(listeners);
    checks.push_back(StateFolderSpace(platform::app_data_folder(), kReadyFreeSpaceFloor));
    return checks;
}

HealthCheck StateFolderSpace(const std::filesystem::path& folder, std::uint64_t floor) {
    HealthCheck check{"disk_space", true, ""};
    struct statvfs figures {};
    if (::statvfs(folder.c_str(), &figures) != 0) {
        check.ok = false;
        check.reason = "cannot read the free space of " + folder.string();
        return check;
    }
    const std::uint64_t free =
        static_cast<std::uint64_t>(figures.f_bavail) * static_cast<std::uint64_t>(figures.f_frsize);
    if (free < floor) {
        check.ok = false;
        check.reason = std::to_string(free) + " bytes free in " + folder.string() +
                       ", below the floor of " + std::to_string(floor) + " bytes";
    }
    return check;
}

SettingsReport DocumentControlHost::Settings() {
    std::optional<SettingsReport> report = ReadOnUi<SettingsReport>([&] {
        return StoredSettings(
            [&](const std::string& key) { return host_.Settings().SettingText(key); });
    });
    return report.value_or(SettingsReport{});
}

IpFilterReport DocumentControlHost::IpFilter() {
    return IpFilterReportOf(host_.IpFilter().Rules(), host_.IpFilter().ListSizes());
}

IpFilterReport IpFilterReportOf(const host::IpFilterState& state,
                                const host::IpListCounts& counts) {
    IpFilterReport report{state.enabled,
                          state.deny_list,
                          {},
                          static_cast<std::uint64_t>(counts.allow),
                          static_cast<std::uint64_t>(counts.deny)};
    for (const host::IpFilterRange& range : state.ranges) {
        report.ranges.push_back({host::FormatIpv4(range.begin), host::FormatIpv4(range.end)});
    }
    return report;
}

SettingsReport StoredSettings(const std::function<std::string(const std::string&)>& text_of) {
    SettingsReport report;
    for (const settings::SettingEntry& entry : settings::AllSettings()) {
        report.settings.push_back(SettingRow{entry.key, text_of(entry.key), entry.unit,
                                             entry.applies == settings::Applies::kAtNextStart});
    }
    return report;
}

// ---- Operations ----

Outcome DocumentControlHost::AddFolder(const std::string& path, bool publish) {
    std::optional<std::string> folder = host::NormalAbsolutePath(path);
    if (!folder) {
        return Outcome::Invalid("the folder must be an absolute path");
    }
    if (*folder == "/") {
        return Outcome::Invalid("a whole disk cannot be added");
    }
    std::error_code error;
    if (!fs::is_directory(*folder, error)) {
        return Outcome::NotFound(*folder + " is not a folder");
    }
    return OnUi([&, folder = *folder] {
        for (const AddingFolder& adding : adding_) {
            if (adding.folder == folder) {
                return Outcome::Conflict(folder + " is being added already");
            }
        }
        if (host::AddedFolder(host_.Directories(), folder) != nullptr) {
            if (!publish) {
                return Outcome::Done(folder + "/ is added already");
            }
            std::size_t queued =
                host_.Directories().PublishDirectory(folder + "/", /*retry_failed=*/true);
            Outcome outcome =
                Outcome::Done("queued " + std::to_string(queued) + " files of " + folder + "/");
            outcome.fields["queued"] = std::to_string(queued);
            return outcome;
        }
        adding_.push_back(
            {folder, publish,
             std::make_unique<host::AddDirectoryWorker>(host_.Directories(), folder)});
        return Outcome::Accepted("adding " + folder + "/; watch the events for its files");
    });
}

Outcome DocumentControlHost::Publish(const std::string& path) {
    std::optional<std::string> target = host::NormalAbsolutePath(path);
    if (!target) {
        return Outcome::Invalid("the path must be absolute");
    }
    std::error_code error;
    if (fs::is_directory(*target, error)) {
        return AddFolder(*target, true);
    }
    return OnUi([&, file = *target] {
        return host::PublishFile(host_.Directories(), host_.Library(), file);
    });
}

// A folder operation on a normal absolute path, on the user-interface thread.
Outcome DocumentControlHost::OnFolder(const std::string& folder_text,
                                      const std::function<Outcome(const std::string&)>& work) {
    std::optional<std::string> folder = host::NormalAbsolutePath(folder_text);
    if (!folder) {
        return Outcome::Invalid("the folder must be an absolute path");
    }
    return OnUi([&, folder = *folder] { return work(folder); });
}

Outcome DocumentControlHost::Rescan(const std::string& folder) {
    return OnFolder(
        folder, [&](const std::string& path) { return host::Rescan(host_.Directories(), path); });
}

Outcome DocumentControlHost::SetFolderWatched(const std::string& folder, bool watched) {
    return OnFolder(folder, [&](const std::string& path) {
        return host::SetFolderWatched(host_.Watched(), path, watched);
    });
}

Outcome DocumentControlHost::Withdraw(const std::string& target) {
    if (!host::IsGcidText(target) && !host::NormalAbsolutePath(target)) {
        return Outcome::Invalid("give an absolute path or a GCID of 40 hexadecimal digits");
    }
    return OnUi([&] { return host::Withdraw(host_.Directories(), host_.Library(), target); });
}

Outcome DocumentControlHost::RemoveFolder(const std::string& folder) {
    return OnFolder(folder, [&](const std::string& path) {
        return host::RemoveFolder(host_.Directories(), path);
    });
}

// The output is an absolute path or "-" (the list in the answer); without one the list goes
// into the instance's working folder.
Outcome DocumentControlHost::ExportLinks(const std::string& folder_text,
                                         const std::string& output) {
    std::string folder;
    if (!folder_text.empty()) {
        std::optional<std::string> normal = host::NormalAbsolutePath(folder_text);
        if (!normal) {
            return Outcome::Invalid("the folder must be an absolute path");
        }
        folder = *normal;
    }
    if (!output.empty() && output != "-" && output[0] != '/') {
        return Outcome::Invalid("the output file must be an absolute path or -");
    }
    return OnUi([&] { return host::ExportLinks(host_.Directories(), folder, output); });
}

Outcome DocumentControlHost::SetServicesRunning(bool running) {
    return OnUi([&] {
        if (running == host_.Document().ServicesRunning()) {
            return Outcome::Done(running ? "the services run already"
                                         : "the services are stopped already");
        }
        if (!running) {
            host_.Document().StopServices(true);
            return Outcome::Done("services stopped");
        }
        if (!host_.Document().StartServices()) {
            std::lock_guard<std::mutex> lock(mutex_);
            return Outcome::Conflict(stopped_reason_);
        }
        return Outcome::Done("services started");
    });
}

// ---- Settings ----

Outcome DocumentControlHost::ChangeSettings(const std::vector<SettingChange>& changes) {
    return OnUi([&] { return host::ChangeSettings(host_.Settings(), changes); });
}

// ---- IP filter ----

Outcome DocumentControlHost::AddIpRange(const std::string& first_text,
                                        const std::string& last_text) {
    std::optional<std::uint32_t> first = host::ParseIpv4(first_text);
    std::optional<std::uint32_t> last = host::ParseIpv4(last_text);
    if (!first || !last) {
        return Outcome::Invalid("a range needs dotted IPv4 addresses");
    }
    return OnUi([&] { return host::AddIpRange(host_.IpFilter(), *first, *last); });
}

Outcome DocumentControlHost::DeleteIpRange(std::size_t index) {
    return OnUi([&] { return host::DeleteIpRange(host_.IpFilter(), index); });
}

Outcome DocumentControlHost::SetIpFilterEnabled(bool enabled) {
    return OnUi([&] { return host::SetIpFilterEnabled(host_.IpFilter(), enabled); });
}

Outcome DocumentControlHost::SetIpFilterDenyList(bool deny_list) {
    return OnUi([&] { return host::SetIpFilterDenyList(host_.IpFilter(), deny_list); });
}

Outcome DocumentControlHost::ImportIpRanges(const std::string& file_text) {
    std::optional<std::string> file = host::NormalAbsolutePath(file_text);
    if (!file) {
        return Outcome::Invalid("the file must be an absolute path");
    }
    std::string error;
    std::optional<std::string> bytes = iprules::ReadBlockListFile(*file, error);
    if (!bytes) {
        return Outcome::NotFound(*file + ": " + error);
    }
    return ImportIpRangeText(*bytes);
}

Outcome DocumentControlHost::ImportIpRangeText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return Outcome::Unavailable("the instance is closing; try again");
        }
    }
    // Parsed and stored here, not on the user-interface thread: storing 200,000 rows takes
    // about a second, which every request that reads through that thread would wait for. The
    // IP filter table and the database are safe from any thread.
    const iprules::BlockList list = iprules::ParseBlockList(text);
    return host::ImportIpRanges(host_.IpFilter(), list);
}

// ---- What the document reports ----

void DocumentControlHost::Emit(const ControlEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (server_ != nullptr) {
        server_->PublishEvent(event);
    }
}

namespace {

std::uint64_t FileSize(const MediaRecord& record) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(record.file_size, 0));
}

// The control interface's form of a host event; nothing for events it does not carry.
std::optional<ControlEvent> EventFor(const host::HostEvent& event) {
    return std::visit(
        [](const auto& e) -> std::optional<ControlEvent> {
            using Event = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<Event, host::PublicationQueued>) {
                return ControlEvent{kEventPublishQueued, e.record.local_path, e.record.state};
            } else if constexpr (std::is_same_v<Event, host::PublicationStarted>) {
                ControlEvent started{kEventPublishStarted, e.record.local_path, e.record.state, 0};
                started.size = FileSize(e.record);
                return started;
            } else if constexpr (std::is_same_v<Event, host::PublicationFinished>) {
                ControlEvent finished{kEventPublishFinished,
                                      e.record.local_path,
                                      e.record.state,
                                      {},
                                      e.record.state < 0 ? e.reason : std::string(),
                                      "",
                                      e.record.url};
                finished.size = FileSize(e.record);
                return finished;
            } else if constexpr (std::is_same_v<Event, host::MediaChanged>) {
                return ControlEvent{kEventMediaWithdrawn, e.record.local_path, e.record.state};
            } else if constexpr (std::is_same_v<Event, host::ServicesStarted>) {
                return ControlEvent{kEventServicesStarted, "", {}, {}, "", e.address};
            } else if constexpr (std::is_same_v<Event, host::ServicesStopped>) {
                return ControlEvent{kEventServicesStopped, "", {}, {}, e.reason};
            } else if constexpr (std::is_same_v<Event, host::SettingsChanged>) {
                return ControlEvent{kEventSettingsChanged, "", {}, {}, e.key};
            } else if constexpr (std::is_same_v<Event, host::FolderRemoved>) {
                return ControlEvent{kEventFolderRemoved, e.path};
            } else if constexpr (std::is_same_v<Event, host::FolderWatchChanged>) {
                ControlEvent changed{kEventFolderWatchChanged, e.path};
                changed.watched = e.watched;
                return changed;
            } else if constexpr (std::is_same_v<Event, host::PeerConnected> ||
                                 std::is_same_v<Event, host::PeerLeft>) {
                constexpr bool connected = std::is_same_v<Event, host::PeerConnected>;
                return ControlEvent{
                    connected ? kEventPeerConnected : kEventPeerLeft,          "", {}, {}, "",
                    host::FormatIpv4(e.address) + ":" + std::to_string(e.port)};
            } else if constexpr (std::is_same_v<Event, host::IpFilterChanged>) {
                return ControlEvent{kEventIpFilterChanged, "", {}, {}, e.how};
            } else if constexpr (std::is_same_v<Event, host::PeerRefused>) {
                return ControlEvent{kEventPeerRefused,          "", {}, {}, "IP filter",
                                    host::FormatIpv4(e.address)};
            } else {
                return std::nullopt;
            }
        },
        event);
}

}  // namespace

void DocumentControlHost::OnHostEvent(const host::HostEvent& event) {
    if (const auto* progress = std::get_if<host::PublicationProgress>(&event)) {
        if (std::optional<ControlEvent> control_event = ProgressEvent(*progress)) {
            Emit(*control_event);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const auto* started = std::get_if<host::PublicationStarted>(&event)) {
            current_ = started->record;
            current_started_ = std::chrono::steady_clock::now();
            last_progress_ = {0, current_started_};
        } else if (const auto* finished = std::get_if<host::PublicationFinished>(&event)) {
            if (current_ && current_->local_path == finished->record.local_path) {
                publishing_seconds_ += std::chrono::duration<double>(
                                           std::chrono::steady_clock::now() - current_started_)
                                           .count();
                current_.reset();
            }
            ++outcomes_[host::StateName(finished->record.state)];
        } else if (std::holds_alternative<host::ServicesStarted>(event)) {
            stopped_reason_.clear();
        } else if (const auto* stopped = std::get_if<host::ServicesStopped>(&event)) {
            stopped_reason_ = stopped->reason;
        }
    }
    if (std::optional<ControlEvent> control_event = EventFor(event)) {
        Emit(*control_event);
    }
}

// The progress of the file being published, with the speed since its last progress (the
// publisher's progress watch raises it when the percentage changes).
std::optional<ControlEvent> DocumentControlHost::ProgressEvent(
    const host::PublicationProgress& progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!current_ || current_->local_path != progress.local_path) {
        return std::nullopt;
    }
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_progress_.time).count();
    const double bytes = static_cast<double>(std::max<std::int64_t>(current_->file_size, 0)) *
                         std::max(progress.percent - last_progress_.percent, 0) / 100.0;
    last_progress_ = {progress.percent, now};
    return ControlEvent{kEventPublishProgress,
                        current_->local_path,
                        current_->state,
                        progress.percent,
                        "",
                        "",
                        "",
                        static_cast<std::uint64_t>(seconds > 0 ? bytes / seconds : 0),
                        {}};
}

// Once a second: folders whose import ended.
void DocumentControlHost::WatchAddedFolders() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::seconds(1), [this] { return closed_; })) {
        lock.unlock();
        Post([this] { FinishAddedFolders(); });
        lock.lock();
    }
}

// User-interface thread: folders whose import ended are published when asked.
void DocumentControlHost::FinishAddedFolders() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return;
        }
    }
    for (auto it = adding_.begin(); it != adding_.end();) {
        if (!it->worker->finished()) {
            ++it;
            continue;
        }
        int files = it->worker->done();
        it->worker->Wait();
        std::string folder = it->folder + "/";
        std::size_t queued =
            it->publish ? host_.Directories().PublishDirectory(folder, /*retry_failed=*/true) : 0;
        Emit(ControlEvent{
            kEventFolderAdded,
            folder,
            {},
            {},
            std::to_string(files) + " media files, " + std::to_string(queued) + " queued",
            "",
            "",
            {},
            queued});
        it = adding_.erase(it);
    }
}

}  // namespace wharfkeep::control
