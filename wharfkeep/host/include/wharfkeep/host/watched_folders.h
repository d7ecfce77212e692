#pragma once
// Added folders that publish themselves: a watched folder's new or replaced media files are
// imported and queued once they have settled, and its vanished files are withdrawn and
// forgotten as a rescan does. The watched folders are stored under one setting of their own
// (a JSON array of folder paths), so they survive restarts.
//
// Threading contract: everything here runs on the user-interface thread except the
// FolderWatcher::Listener operations, which run on the watcher's thread and only post
// WM_APP_WATCHED_FILES_SETTLED / WM_APP_WATCHED_FILES_GONE; the document hands those back
// to HandleMessage on the user-interface thread, where the directory operations
// (RefreshDirectory, Publish, WithdrawList) do the work. A folder removed (FolderRemoved,
// raised on the user-interface thread) stops being watched.

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/folder_watcher.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep {
class ResourceDatabase;
}

namespace wharfkeep::host {

class DirectoryOperations;
class HostSettings;
enum class AppMessage : std::uint32_t;
struct AppPayload;

inline constexpr const char* kWatchedFoldersKey = "WatchedFolders";
// Seconds a file must stay unchanged before it is published (0: 10 s).
inline constexpr UnsignedSetting kWatchSettleSeconds{"WatchSettleSeconds"};
// Seconds between safety rescans of the watched folders (0: 300 s).
inline constexpr UnsignedSetting kWatchRescanSeconds{"WatchRescanSeconds"};

// The watched folders as stored (each ending with "/"); none when the stored text is
// unreadable. For readers without a document (wharfkeepd status and list).
std::vector<std::string> StoredWatchedFolders(ResourceDatabase& db);

class WatchedFolders : private FolderWatcher::Listener, private HostListener {
public:
    // `sink` takes the watcher's findings to the window thread, `db` keeps the list of
    // watched folders, `settings` gives the watcher's timing, `events` tells of removed
    // folders and hears of watching switched; all outlive the part.
    WatchedFolders(DirectoryOperations& directories, HostSettings& settings, HostEvents& events,
                   MessageSink& sink, ResourceDatabase& db);
    ~WatchedFolders() override;
    WatchedFolders(const WatchedFolders&) = delete;
    WatchedFolders& operator=(const WatchedFolders&) = delete;

    // Reads the stored list of watched folders (start-up, once the database is open).
    void Load();
    // Starts watching the stored folders (the window and `wharfkeepd serve`); until then
    // SetWatched only stores the choice. Timing comes from the settings unless given.
    void Start(std::optional<FolderWatcherOptions> options = std::nullopt);
    bool Running() const { return watcher_ != nullptr; }

    // Marks an added folder (its Path, ending with "/") watched or not. False when the
    // folder is not an added one.
    bool SetWatched(const std::string& folder, bool watched);
    bool IsWatched(const std::string& folder) const;
    // The watched folders, as stored.
    std::vector<std::string> Folders() const;
    // A removed folder stops being watched.
    void Forget(const std::string& folder);
    // True while some watched folder is covered by rescans only.
    bool Degraded() const;

    // The user-interface side of the two watcher messages; false for any other message.
    bool HandleMessage(AppMessage message, const AppPayload& payload);

private:
    void OnFilesSettled(const std::string& root, const std::vector<std::string>& files) override;
    void OnFilesGone(const std::string& root) override;
    void OnHostEvent(const HostEvent& event) override;

    void Store();
    void PublishSettled(const std::string& folder, const std::vector<std::string>& files);
    void RescanGone(const std::string& folder);
    CPWTGuiderTreeNode* WatchedNode(const std::string& folder) const;

    DirectoryOperations& directories_;
    HostSettings& settings_;
    HostEvents& events_;
    MessageSink& sink_;
    ResourceDatabase& db_;
    std::set<std::string> folders_;
    std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace wharfkeep::host
