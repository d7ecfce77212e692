#include "wharfkeep/control/control_json.h"

#include <cstdio>
#include <sstream>

namespace wharfkeep::control {

using nlohmann::json;

json LiveFiguresJson(const StatusReport& status) {
    return json{{"running", status.running},
                {"upload_speed", status.upload_speed},
                {"upload_limit", status.upload_limit},
                {"upload_mode", status.upload_mode},
                {"peers", status.peers},
                {"resources", status.resources},
                {"bytes_sent", status.bytes_sent},
                {"cache_hit_ratio", status.cache_hit_ratio},
                {"cache_hits", status.cache_hits},
                {"cache_bytes", status.cache_bytes},
                {"disk_read_speed", status.disk_read_speed}};
}

json ToJson(const StatusReport& status) {
    json by_state = json::object();
    for (const auto& [state, count] : status.media_by_state) {
        by_state[std::to_string(state)] = count;
    }
    json disks = json::array();
    for (const StatusReport::Disk& disk : status.disks) {
        disks.push_back({{"folder", disk.folder}, {"free", disk.free}, {"total", disk.total}});
    }
    json services = json::array({
        {{"name", "peer"}, {"port", status.transfer_port}, {"running", status.running}},
        {{"name", "list"}, {"port", status.protocol_port}, {"running", status.running}},
    });
    json answer{
        {"stopped_reason", status.stopped_reason},
        {"address", status.address},
        {"transfer_port", status.transfer_port},
        {"protocol_port", status.protocol_port},
        {"connection_limit", status.connection_limit},
        {"disk_bytes_read", status.disk_bytes_read},
        {"disk_free", status.disk_free},
        {"disk_total", status.disk_total},
        {"media_by_state", by_state},
        {"uptime_seconds", status.uptime_seconds},
        {"version", status.version},
        {"refused_by_reason", status.refused_by_reason},
        {"cache_budget", status.cache_budget},
        {"cache_misses", status.cache_misses},
        {"watched_folders", status.watched_folders},
        {"watching_by_rescan_only", status.watching_by_rescan_only},
        {"media_by_state_name", status.media_by_state_name},
        {"disks", disks},
        {"services", services},
        {"ip_filter",
         {{"enabled", status.ip_filter.enabled},
          {"type", status.ip_filter.deny_list ? "deny" : "allow"},
          {"allow_ranges", status.ip_filter.allow_ranges},
          {"deny_ranges", status.ip_filter.deny_ranges}}},
    };
    answer.update(LiveFiguresJson(status));
    return answer;
}

json ToJson(const ResourceRow& row) {
    return json{{"gcid", row.gcid},
                {"name", row.name},
                {"file_size", row.file_size},
                {"connections", row.connections},
                {"speed", row.speed},
                {"bytes_sent", row.bytes_sent},
                {"publish_date", row.publish_date}};
}

json ToJson(const ConnectionRow& row) {
    return json{{"gcid", row.gcid},
                {"name", row.name},
                {"peer_id", row.peer_id},
                {"address", row.address},
                {"port", row.port},
                {"speed", row.speed},
                {"bytes_sent", row.bytes_sent},
                {"connected_seconds", row.connected_seconds}};
}

json ToJson(const MediaRow& row) {
    return json{{"path", row.path},
                {"name", row.name},
                {"file_size", row.file_size},
                {"state", row.state},
                {"state_name", row.state_name},
                {"state_text", row.state_text},
                {"gcid", row.gcid},
                {"link", row.link},
                {"publish_date", row.publish_date},
                {"reason", row.reason}};
}

json ToJson(const FolderRow& row) {
    return json{{"path", row.path},
                {"name", row.name},
                {"files", row.files},
                {"published", row.published},
                {"watched", row.watched}};
}

// Keyed by the stored key names, so that a value read can be sent back to PUT as it is.
json ToJson(const SettingsReport& settings) {
    json body = json::object();
    for (const SettingRow& row : settings.settings) {
        body[row.key] = json{{"value", row.value},
                             {"unit", row.unit},
                             {"applies", row.at_next_start ? "next_start" : "now"}};
    }
    return body;
}

json ToJson(const IpFilterReport& filter) {
    json ranges = json::array();
    for (std::size_t index = 0; index < filter.ranges.size(); ++index) {
        ranges.push_back(json{{"index", index},
                              {"first", filter.ranges[index].first},
                              {"last", filter.ranges[index].last}});
    }
    return json{{"enabled", filter.enabled},
                {"type", filter.deny_list ? "deny" : "allow"},
                {"ranges", ranges},
                {"allow_ranges", filter.allow_ranges},
                {"deny_ranges", filter.deny_ranges}};
}

json ToJson(const ControlEvent& event) {
    json out{{"type", event.type}};
    // Each field only when the event has it.
    const auto text = [&out](const char* key, const std::string& value) {
        if (!value.empty()) {
            out[key] = value;
        }
    };
    const auto figure = [&out](const char* key, const auto& value) {
        if (value) {
            out[key] = *value;
        }
    };
    text("path", event.path);
    figure("state", event.state);
    figure("percent", event.percent);
    text("reason", event.reason);
    text("address", event.address);
    figure("queued", event.queued);
    figure("speed", event.speed);
    text("link", event.link);
    figure("watched", event.watched);
    text("name", event.name);
    text("scope", event.scope);
    figure("size", event.size);
    figure("connected", event.connected);
    figure("left", event.left);
    return out;
}

namespace {

// Label values may hold any text; Prometheus wants backslash, quote and newline escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void Metric(std::ostringstream& out, const char* name, const char* type, const char* help,
            double value) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n"
        << name << " " << value << "\n";
}

