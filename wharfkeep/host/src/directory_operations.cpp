// The host's side of publishing: queueing, withdrawing and resuming files and directories,
// scanning directories into the database, and exporting published links.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>

#include "platform/app_paths.h"
#include "platform/log.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/host/directory_operations.h"
#include "wharfkeep/host/folder_watcher.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_library.h"

namespace wharfkeep::host {
namespace {

// Calls `on_file` for every publishable regular file under `folder` and descends into every
// subdirectory. Directory links are not followed, so a link loop cannot make the walk endless.
// `keep_going` is asked before each entry.
template <typename OnFile, typename KeepGoing>
void WalkMediaFiles(const std::filesystem::path& folder, OnFile&& on_file, KeepGoing&& keep_going) {
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) {
        return;
    }
    std::vector<std::filesystem::path> subfolders;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error || !keep_going()) {
            break;
        }
        const std::filesystem::directory_entry& entry = *it;
        std::error_code status_error;
        if (entry.is_directory(status_error) && !entry.is_symlink(status_error)) {
            subfolders.push_back(entry.path());
        } else if (IsPublishableName(entry.path().filename().string())) {
            on_file(entry.path().string());
        }
    }
    for (const std::filesystem::path& subfolder : subfolders) {
        if (!keep_going()) {
            return;
        }
        WalkMediaFiles(subfolder, on_file, keep_going);
    }
}

// Why an entry with a media file name cannot be added, if it cannot: a link that leads
// nowhere, something that is not a regular file, or a file this user may not read.
std::optional<std::string> SkipReason(const std::string& path) {
    struct stat link_status {};
    struct stat status {};
    if (::lstat(path.c_str(), &link_status) != 0) {
        return std::string("cannot examine: ") + std::strerror(errno);
    }
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ELOOP) {
            return std::string("symbolic link loop");
        }
        if (errno == ENOENT && S_ISLNK(link_status.st_mode)) {
            return std::string("dangling symbolic link");
        }
        return std::string("cannot examine: ") + std::strerror(errno);
    }
    if (S_ISFIFO(status.st_mode)) {
        return std::string("not a regular file (a FIFO)");
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string("not a regular file");
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return std::string("unreadable: ") + std::strerror(errno);
    }
    return std::nullopt;
}

std::string WithoutTrailingSlash(const std::string& path) {
    return path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

}  // namespace

// ---- Queueing and withdrawing ----

std::size_t DirectoryOperations::PublishDirectory(const std::string& path, bool retry_failed) {
    std::size_t queued = Publish(core_.library.MediaUnder(path, kNotPublished), &path);
    if (retry_failed) {
        queued += Publish(core_.library.MediaUnder(path, kFailed));
    }
    return queued;
}

std::size_t DirectoryOperations::Publish(std::vector<MediaRecord> records,
                                         const std::string* directory) {
    for (MediaRecord& record : records) {
        record.state = kWaiting;
        if (directory == nullptr) {
            StoreState(record);
        }
        core_.events.Notify(PublicationQueued{record});
    }
    if (directory != nullptr) {
        core_.library.MarkWaitingUnder(*directory);
    }
    if (!records.empty()) {
        core_.queue.Enqueue(records);
    }
    return records.size();
}

void DirectoryOperations::ForgetPublication(MediaRecord& record, bool release) {
    // A record without identifier and descriptor has nothing to withdraw; asking the engine
    // anyway would read as "abandon the current file".
    if (!record.cid.empty() || !record.sts_path.empty()) {
        core_.queue.engine().UnpublishFile(record.cid, record.sts_path);
    }
    bool was_published = record.state == kPublished;
    record.state = kNotPublished;
    record.publish_date.clear();
    record.sts_path.clear();
    record.url.clear();
    core_.library.Store(record);
    if (was_published) {
        core_.events.Notify(
            PublishedCountChanged{core_.library.RecountDirectoriesOf(record.local_path)});
    }
    core_.events.Notify(MediaChanged{record, release});
}

void DirectoryOperations::WithdrawList(std::vector<MediaRecord>& records, bool release) {
    Withdraw(records, release, nullptr);
}

void DirectoryOperations::WithdrawDirectory(const std::string& path,
                                            std::vector<MediaRecord>& records) {
    Withdraw(records, false, &path);
}

