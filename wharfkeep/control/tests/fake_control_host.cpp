#include "fake_control_host.h"

namespace wharfkeep::control {

StatusReport FakeControlHost::Status() {
    Record("status");
    if (while_reading_status) {
        while_reading_status();
    }
    return status;
}

std::vector<ConnectionRow> FakeControlHost::Connections(const std::string& gcid) {
    Record("connections " + gcid);
    return connections;
}

std::vector<MediaRow> FakeControlHost::Media(const MediaFilter& filter) {
    last_filter = filter;
    return media;
}

MetricsReport FakeControlHost::Metrics() {
    MetricsReport metrics;
    metrics.status = status;
    metrics.refused_by_reason["ip_filter"] = 3;
    metrics.publications_by_outcome["published"] = 2;
    metrics.restructuring_seconds = 1.5;
    metrics.list_queries_by_answer["not_found"] = 7;
    return metrics;
}

Outcome FakeControlHost::AddFolder(const std::string& path, bool publish) {
    return Record("add " + path + (publish ? " publish" : ""));
}

Outcome FakeControlHost::ExportLinks(const std::string& folder, const std::string& output) {
    Outcome outcome = Record("export " + folder + " " + output);
    outcome.fields["file"] = output;
    return outcome;
}

Outcome FakeControlHost::SetServicesRunning(bool running) {
    return Record(running ? "start" : "stop");
}

Outcome FakeControlHost::ChangeSettings(const std::vector<SettingChange>& changes) {
    std::string call = "settings";
    for (const auto& [key, value] : changes) {
        call += " " + key + "=" + value;
    }
    return Record(call);
}

Outcome FakeControlHost::AddIpRange(const std::string& first, const std::string& last) {
    return Record("iprange " + first + " " + last);
}

Outcome FakeControlHost::DeleteIpRange(std::size_t index) {
    return Record("ipdelete " + std::to_string(index));
}

Outcome FakeControlHost::SetIpFilterEnabled(bool enabled) {
    return Record(enabled ? "ipfilter on" : "ipfilter off");
}

Outcome FakeControlHost::SetIpFilterDenyList(bool deny_list) {
    return Record(deny_list ? "ipfilter deny" : "ipfilter allow");
}

std::vector<std::string> FakeControlHost::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

Outcome FakeControlHost::Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    return answer;
}

}  // namespace wharfkeep::control