void LabelledMetric(std::ostringstream& out, const char* name, const char* type, const char* help,
                    const char* label, const std::map<std::string, std::uint64_t>& values) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    for (const auto& [key, value] : values) {
        out << name << "{" << label << "=\"" << LabelValue(key) << "\"} " << value << "\n";
    }
}

// The lines of one histogram's series; `labels` ("stage=\"disk\",") go before `le`.
void HistogramSeries(std::ostringstream& out, const std::string& name, const std::string& labels,
                     const HistogramReport& histogram) {
    for (const auto& [bound, count] : histogram.buckets) {
        out << name << "_bucket{" << labels << "le=\"" << bound << "\"} " << count << "\n";
    }
    out << name << "_bucket{" << labels << "le=\"+Inf\"} " << histogram.count << "\n";
    const std::string braces =
        labels.empty() ? "" : "{" + labels.substr(0, labels.size() - 1) + "}";
    out << name << "_sum" << braces << " " << histogram.sum << "\n";
    out << name << "_count" << braces << " " << histogram.count << "\n";
}

void Histograms(std::ostringstream& out, const std::string& name, const std::string& help,
                const std::string& label, const std::map<std::string, HistogramReport>& by_label) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " histogram\n";
    for (const auto& [value, histogram] : by_label) {
        HistogramSeries(out, name, label.empty() ? "" : label + "=\"" + LabelValue(value) + "\",",
                        histogram);
    }
}

}  // namespace

std::string MetricsText(const MetricsReport& metrics) {
    const StatusReport& status = metrics.status;
    std::ostringstream out;
    out.precision(17);
    // Rates and ratios are left to the scraper: it derives them from the counters.
    out << "# HELP wharfkeep_build_info The version of this instance; the value is always 1.\n"
        << "# TYPE wharfkeep_build_info gauge\n"
        << "wharfkeep_build_info{version=\"" << LabelValue(status.version) << "\"} 1\n";
    Metric(out, "wharfkeep_up", "gauge", "1 while the peer and list services run.",
           status.running ? 1 : 0);
    Metric(out, "wharfkeep_bytes_served_total", "counter", "Bytes sent to peers.",
           static_cast<double>(status.bytes_sent));
    Metric(out, "wharfkeep_upload_limit_bytes_per_second", "gauge",
           "Upload limit in force, bytes per second (0: unlimited).",
           static_cast<double>(status.upload_limit));
    Metric(out, "wharfkeep_peers", "gauge", "Peer connections now.", status.peers);
    Metric(out, "wharfkeep_resources_serving", "gauge", "Files being served now.",
           status.resources);
    Metric(out, "wharfkeep_cache_bytes", "gauge", "Memory held by the block cache, bytes.",
           static_cast<double>(status.cache_bytes));
    Metric(out, "wharfkeep_cache_budget_bytes", "gauge",
           "Most memory the block cache may hold, bytes.",
           static_cast<double>(status.cache_budget));
    Metric(out, "wharfkeep_cache_hits_total", "counter", "Block cache look-ups found in memory.",
           static_cast<double>(status.cache_hits));
    Metric(out, "wharfkeep_cache_misses_total", "counter",
           "Block cache look-ups that read the disk.", static_cast<double>(status.cache_misses));
    out << "# HELP wharfkeep_upload_mode The upload mode in force (1 for the mode in force).\n"
        << "# TYPE wharfkeep_upload_mode gauge\n";
    for (const char* mode : {"normal", "alternative", "scheduled", "paused"}) {
        out << "wharfkeep_upload_mode{mode=\"" << mode << "\"} "
            << (status.upload_mode == mode ? 1 : 0) << "\n";
    }
    Metric(out, "wharfkeep_watched_folders", "gauge",
           "Added folders that publish their new files by themselves.",
           static_cast<double>(status.watched_folders.size()));
    Metric(out, "wharfkeep_disk_read_bytes_total", "counter", "Bytes read from disk for peers.",
           static_cast<double>(status.disk_bytes_read));
    LabelledMetric(out, "wharfkeep_media_files", "gauge", "Media files by publish state.", "state",
                   status.media_by_state_name);
    LabelledMetric(out, "wharfkeep_refused_connections_total", "counter",
                   "Peer connections refused, by reason.", "reason", metrics.refused_by_reason);
    LabelledMetric(out, "wharfkeep_publications_total", "counter",
                   "Publications finished by this instance, by outcome.", "outcome",
                   metrics.publications_by_outcome);
    Metric(out, "wharfkeep_restructuring_seconds_total", "counter",
           "Seconds spent publishing (restructuring and digests).", metrics.restructuring_seconds);
    LabelledMetric(out, "wharfkeep_list_queries_total", "counter",
                   "List-server requests, by the answer they got.", "answer",
                   metrics.list_queries_by_answer);
    Histograms(out, "wharfkeep_peer_answer_bytes",
               "Sizes of the peer server's answers with file data, bytes.", "",
               {{"", metrics.peer_answer_bytes}});
    Histograms(out, "wharfkeep_peer_request_wait_seconds",
               "How long peers' requests waited, by stage: disk (until the data was at hand), "
               "send (queued until the kernel took it: the upload limit, a slow peer).",
               "stage", metrics.peer_request_wait_seconds);
    if (metrics.process) {
        const ProcessStats& process = *metrics.process;
        Metric(out, "process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in seconds.", process.cpu_seconds);
        Metric(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               process.resident_bytes);
        Metric(out, "process_open_fds", "gauge", "Number of open file descriptors.",
               process.open_fds);
        if (process.max_fds > 0) {
            Metric(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
                   process.max_fds);
        }
        Metric(out, "process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.",
               process.start_time_seconds);
    }
    return out.str();
}

}  // namespace wharfkeep::control