void DirectoryOperations::Withdraw(std::vector<MediaRecord>& records, bool release,
                                   const std::string* directory) {
    auto reset = [&](MediaRecord& record) {
        record.state = kNotPublished;
        StoreState(record);
        core_.events.Notify(MediaChanged{record, release});
    };
    std::vector<MediaRecord*> being_published;
    for (MediaRecord& record : records) {
        if (record.state == kWaiting) {
            core_.queue.RemovePending(record.local_path);
            reset(record);
        } else if (record.state == kPublishing) {
            being_published.push_back(&record);
        } else {
            ForgetPublication(record, release);
        }
    }
    if (directory != nullptr) {
        core_.library.ResetUnder(*directory);
    }
    for (MediaRecord* record : being_published) {
        core_.queue.RemovePending(record->local_path);
        if (core_.queue.IsCurrent(record->local_path)) {
            // The publisher reports the abandoned file itself (result 25, State 0).
            core_.queue.AbortCurrent();
        } else {
            // Left "being published" by an earlier run, or queued again by the resume: not
            // the engine's current file, so nothing is cancelled; it is simply reset.
            reset(*record);
        }
    }
}

void DirectoryOperations::WithdrawByGcid(const std::string& gcid) {
    std::vector<MediaRecord> records = core_.library.MediaByCid(gcid);
    WithdrawList(records, true);
}

std::size_t DirectoryOperations::ResumeUnfinished() {
    std::vector<MediaRecord> records = core_.library.MediaByState(kPublishing);
    std::vector<MediaRecord> queued = core_.library.MediaByState(kWaiting);
    records.insert(records.end(), queued.begin(), queued.end());
    if (records.empty()) {
        return 0;
    }
    bool resume = core_.sink.ask_yes_no(kResumeQuestion);
    if (!core_.sink.window_exists()) {
        return 0;
    }
    if (resume) {
        core_.queue.Enqueue(records);
        return records.size();
    }
    for (MediaRecord& record : records) {
        record.state = kNotPublished;
        StoreState(record);
    }
    return 0;
}

// ---- Scanning ----

void CountMediaFiles(const std::string& path, std::atomic<int>& counter) {
    WalkMediaFiles(
        path,
        [&counter](const std::string& file) {
            if (!SkipReason(file)) {
                counter.fetch_add(1);
            }
        },
        [] { return true; });
}

