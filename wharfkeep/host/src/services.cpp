#include "wharfkeep/host/services.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "catalogd/catalogd.h"
#include "peerfeed/peerfeed.h"
#include "platform/log.h"

namespace wharfkeep::host {
namespace {

// The servers' callbacks carry no context: they find the host through this pointer.
std::atomic<ServerQueries*> attached_queries{nullptr};

// A path crosses as NUL-terminated text; one that does not fit whole is refused rather than
// cut to another file's name.
bool CopyToBuffer(const std::string& text, char* out, unsigned size) {
    if (out == nullptr || text.size() + 1 > size) {
        return false;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

bool CopyPathForGcid(const char* gcid, bool descriptor, char* path_out, unsigned size) {
    ServerQueries* queries = attached_queries.load();
    if (queries == nullptr || gcid == nullptr) {
        return false;
    }
    const std::string path = queries->PublishedPath(gcid, descriptor);
    return !path.empty() && CopyToBuffer(path, path_out, size);
}

// The peer server's log lines join the program's log at their own level.
void ForwardPeerServerLine(int level, const char* text) {
    static_assert(VP_LOG_ERROR == static_cast<int>(platform::log::Level::error) &&
                  VP_LOG_DEBUG == static_cast<int>(platform::log::Level::debug));
    if (level < VP_LOG_ERROR || level > VP_LOG_DEBUG) {
        level = VP_LOG_INFO;
    }
    platform::log::write(static_cast<platform::log::Level>(level), text);
}

struct ResourceListFree {
    void operator()(resource_stat_list* list) const { vp_free_resource_stat_list(list); }
};
struct ConnectionListFree {
    void operator()(vp_connection_list* list) const { vp_free_connection_list(list); }
};

}  // namespace

std::string GcidFieldText(const char (&field)[40]) {
    return std::string(field, ::strnlen(field, sizeof field));
}

Services::~Services() {
    if (attached_ != nullptr) {
        Detach();
    }
}

void Services::Attach(ServerQueries* queries) {
    attached_ = queries;
    attached_queries.store(queries);
    vp_set_gcid2path_function(&Services::LocalPathForGcid);
    sts_set_gcid2path_function(&Services::DescriptorPathForGcid);
    vp_set_ip_filter_function(&Services::RefusePeer);
    sts_set_ip_filter_function(&Services::RefusePeer);
    sts_set_export_lists_function(&Services::ExportPublishedList);
    vp_set_session_function(&Services::PeerSessionChanged);
    vp_set_log_function(&ForwardPeerServerLine);
}

void Services::Detach() {
    ServerQueries* mine = attached_;
    attached_queries.compare_exchange_strong(mine, nullptr);
    attached_ = nullptr;
}

StartOutcome Services::Start(std::uint32_t peer_port, std::uint32_t list_port) {
    // A stored port beyond 16 bits cannot be bound; say so rather than bind another port.
    if (peer_port > 0xFFFF || vp_start(static_cast<unsigned short>(peer_port)) == 1) {
        return StartOutcome::kTransferPortBusy;
    }
    if (list_port <= 0xFFFF && sts_start(static_cast<unsigned short>(list_port)) != 1) {
        return StartOutcome::kStarted;
    }
    vp_stop();
    return StartOutcome::kProtocolPortBusy;
}

void Services::Stop() {
    vp_stop();
    sts_stop();
}

bool Services::Running() const {
    return vp_run_stat() == 1;
}

void Services::SetSpeedLimit(std::uint32_t bytes_per_second) {
    vp_set_speed_limit(bytes_per_second);
}

void Services::ApplyUploadDecision(const schedule::UploadDecision& decision) {
    vp_set_speed_limit(decision.limit);
    vp_set_upload_paused(decision.mode == schedule::UploadMode::Paused ? 1 : 0);
}

void Services::SetConnectionLimit(std::uint32_t count) {
    vp_set_connection_limit(count);
}

void Services::SetAddressConnectionLimit(std::uint32_t count) {
    vp_set_address_connection_limit(count);
}

void Services::ReloadCacheSettings() {
    vp_reload_settings();
}

namespace {

Histogram HistogramOf(const vp_histogram& histogram) {
    Histogram copy;
    const std::uint32_t bounds = std::min(histogram.bound_count, VP_HISTOGRAM_MAX_BOUNDS);
    for (std::uint32_t i = 0; i < bounds; ++i) {
        copy.buckets.emplace_back(histogram.upper_bounds[i], histogram.cumulative_counts[i]);
    }
    copy.count = histogram.count;
    copy.sum = histogram.sum;
    return copy;
}

// The figures that are kept whether or not the servers run.
void ReadLastingCounters(ServiceCounters& counters) {
    vp_refusal_stat refused{};
    vp_get_refusal_stat(&refused);
    counters.refused = {refused.ip_filter, refused.connection_limit, refused.address_limit};
    vp_histograms histograms{};
    vp_get_histograms(&histograms);
    counters.histograms = {HistogramOf(histograms.answer_bytes),
                           HistogramOf(histograms.disk_wait_seconds),
                           HistogramOf(histograms.send_wait_seconds)};
    sts_query_stat queries{};
    sts_get_query_stat(&queries);
    counters.list_queries = {{"list", queries.lists},
                             {"found", queries.found},
                             {"not_found", queries.not_found},
                             {"malformed", queries.malformed},
                             {"list_failed", queries.list_failed}};
    counters.speed_limit = vp_get_speed_limit();
    counters.connection_limit = vp_get_connection_limit();
}

// The figures of the running servers.
void ReadLiveCounters(ServiceCounters& counters) {
    vp_get_bind_addr(&counters.peer_address);
    sts_get_bind_addr(&counters.list_address);
    peerfeed_stat server{};
    vp_get_server_stat(&server);
    counters.server = {server.upload_speed, server.total_bytes_sent, server.live_sessions,
                       server.resource_count};
    vp_cache_stat cache{};
    vp_get_cache_stat(&cache);
    counters.cache = {cache.hit_ratio, cache.disk_bytes_read, cache.disk_read_speed};
    vp_cache_counters pages{};
    vp_get_cache_counters(&pages);
    counters.cache_counters = {pages.page_hits, pages.page_misses, pages.cached_bytes,
                               pages.budget_bytes};
}

}  // namespace

ServiceCounters Services::Counters() const {
    ServiceCounters counters;
    ReadLastingCounters(counters);
    counters.running = Running();
    if (counters.running) {
        ReadLiveCounters(counters);
    }
    return counters;
}

namespace {

// The servers' probe answers: 0 ran, 1 not running, 2 late.
LoopAnswer LoopAnswerOf(int answer) {
    return answer == 0   ? LoopAnswer::kAnswered
           : answer == 1 ? LoopAnswer::kNotRunning
                         : LoopAnswer::kLate;
}

unsigned Milliseconds(std::chrono::milliseconds deadline) {
    return static_cast<unsigned>(std::clamp<std::int64_t>(deadline.count(), 0, 60000));
}

}  // namespace

LoopAnswer Services::ProbePeerLoop(std::chrono::milliseconds deadline) const {
    return LoopAnswerOf(vp_probe_loop(Milliseconds(deadline)));
}

LoopAnswer Services::ProbeListLoop(std::chrono::milliseconds deadline) const {
    return LoopAnswerOf(sts_probe_loop(Milliseconds(deadline)));
}

std::vector<ResourceActivity> Services::Resources() const {
    std::vector<ResourceActivity> resources;
    if (!Running()) {
        return resources;
    }
    std::unique_ptr<resource_stat_list, ResourceListFree> list(vp_get_resource_stat_list());
    if (!list || list->entries == nullptr) {
        return resources;
    }
    resources.reserve(list->count);
    for (std::uint32_t at = 0; at < list->count; ++at) {
        const resource_stat& entry = list->entries[at];
        resources.push_back(
            {GcidFieldText(entry.gcid), entry.sessions, entry.speed, entry.bytes_sent});
    }
    return resources;
}

std::vector<PeerConnection> Services::Connections(const std::string& gcid) const {
    std::vector<PeerConnection> connections;
    if (gcid.empty() || !Running()) {
        return connections;
    }
    std::unique_ptr<vp_connection_list, ConnectionListFree> list(
        vp_get_connection_list(gcid.c_str()));
    if (!list || list->entries == nullptr) {
        return connections;
    }
    connections.reserve(list->count);
    for (std::uint32_t at = 0; at < list->count; ++at) {
        const vp_connection& entry = list->entries[at];
        PeerConnection& connection = connections.emplace_back();
        connection.gcid = GcidFieldText(entry.gcid);
        std::memcpy(connection.peer_id, entry.peer_id, sizeof connection.peer_id);
        connection.address = entry.address;
        connection.speed = entry.speed;
        connection.bytes_sent = entry.bytes_sent;
        connection.duration = entry.duration;
    }
    return connections;
}

bool Services::LocalPathForGcid(const char* gcid, char* path_out, unsigned size) {
    return CopyPathForGcid(gcid, false, path_out, size);
}

bool Services::DescriptorPathForGcid(const char* gcid, char* path_out, unsigned size) {
    return CopyPathForGcid(gcid, true, path_out, size);
}

bool Services::RefusePeer(in_addr* address) {
    ServerQueries* queries = attached_queries.load();
    if (queries == nullptr || address == nullptr) {
        return false;
    }
    return queries->RefusePeer(ntohl(address->s_addr));
}

bool Services::ExportPublishedList(const char* path) {
    ServerQueries* queries = attached_queries.load();
    if (queries == nullptr) {
        return true;
    }
    return path != nullptr && queries->ExportPublishedList(path);
}

void Services::PeerSessionChanged(const sockaddr_in* peer, int what) {
    ServerQueries* queries = attached_queries.load();
    if (queries != nullptr && peer != nullptr) {
        queries->PeerSessionChanged(ntohl(peer->sin_addr.s_addr), ntohs(peer->sin_port),
                                    what == VP_SESSION_OPENED);
    }
}

}  // namespace wharfkeep::host
