#pragma once
// A host for the control interface's tests: canned snapshots, and a record of every
// operation called, with an answer the test chooses.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "wharfkeep/control/control_host.h"

namespace wharfkeep::control {

class FakeControlHost : public ControlHost {
public:
    StatusReport Status() override;
    std::vector<ResourceRow> Resources() override { return resources; }
    std::vector<ConnectionRow> Connections(const std::string& gcid) override;
    std::vector<MediaRow> Media(const MediaFilter& filter) override;
    std::vector<FolderRow> Folders() override { return folders; }
    MetricsReport Metrics() override;
    std::vector<HealthCheck> Liveness() override { return liveness; }
    std::vector<HealthCheck> Readiness() override { return readiness; }

    Outcome AddFolder(const std::string& path, bool publish) override;
    Outcome Publish(const std::string& path) override { return Record("publish " + path); }
    Outcome Rescan(const std::string& folder) override { return Record("rescan " + folder); }
    Outcome ImportIpRanges(const std::string& file) override { return Record("import " + file); }
    Outcome ImportIpRangeText(const std::string& text) override {
        if (while_importing) {
            while_importing();
        }
        return Record("import text of " + std::to_string(text.size()) + " bytes");
    }
    Outcome SetFolderWatched(const std::string& folder, bool watched) override {
        return Record("watch-folder " + folder + (watched ? " on" : " off"));
    }
    Outcome Withdraw(const std::string& target) override { return Record("withdraw " + target); }
    Outcome RemoveFolder(const std::string& folder) override { return Record("remove " + folder); }
    Outcome ExportLinks(const std::string& folder, const std::string& output) override;
    Outcome SetServicesRunning(bool running) override;

    SettingsReport Settings() override { return settings; }
    Outcome ChangeSettings(const std::vector<SettingChange>& changes) override;

    IpFilterReport IpFilter() override { return ip_filter; }
    Outcome AddIpRange(const std::string& first, const std::string& last) override;
    Outcome DeleteIpRange(std::size_t index) override;
    Outcome SetIpFilterEnabled(bool enabled) override;
    Outcome SetIpFilterDenyList(bool deny_list) override;

    std::vector<std::string> Calls() const;

    // The answer of every operation that changes something.
    Outcome answer = Outcome::Done("done");
    StatusReport status;
    std::vector<ResourceRow> resources;
    std::vector<ConnectionRow> connections;
    std::vector<MediaRow> media;
    std::vector<FolderRow> folders;
    SettingsReport settings;
    IpFilterReport ip_filter;
    MediaFilter last_filter;
    std::vector<HealthCheck> liveness{{"host_loop", true, ""}};
    std::vector<HealthCheck> readiness{{"database", true, ""}, {"listeners", true, ""}};
    // Runs inside ImportIpRangeText before it answers: a slow import.
    std::function<void()> while_importing;
    // Runs inside Status before it answers: a host thread slow to answer.
    std::function<void()> while_reading_status;

private:
    Outcome Record(const std::string& call);
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace wharfkeep::control