bool DirectoryOperations::AddMediaFile(const std::string& path, MediaRecord* known) {
    // Never opened here: a FIFO or device under a media name would block the walk.
    if (const std::optional<std::string> reason = SkipReason(path)) {
        core_.sink.post(AppMessage::WM_APP_ENTRY_SKIPPED, 0,
                        AppPayload::Text(path + ": " + *reason));
        return false;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    auto size = static_cast<std::int64_t>(info.st_size);
    std::optional<MediaRecord> row;
    if (known == nullptr) {
        if (core_.library.AddFile(path, size, LocalTimeText(info.st_mtime))) {
            return true;
        }
        std::vector<MediaRecord> rows = core_.library.MediaAt(path);
        if (!rows.empty()) {
            row = std::move(rows.front());
            known = &*row;
        }
    }
    // A published file left alone is not read again. One replaced by another file (even
    // one of the same size and date) loses its publication, so that peers never get the
    // new bytes under the old identifier and publishing the folder reads it anew.
    if (known != nullptr && known->state == kPublished &&
        core_.library.ChangedSinceStored(*known)) {
        platform::log::info("{} was replaced; its publication is withdrawn", path);
        ForgetPublication(*known, false);
    }
    core_.library.StoreSize(path, size);
    return true;
}

CPWTGuiderTreeNode* DirectoryOperations::ImportDirectory(const std::string& path,
                                                         std::atomic<int>& counter,
                                                         const std::atomic<bool>& cancel,
                                                         bool top_level) {
    WalkMediaFiles(
        path,
        [&](const std::string& file) {
            if (AddMediaFile(file)) {
                counter.fetch_add(1);
            }
        },
        [&cancel] { return !cancel.load(); });
    if (!top_level) {
        return nullptr;
    }
    std::string name = FileNameOf(path);
    std::string directory_path = path + "/";
    if (!core_.library.AddFolder(directory_path, name, counter.load())) {
        return nullptr;
    }
    return core_.navigation.AppendDirectory({name, directory_path, counter.load(), 0});
}

void DirectoryOperations::RefreshDirectory(CPWTGuiderTreeNode* node) {
    if (node == nullptr) {
        core_.events.Notify(DirectoryRescanned{});
        return;
    }
    std::map<std::string, MediaRecord> known;
    for (MediaRecord& record : core_.library.ListedUnder(node->path)) {
        known.emplace(record.local_path, std::move(record));
    }
    int files = 0;
    int published = 0;
    WalkMediaFiles(
        WithoutTrailingSlash(node->path),
        [&](const std::string& file) {
            auto it = known.find(file);
            if (it == known.end()) {
                files += AddMediaFile(file) ? 1 : 0;
                return;
            }
            files += AddMediaFile(file, &it->second) ? 1 : 0;
            published += it->second.state == kPublished ? 1 : 0;
            known.erase(it);
        },
        [] { return true; });
    node->file_count = files;
    node->published_count = published;
    StoreDirectoryCounts(*node);
    core_.sink.post(AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT, 0, AppPayload::Text(node->path));
    for (auto& [path, record] : known) {
        // A published file that has gone: its descriptor goes too and the servers forget it.
        if (record.state == kPublished && !record.cid.empty()) {
            core_.queue.engine().UnpublishFile(record.cid, record.sts_path);
        }
        core_.library.RemoveFile(path);
    }
    core_.events.Notify(DirectoryRescanned{node->path});
}

void DirectoryOperations::RemoveDirectory(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::vector<MediaRecord> records =
        core_.library.RemoveFilesUnder(path, core_.navigation.HoldsDirectoryUnder(path));
    WithdrawList(records, true);
    core_.sink.post(AppMessage::WM_APP_REFRESH_DIRECTORY, 0, {});
    core_.library.RemoveFolder(path);
    core_.navigation.RemoveDirectory(path);
    core_.events.Notify(FolderRemoved{path});
}

void DirectoryOperations::StoreState(const MediaRecord& record) {
    core_.library.StoreState(record.local_path, record.state);
}

void DirectoryOperations::StoreDirectoryCounts(const CPWTGuiderTreeNode& node) {
    DirectoryValue values[] = {
        {DirectoryColumn::Name, node.label},
        {DirectoryColumn::FileCount, std::to_string(node.file_count)},
        {DirectoryColumn::PublishedCount, std::to_string(node.published_count)},
    };
    core_.database.UpdateDirectory(values, node.path);
}

// ---- Link export ----

std::optional<std::filesystem::path> DirectoryOperations::ChooseExportFile(
    const std::optional<std::filesystem::path>& target) const {
    if (target) {
        return target;
    }
    return NextExportFilePath(platform::desktop_folder());
}

bool DirectoryOperations::WriteLinkFile(
    const std::filesystem::path& file,
    const std::vector<std::pair<std::string, std::vector<MediaRecord>>>& sections) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    bool relink = access_.access_way == 0 || access_.access_way == 1;
    for (const auto& [directory, records] : sections) {
        out << directory << "\r\n";
        for (const MediaRecord& record : records) {
            std::string url = relink ? core_.queue.engine().RelinkUrl(record.url) : record.url;
            std::string name = record.name.empty() ? FileNameOf(record.local_path) : record.name;
            out << name << "\r\n" << EncodeLink(url) << "\r\n\r\n";
        }
    }
    out.close();
    return !out.fail();
}

std::optional<std::filesystem::path> DirectoryOperations::ExportLinks(
    const std::optional<std::string>& directory,
    const std::optional<std::filesystem::path>& target) {
    const std::vector<std::string> directories =
        directory ? std::vector<std::string>{*directory} : core_.navigation.DirectoryPaths();
    std::vector<std::pair<std::string, std::vector<MediaRecord>>> sections;
    for (const std::string& path : directories) {
        sections.emplace_back(path, core_.library.MediaUnder(path, kPublished));
    }
    std::optional<std::filesystem::path> file = ChooseExportFile(target);
    if (!file || !WriteLinkFile(*file, sections)) {
        return std::nullopt;
    }
    return file;
}

std::optional<std::filesystem::path> DirectoryOperations::ExportLinks(
    const std::string& directory, const std::vector<MediaRecord>& records,
    const std::optional<std::filesystem::path>& target) {
    std::vector<MediaRecord> published;
    std::copy_if(records.begin(), records.end(), std::back_inserter(published),
                 [](const MediaRecord& r) { return r.state == kPublished; });
    std::optional<std::filesystem::path> file = ChooseExportFile(target);
    if (!file || !WriteLinkFile(*file, {{directory, published}})) {
        return std::nullopt;
    }
    return file;
}

}  // namespace wharfkeep::host
