#pragma once
// CPierwatchDoc: the one document of the management program and the owner of everything that
// runs in the background. It opens the resource database, configures the publish engine,
// installs the callbacks through which the peer upload server and the list server ask about
// published files and peers, starts and stops both services, keeps the IP filter table,
// owns the publisher (PublishQueue) and the navigation model, and does the non-drawing part
// of every private message (HandleAppMessage). What it does is told to listeners through
// Events(); the window program and wharfkeepd subscribe and draw (or print).
//
// Threads: every operation runs on the user-interface thread unless its comment says
// otherwise. The server callbacks run on the servers' network threads and reach the
// document's answers (PublishedPath, RefusePeer, ExportPublishedList) only through Services;
// ImportDirectory runs on the add-directory
// worker; the publisher stores outcomes and raises its events on its own thread.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peerfeed/peerfeed.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/host/publish_queue.h"
#include "wharfkeep/host/refusal_log.h"
#include "wharfkeep/host/services.h"
#include "wharfkeep/host/upload_limit_controller.h"
#include "wharfkeep/host/watched_folders.h"
#include "wharfkeep/host/window_bridge.h"
#include "wharfkeep/host/window_text.h"
#include "wharfkeep/settings/setting_table.h"

namespace wharfkeep::host {

// The status bar, the tray menu and the status page read this.
struct ServerStatusSnapshot {
    int running = 0;
    std::string address;            // "host:port" as peers should use it
    peerfeed_stat server{};         // speed, totals and sessions of the peer server
    std::uint64_t speed_limit = 0;  // bytes per second
    std::uint32_t connection_limit = 0;
    vp_cache_stat cache{};
    // Filled also while the services are stopped.
    schedule::UploadDecision upload;  // the upload mode and limit in force
    vp_refusal_stat refused{};        // refused at accept by peerfeed, by reason
    RefusalCounts refused_by_filter;  // the filter's refusals split by list
    std::vector<RefusedPeer> recently_refused;
};

// Cap of peer connections from one address (0 = off), beside the designed limits.
inline constexpr UnsignedSetting kVpAddrConnLimit{"VP_AddrConnLimit"};

// How peers would fare with the access address.
enum class AccessAddressVerdict {
    kGood,
    kSiteOnly,  // private or link-local: only peers of this site reach it
    kWrong,     // empty, unspecified or loopback: no peer reaches it
};

// The questions the host asks through the sink.
inline constexpr const char* kResumeQuestion =
    WK_WINDOW_TEXT("HostQuestion", "是否继续上次未完成的发布任务？");
inline constexpr const char* kAccessAddressQuestion =
    WK_WINDOW_TEXT("HostQuestion", "当前IP地址(%s)有误，无法正常提供服务，您需要修改IP地址吗？");
inline constexpr const char* kTransferPortConflict =
    WK_WINDOW_TEXT("HostQuestion", "传输端口（%u）有冲突，请手动修改端口，以便工具正常服务。");
inline constexpr const char* kProtocolPortConflict =
    WK_WINDOW_TEXT("HostQuestion", "协议端口（%u）有冲突，请手动修改端口，以便工具正常服务。");

// Tests that must set up rows no operation writes reach the database through this seam,
// defined by the tests alone.
struct DocumentTestAccess;

class CPierwatchDoc : private ServerQueries {
    friend struct DocumentTestAccess;

public:
    // Builds the publish queue around `engine` (MakeEnginePublishBackend() in the programs)
    // and gives the engine its report folder, the application-data folder.
    CPierwatchDoc(MessageSink& sink, std::unique_ptr<PublishBackend> engine);
    // Stops whatever still runs, then releases in this order: navigation nodes,
    // the IP filter table, the publish queue, the database last.
    ~CPierwatchDoc() override;
    CPierwatchDoc(const CPierwatchDoc&) = delete;
    CPierwatchDoc& operator=(const CPierwatchDoc&) = delete;

    // Start-up: database, engine link settings, navigation model, server callbacks, limits,
    // IP filter table. The services are not started here.
    bool OnNewDocument();
    // Detaches the server callbacks, so that later ones answer as for a closed document.
    void OnCloseDocument();
    // What the host did, for the window, wharfkeepd and the control interface. The events
    // raised on other threads reach the sink's thread as private messages as well.
    HostEvents& Events() { return events_; }

    // ---- Services ----
    // Starts peerfeed on VP_Port, then catalogd on STS_Port. True when both run.
    bool StartServices();
    void StopServices(bool persist);
    void GetServerStatus(ServerStatusSnapshot& out) const;
    bool ServicesRunning() const;
    // Nothing when the database takes writes now, else why not.
    std::optional<std::string> DatabaseWriteProblem();
    // The servers' counters and per-resource and per-connection lists, as plain records.
    const Services& Servers() const { return services_; }

