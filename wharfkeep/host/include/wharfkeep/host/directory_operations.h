#pragma once
// The host's side of publishing: queueing, withdrawing and resuming files and folders,
// importing a folder's files into the database (the add-directory worker), rescanning and
// removing a folder, and exporting the published links. The rows are written through the
// media library, the navigation model keeps one node per added folder, and what changed is
// told to the listeners.
//
// Threads: the user-interface thread, except ImportDirectory (the add-directory worker's
// thread) and the queries of the publisher's state (any thread).

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/host_core.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/window_text.h"

namespace wharfkeep::host {

inline constexpr const char* kResumeQuestion =
    WK_WINDOW_TEXT("HostQuestion", "是否继续上次未完成的发布任务？");

class DirectoryOperations {
public:
    // `access` is the access settings in force, for relinking exported links; it and the
    // core outlive the part.
    DirectoryOperations(const HostCore& core, const ServerAccessSettings& access)
        : core_(core), access_(access) {}

    // ---- Queueing and withdrawing ----
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

    // ---- Folders ----
    // Adds the publishable files under `path` to the database and, at the top level, the
    // directory with its navigation node (add-directory worker thread). Stops when `cancel`
    // becomes true. The new node, or null when the directory was known already.
    CPWTGuiderTreeNode* ImportDirectory(const std::string& path, std::atomic<int>& counter,
                                        const std::atomic<bool>& cancel, bool top_level = true);
    // Rescans a known directory: new files are added, vanished ones forgotten, counts stored.
    void RefreshDirectory(CPWTGuiderTreeNode* node);
    // Withdraws and forgets a directory (its Path, ending with "/").
    void RemoveDirectory(const std::string& path);
    // The tree's pages and one node per added directory.
    const NavigationModel& Navigation() const { return core_.navigation; }

    // ---- Link export ----
    // Writes the links of every directory (no path) or of one directory into a new file on
    // the desktop, or into `target` when given. The file written, or nothing on failure.
    std::optional<std::filesystem::path> ExportLinks(
        const std::optional<std::string>& directory,
        const std::optional<std::filesystem::path>& target = std::nullopt);
    // The same for records chosen on the publish page, under the heading of `directory`.
    std::optional<std::filesystem::path> ExportLinks(
        const std::string& directory, const std::vector<MediaRecord>& records,
        const std::optional<std::filesystem::path>& target = std::nullopt);
    // A stored link rebuilt for the current access settings and Master ID.
    std::string RelinkUrl(const std::string& url) { return core_.queue.engine().RelinkUrl(url); }

    // ---- The publisher's state (any thread) ----
    // No file waiting and none being published.
    bool PublishingIdle() const { return core_.queue.idle(); }
    // True when `local_path` is the file being published now.
    bool IsBeingPublished(const std::string& local_path) const {
        return core_.queue.IsCurrent(local_path);
    }
    // Percentage done of the file being restructured; 0 when none is.
    int PublishProgress() { return core_.queue.engine().GetProgress(); }

private:
    // Withdraws a published or failed record from the servers and stores it as not published.
    void ForgetPublication(MediaRecord& record, bool release);
    // Unqueues, abandons or forgets each record; under `directory` (when given) every other
    // row is reset as well.
    void Withdraw(std::vector<MediaRecord>& records, bool release, const std::string* directory);
    // Adds a row for a new media file, or stores the size of a known one (`known`, its row
    // when the caller has it); a published file replaced since its row was stored loses its
    // publication. False for an entry that cannot be added (its reason is posted).
    bool AddMediaFile(const std::string& path, MediaRecord* known = nullptr);
    void StoreState(const MediaRecord& record);
    void StoreDirectoryCounts(const CPWTGuiderTreeNode& node);
    bool WriteLinkFile(
        const std::filesystem::path& file,
        const std::vector<std::pair<std::string, std::vector<MediaRecord>>>& sections);
    std::optional<std::filesystem::path> ChooseExportFile(
        const std::optional<std::filesystem::path>& target) const;

    HostCore core_;
    const ServerAccessSettings& access_;
};

}  // namespace wharfkeep::host
