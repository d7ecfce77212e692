#include "wharfkeep/host/watched_folders.h"

#include <sys/stat.h>

#include <map>
#include <nlohmann/json.hpp>

#include "platform/log.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/directory_operations.h"
#include "wharfkeep/host/host_settings.h"
#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_library.h"

namespace wharfkeep::host {
namespace {

constexpr std::uint32_t kDefaultSettleSeconds = 10;
constexpr std::uint32_t kDefaultRescanSeconds = 300;

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}

// The settled files travel as one text: the folder, then each file, separated by NUL
// characters (which no path holds).
std::string JoinPaths(const std::string& folder, const std::vector<std::string>& files) {
    std::string text = folder;
    for (const std::string& file : files) {
        text += '\0';
        text += file;
    }
    return text;
}

std::vector<std::string> SplitPaths(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\0', start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::optional<MediaRecord> RowOf(MediaLibrary& library, const std::string& path) {
    std::vector<MediaRecord> rows = library.MediaAt(path);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

}  // namespace

std::vector<std::string> StoredWatchedFolders(ResourceDatabase& db) {
    std::string text = db.GetParam(kWatchedFoldersKey);
    nlohmann::json stored = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> folders;
    if (!stored.is_array()) {
        if (!text.empty()) {
            platform::log::warning("the stored watched folders are unreadable; none is watched");
        }
        return folders;
    }
    for (const nlohmann::json& folder : stored) {
        if (folder.is_string()) {
            folders.push_back(WithTrailingSlash(folder.get<std::string>()));
        }
    }
    return folders;
}

WatchedFolders::WatchedFolders(DirectoryOperations& directories, HostSettings& settings,
                               HostEvents& events, MessageSink& sink, ResourceDatabase& db)
    : directories_(directories), settings_(settings), events_(events), sink_(sink), db_(db) {
    events_.Subscribe(this);
}

WatchedFolders::~WatchedFolders() {
    events_.Unsubscribe(this);
}

void WatchedFolders::Start(std::optional<FolderWatcherOptions> options) {
    if (watcher_) {
        return;
    }
    if (!options) {
        std::uint32_t settle = settings_.Setting(kWatchSettleSeconds);
        std::uint32_t rescan = settings_.Setting(kWatchRescanSeconds);
        options.emplace();
        options->settle_time = std::chrono::seconds(settle != 0 ? settle : kDefaultSettleSeconds);
        options->rescan_interval =
            std::chrono::seconds(rescan != 0 ? rescan : kDefaultRescanSeconds);
        options->fallback_rescan_interval =
            std::min(options->rescan_interval, options->fallback_rescan_interval);
    }
    FolderWatcher::Listener& listener = *this;
    watcher_ = std::make_unique<FolderWatcher>(listener, *options);
    for (const std::string& folder : folders_) {
        watcher_->Watch(folder);
    }
}

bool WatchedFolders::SetWatched(const std::string& folder_text, bool watched) {
    const std::string folder = WithTrailingSlash(folder_text);
    std::vector<CPWTGuiderTreeNode*> nodes = directories_.Navigation().FindDirectoryNodes(folder);
    if (nodes.size() != 1 || nodes.front()->path != folder) {
        return false;
    }
    bool changed = watched ? folders_.insert(folder).second : folders_.erase(folder) != 0;
    if (!changed) {
        return true;
    }
    Store();
    if (watcher_) {
        watched ? watcher_->Watch(folder) : watcher_->Unwatch(folder);
    }
    platform::log::info("{} is {} watched", folder, watched ? "now" : "no longer");
    events_.Notify(FolderWatchChanged{folder, watched});
    return true;
}

bool WatchedFolders::IsWatched(const std::string& folder) const {
    return folders_.count(WithTrailingSlash(folder)) != 0;
}

std::vector<std::string> WatchedFolders::Folders() const {
    return {folders_.begin(), folders_.end()};
}

void WatchedFolders::Forget(const std::string& folder) {
    if (folders_.erase(WithTrailingSlash(folder)) == 0) {
        return;
    }
    Store();
    if (watcher_) {
        watcher_->Unwatch(folder);
    }
}

bool WatchedFolders::Degraded() const {
    return watcher_ && watcher_->Degraded();
}

void WatchedFolders::Load() {
    for (std::string& folder : StoredWatchedFolders(db_)) {
        folders_.insert(std::move(folder));
    }
}

void WatchedFolders::Store() {
    nlohmann::json list = nlohmann::json::array();
    for (const std::string& folder : folders_) {
        list.push_back(folder);
    }
    db_.SetParam(kWatchedFoldersKey,
                 list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void WatchedFolders::OnHostEvent(const HostEvent& event) {
    if (const auto* removed = std::get_if<FolderRemoved>(&event)) {
        Forget(removed->path);
    }
}

// ---- Watcher thread: hand over to the user-interface thread ----

void WatchedFolders::OnFilesSettled(const std::string& root,
                                    const std::vector<std::string>& files) {
    sink_.post(AppMessage::WM_APP_WATCHED_FILES_SETTLED, 0,
               AppPayload::Text(JoinPaths(WithTrailingSlash(root), files)));
}

void WatchedFolders::OnFilesGone(const std::string& root) {
    sink_.post(AppMessage::WM_APP_WATCHED_FILES_GONE, 0, AppPayload::Text(WithTrailingSlash(root)));
}

// ---- User-interface thread ----

bool WatchedFolders::HandleMessage(AppMessage message, const AppPayload& payload) {
    if (message == AppMessage::WM_APP_WATCHED_FILES_SETTLED) {
        std::vector<std::string> parts = SplitPaths(payload.text);
        std::string folder = parts.front();
        parts.erase(parts.begin());
        PublishSettled(folder, parts);
        return true;
    }
    if (message == AppMessage::WM_APP_WATCHED_FILES_GONE) {
        RescanGone(payload.text);
        return true;
    }
    return false;
}

CPWTGuiderTreeNode* WatchedFolders::WatchedNode(const std::string& folder) const {
    if (!IsWatched(folder)) {
        return nullptr;  // switched off while the message was on its way
    }
    std::vector<CPWTGuiderTreeNode*> nodes = directories_.Navigation().FindDirectoryNodes(folder);
    return nodes.size() == 1 && nodes.front()->path == folder ? nodes.front() : nullptr;
}

void WatchedFolders::PublishSettled(const std::string& folder,
                                    const std::vector<std::string>& files) {
    CPWTGuiderTreeNode* node = WatchedNode(folder);
    if (node == nullptr) {
        return;
    }
    MediaLibrary library(db_);
    std::map<std::string, MediaRecord> before;
    for (const std::string& file : files) {
        if (std::optional<MediaRecord> row = RowOf(library, file)) {
            before.emplace(file, std::move(*row));
        }
    }
    // Imports the new files and forgets the vanished ones, as the operator's rescan does.
    directories_.RefreshDirectory(node);

    std::vector<MediaRecord> queue;
    std::vector<MediaRecord> replaced;
    for (const std::string& file : files) {
        std::optional<MediaRecord> row = RowOf(library, file);
        if (!row || row->state == kWaiting || row->state == kPublishing) {
            continue;  // skipped by the import (its reason is reported there), or on its way
        }
        if (row->state == kNotPublished) {
            queue.push_back(std::move(*row));
            continue;
        }
        auto stored = before.find(file);
        if (stored != before.end() && library.ChangedSinceStored(stored->second)) {
            replaced.push_back(std::move(*row));
        }
    }
    if (!replaced.empty()) {
        // A replaced file is withdrawn first, so peers never get the old identifier's bytes
        // from the new file; then it is published anew.
        directories_.WithdrawList(replaced, false);
        for (MediaRecord& record : replaced) {
            platform::log::info("{} was replaced; publishing it again", record.local_path);
            record.state = kNotPublished;
            queue.push_back(std::move(record));
        }
    }
    if (!queue.empty()) {
        platform::log::info("watched folder {}: queueing {} settled files", folder, queue.size());
        directories_.Publish(std::move(queue));
    }
}

void WatchedFolders::RescanGone(const std::string& folder) {
    if (CPWTGuiderTreeNode* node = WatchedNode(folder)) {
        directories_.RefreshDirectory(node);
    }
}

}  // namespace wharfkeep::host