    // ---- Settings ----
    void SetAccess(int way, const std::string& ip, const std::string& domain);
    void SetMasterId(const std::string& id);
    void SetUploadSpeedLimit(std::uint32_t bytes_per_second);
    void SetConnectionLimit(std::uint32_t count);
    void SetTransferPort(std::uint32_t port);
    void SetProtocolPort(std::uint32_t port);
    // Changes one setting of the settings table, to a value that passed the table's rule,
    // through the operation the settings page uses. False when that changes nothing (the
    // stored Master ID typed in another letter case).
    bool ChangeSetting(const settings::SettingEntry& entry, const settings::CheckedValue& value);
    // The first IPv4 address of an up interface that is neither loopback nor link-local,
    // else the host name's address, else "0.0.0.0".
    static std::string LocalAddressText();
    AccessAddressVerdict JudgeAccessAddress() const;
    // The start-up question about a wrong access address (Yes goes to the IP field); a
    // private one only gets a warning in the log.
    void CheckAccessAddress();
    // Reads the limits and the IP filter from the database, and the peer server's cache
    // tuning and the publish-report endpoint from Wharfkeep.ini, again and applies them to
    // the running servers; nothing is restarted and no peer is dropped.
    void ReloadSettings();
    const ServerAccessSettings& Access() const { return access_; }
    std::string MasterId();
    std::uint32_t Setting(const class UnsignedSetting& setting);
    // A setting of the settings table as `wharfkeepd config` prints it.
    std::string SettingText(const std::string& key);

    // ---- IP filter (the rules of the IP filter table, stored in the database) ----
    // Each change raises IpFilterChanged once it is stored; what changes nothing raises
    // nothing.
    // Deletes the range at `index` of the active list; an index beyond it is ignored.
    void DeleteIpFilterEntry(std::size_t index);
    IpFilterState IpFilterRules() const { return ip_filter_.Snapshot(); }
    IpListCounts IpListSizes() const { return ip_filter_.ListCounts(); }
    // Adds the range between two addresses (in either order) to the active list.
    void AddIpRange(std::uint32_t first, std::uint32_t second);
    // Adds the ranges the active list does not hold yet, in one transaction.
    IpImportResult ImportIpRanges(std::span<const iprules::AddressRange> ranges);
    // The active list, one range a line in the shortest form that reads back.
    std::string ExportIpFilter() const { return ip_filter_.ExportActiveList(); }
    void SetIpFilterEnabled(bool enabled);
    // False, changing nothing, when that list is active already.
    bool SetIpDenyList(bool deny_list);
    void SetAddressConnectionLimit(std::uint32_t count);
    // The upload limit in force (normal, alternative by schedule or switch, paused).
    UploadLimitController& UploadLimits() { return *upload_limits_; }
    // The folders that publish their new files by themselves (after start-up).
    WatchedFolders& Watched() { return *watched_folders_; }

    // The media and directory rows, through typed operations (any thread).
    MediaLibrary& Library() { return library_; }

    // The navigation model: the tree's pages and one node per added directory.
    const NavigationModel& Navigation() const { return navigation_; }

    // ---- Publish queue and directory operations ----
    // Queues every unpublished file under `path` (all files when empty); the number queued.
    // With `retry_failed`, files whose last publication failed (state Failed: an I/O
    // error, a full disk, a file that changed while it was read, all of which may pass)
    // are queued again too; files refused for their content (not streamable, header
    // rejected) are not, as the same bytes would be refused again. The window's publish
    // command queues only unpublished files; wharfkeepd and the control interface retry.
    std::size_t PublishDirectory(const std::string& path, bool retry_failed = false);
    // Queues `records`, each stored as waiting; with `directory`, every unpublished file
    // under it is stored as waiting instead (also those not among the records). The number
    // queued.
    std::size_t Publish(std::vector<MediaRecord> records, const std::string* directory = nullptr);
    // Withdraws or unqueues each record (updated in place); the window gets a copy of each
    // through WM_APP_MEDIA_CHANGED.
    void WithdrawList(std::vector<MediaRecord>& records, bool release = true);
    void WithdrawDirectory(const std::string& path, std::vector<MediaRecord>& records);
    void WithdrawByGcid(const std::string& gcid);
    // The start-up question about files left queued or half-published.
    // Queues again the rows a stopped or killed instance left publishing or waiting (when
    // the operator agrees); how many were queued.
    std::size_t ResumeUnfinished();

