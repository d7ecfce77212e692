#pragma once
// The control interface's host over the running host (host::Host): every operation is one
// of the host's parts' own (host_operations.h, the same the window and wharfkeepd call), run
// on the user-interface thread; what the host reports (publications, services, refused
// peers) becomes the event stream and the metrics.
//
// Threading contract:
// - The control server's thread calls the ControlHost operations; each is posted to the
//   user-interface thread through `post` and waited for (at most `wait`). Reads of peerfeed's
//   statistics and of the database, which are safe from any thread, run on the caller's, and
//   so does a block-list import (the server calls it on a worker thread of its own).
// - OnHostEvent runs on whichever thread raised the event (the user-interface thread, the
//   publisher, the servers' network threads); it only counts and publishes.
// - Progress of the file being published comes with the publisher's PublicationProgress;
//   a thread of its own looks once a second for folders whose import ended.
// - After Close() (or WM_APP_EXIT) operations answer "unavailable" without posting.
// - Destroy it on the user-interface thread: tasks it posted that run later do nothing.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wharfkeep/control/control_host.h"
#include "wharfkeep/control/control_server.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/host/host.h"

namespace wharfkeep::control {

// The media rows of the database that pass the filter, with their failure reasons (any
// thread: the database is shared).
std::vector<MediaRow> MediaRows(host::MediaLibrary& library, const MediaFilter& filter);
// A page of the media list, read from the database's indexes: the page's rows alone are
// read whole.
MediaPageReport MediaRowsPage(host::MediaLibrary& library, const MediaPageQuery& query);
// The same rows handed to `visit` one at a time as the database yields them, none kept: a
// listing of a hundred thousand rows never stands in memory. `visit` must not use the library.
void VisitMediaRows(host::MediaLibrary& library, const MediaFilter& filter,
                    const std::function<void(MediaRow&&)>& visit);
// The number of media rows in each publish state, counted by the database.
std::map<int, std::uint64_t> MediaCountsByState(host::MediaLibrary& library);

// The IP filter and the settings in the forms of the interface.
IpFilterReport IpFilterReportOf(const host::IpFilterState& state, const host::IpListCounts& counts);
// `text_of` gives a key's value as `wharfkeepd config` prints it (host::StoredSettingText).
SettingsReport StoredSettings(const std::function<std::string(const std::string&)>& text_of);

// /readyz fails below this much free space in the application-data folder: the database
// and the logs could no longer grow.
inline constexpr std::uint64_t kReadyFreeSpaceFloor = 64ull << 20;
// /livez fails when the user-interface loop has not run a no-op within this time,
inline constexpr std::chrono::milliseconds kLivenessDeadline{3000};
// or a running server's loop within this one (their tasks are all short).
inline constexpr std::chrono::milliseconds kServerLoopDeadline{1000};
// The disk_space check of /readyz for `folder`.
HealthCheck StateFolderSpace(const std::filesystem::path& folder, std::uint64_t floor);

// Runs a task on the user-interface thread (the window's event loop, wharfkeepd's message
// loop). Must not run it inline on another thread.
using UiPoster = std::function<void(std::function<void()>)>;

class DocumentControlHost : public ControlHost, public host::HostListener {
public:
    DocumentControlHost(host::Host& host, UiPoster post, std::string version,
                        std::chrono::milliseconds wait = std::chrono::seconds(20));
    // Closes, stops the progress thread and cancels folders still being added.
    ~DocumentControlHost() override;

    // Where events go (may be null).
    void SetServer(ControlServer* server);
    // No more operations; waiting callers are answered at once.
    void Close();

    // ControlHost
    StatusReport Status() override;
    std::vector<ResourceRow> Resources() override;
    std::vector<ConnectionRow> Connections(const std::string& gcid) override;
    std::vector<MediaRow> Media(const MediaFilter& filter) override;
    void VisitMedia(const MediaFilter& filter,
                    const std::function<void(MediaRow&&)>& visit) override;
    MediaPageReport MediaPage(const MediaPageQuery& query) override;
    std::vector<FolderRow> Folders() override;
    MetricsReport Metrics() override;
    std::vector<HealthCheck> Liveness() override;
    std::vector<HealthCheck> Readiness() override;
    Outcome AddFolder(const std::string& path, bool publish) override;
    Outcome Publish(const std::string& path) override;
    Outcome Rescan(const std::string& folder) override;
    Outcome SetFolderWatched(const std::string& folder, bool watched) override;
    Outcome ImportIpRanges(const std::string& file) override;
    Outcome ImportIpRangeText(const std::string& text) override;
    Outcome Withdraw(const std::string& target) override;
    Outcome RemoveFolder(const std::string& folder) override;
    Outcome ExportLinks(const std::string& folder, const std::string& output) override;
    Outcome SetServicesRunning(bool running) override;
    SettingsReport Settings() override;
    Outcome ChangeSettings(const std::vector<SettingChange>& changes) override;
    IpFilterReport IpFilter() override;
    Outcome AddIpRange(const std::string& first, const std::string& last) override;
    Outcome DeleteIpRange(std::size_t index) override;
    Outcome SetIpFilterEnabled(bool enabled) override;
    Outcome SetIpFilterDenyList(bool deny_list) override;

    // HostListener
    void OnHostEvent(const host::HostEvent& event) override;

private:
    struct AddingFolder {
        std::string folder;
        bool publish;
        std::unique_ptr<host::AddDirectoryWorker> worker;
    };

    // Runs `work` on the user-interface thread and waits for its answer.
    Outcome OnUi(const std::function<Outcome()>& work);
    template <typename Result>
    std::optional<Result> ReadOnUi(const std::function<Result()>& work);
    bool RunOnUi(const std::function<void()>& work,
                 std::optional<std::chrono::milliseconds> wait = std::nullopt);
    void Post(std::function<void()> task);

    StatusReport StatusWith(const host::ServiceCounters& counters);
    void Emit(const ControlEvent& event);
    std::optional<ControlEvent> ProgressEvent(const host::PublicationProgress& progress);
    void WatchAddedFolders();
    void FinishAddedFolders();
    Outcome OnFolder(const std::string& folder_text,
                     const std::function<Outcome(const std::string&)>& work);

    host::Host& host_;
    UiPoster post_;  // through Post() only
    // Cleared by the destructor; the tasks posted hold it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::string version_;
    std::chrono::milliseconds wait_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    bool closed_ = false;
    ControlServer* server_ = nullptr;
    std::string stopped_reason_ = "not started yet";
    std::map<std::string, std::uint64_t> outcomes_;
    double publishing_seconds_ = 0;
    std::optional<MediaRecord> current_;  // the file being published
    std::chrono::steady_clock::time_point current_started_;
    struct {
        int percent = 0;
        std::chrono::steady_clock::time_point time;
    } last_progress_;                   // of the file being published
    std::vector<AddingFolder> adding_;  // user-interface thread only
    std::thread folder_thread_;
};

}  // namespace wharfkeep::control