    // Adds the publishable files under `path` to the database and, at the top level, the
    // directory with its navigation node (add-directory worker thread). Stops when `cancel`
    // becomes true. The new node, or null when the directory was known already.
    CPWTGuiderTreeNode* ImportDirectory(const std::string& path, std::atomic<int>& counter,
                                        const std::atomic<bool>& cancel, bool top_level = true);
    // Rescans a known directory: new files are added, vanished ones forgotten, counts stored.
    void RefreshDirectory(CPWTGuiderTreeNode* node);
    // Withdraws and forgets a directory (its Path, ending with "/").
    void RemoveDirectory(const std::string& path);
    // Writes the links of every directory (no path) or of one directory into a new file on
    // the desktop, or into `target` when given. The file written, or nothing on failure.
    std::optional<std::filesystem::path> ExportLinks(
        const std::optional<std::string>& directory,
        const std::optional<std::filesystem::path>& target = std::nullopt);
    // The same for records chosen on the publish page, under the heading of `directory`.
    std::optional<std::filesystem::path> ExportLinks(
        const std::string& directory, const std::vector<MediaRecord>& records,
        const std::optional<std::filesystem::path>& target = std::nullopt);
    // No file waiting and none being published (any thread).
    bool PublishingIdle() const { return queue_->idle(); }
    // True when `local_path` is the file being published now.
    bool IsBeingPublished(const std::string& local_path) const {
        return queue_->IsCurrent(local_path);
    }
    // Percentage done of the file being restructured; 0 when none is (any thread).
    int PublishProgress() { return queue_->engine().GetProgress(); }
    // A stored link rebuilt for the current access settings and Master ID.
    std::string RelinkUrl(const std::string& url) { return queue_->engine().RelinkUrl(url); }

    // ---- Private messages ----
    // The non-drawing part of a message; the caller draws afterwards.
    void HandleAppMessage(AppMessage message, std::int64_t wparam, AppPayload& payload);

private:
    // ---- What the servers ask (servers' network threads, through Services) ----
    std::string PublishedPath(const std::string& gcid, bool descriptor) override;
    bool RefusePeer(std::uint32_t address) override;
    bool ExportPublishedList(const std::string& path) override;
    void PeerSessionChanged(std::uint32_t address, std::uint16_t port, bool opened) override;

    // Withdraws a published or failed record from the servers and stores it as not published.
    void ForgetPublication(MediaRecord& record, bool release);
    // Unqueues, abandons or forgets each record; under `directory` (when given) every other
    // row is reset as well.
    void Withdraw(std::vector<MediaRecord>& records, bool release, const std::string* directory);
    void BuildNavigationModel();
    void ApplyLinkSettings(std::uint32_t peer_port, std::uint32_t list_port);
    void RelinkPublishedFiles();
    // ChangeSetting for the keys of the upload schedule; false for any other key.
    bool ChangeUploadSchedule(const settings::SettingEntry& entry,
                              const settings::CheckedValue& value);
    // Adds a row for a new media file, or stores the size of a known one (`known`, its row
    // when the caller has it); a published file replaced since its row was stored loses its
    // publication. False for an entry that cannot be added (its reason is posted).
    bool AddMediaFile(const std::string& path, MediaRecord* known = nullptr);
    void ImportWalk(const std::string& path, std::atomic<int>& counter,
                    const std::atomic<bool>* cancel, std::vector<MediaRecord>* known,
                    int* published);
    void RefreshPublishedCounts(const std::string& path);
    void UnpublishDirectoryMessage(const std::string& path);
    void LocateMedia(AppPayload& payload);
    void Exit();
    // Logs the stop when the services were running, and tells the listeners.
    void NotifyServicesStopped(bool were_running, const std::string& reason);
    void StoreRecord(const MediaRecord& record);
    void StoreState(const MediaRecord& record);
    void StoreDirectoryCounts(const CPWTGuiderTreeNode& node);
    bool WriteLinkFile(
        const std::filesystem::path& file,
        const std::vector<std::pair<std::string, std::vector<MediaRecord>>>& sections);
    std::optional<std::filesystem::path> ChooseExportFile(
        const std::optional<std::filesystem::path>& target) const;

    MessageSink& sink_;
    std::filesystem::path app_folder_;
    // Declared first: the publisher raises events until it is shut down.
    HostEvents events_;
    WindowBridge bridge_;

    // Destroyed in reverse order after ~CPierwatchDoc's own steps: the database last.
    std::unique_ptr<ResourceDatabase> database_;
    MediaLibrary library_;
    std::unique_ptr<PublishQueue> queue_;
    IpFilterTable ip_filter_;
    RefusalLog refusals_;
    Services services_;
    std::unique_ptr<UploadLimitController> upload_limits_;
    std::unique_ptr<WatchedFolders> watched_folders_;
    NavigationModel navigation_;
    ServerAccessSettings access_;
    bool closed_ = false;
};

}  // namespace wharfkeep::host
