#include "wharfkeep/host/folder_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/log.h"

namespace wharfkeep::host {

bool IsPublishableName(const std::string& name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".mp4" || extension == ".ghd" || extension == ".zhd";
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                     IN_MOVED_FROM | IN_DELETE_SELF | IN_ONLYDIR;

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool IsUnder(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
           path[root.size()] == '/';
}

// What identifies a version of a file: a copy in progress changes one or the other.
struct FileVersion {
    std::int64_t size = -1;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileVersion&) const = default;
};

// The version of a regular file; nothing for anything else (a FIFO is never opened).
std::optional<FileVersion> RegularFileVersion(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return FileVersion{
        static_cast<std::int64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace

class FolderWatcher::Worker {
public:
    Worker(Listener& listener, FolderWatcherOptions options)
        : listener_(listener), options_(options) {
        inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_fd_ < 0) {
            platform::log::warning(
                "watched folders: inotify unavailable ({}); rescanning every {:g} s",
                std::strerror(errno), FallbackSeconds());
        }
        wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        thread_ = std::thread([this] { Run(); });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
        if (inotify_fd_ >= 0) {
            ::close(inotify_fd_);
        }
        if (wake_fd_ >= 0) {
            ::close(wake_fd_);
        }
    }

    void Watch(const std::string& root) { Command(WithoutTrailingSlash(root), true); }

    void Unwatch(const std::string& root) { Command(WithoutTrailingSlash(root), false); }

    std::vector<std::string> Roots() const {
        std::lock_guard lock(mutex_);
        return {roots_.begin(), roots_.end()};
    }

    bool Degraded() const {
        std::lock_guard lock(mutex_);
        return degraded_;
    }

    std::uint64_t ScanRounds() const {
        std::lock_guard lock(mutex_);
        return scan_rounds_;
    }

private:
    struct RootChange {
        std::string root;
        bool watch = false;
    };
    struct Candidate {
        std::string root;
        FileVersion version;
        Clock::time_point unchanged_since;
    };
    using Batches = std::map<std::string, std::vector<std::string>>;

    // The set of roots changes at once; the watcher thread scans or forgets on its next turn.
    void Command(const std::string& root, bool watch) {
        {
            std::lock_guard lock(mutex_);
            bool changed = watch ? roots_.insert(root).second : roots_.erase(root) != 0;
            if (!changed) {
                return;
            }
            commands_.push_back({root, watch});
        }
        Wake();
    }

    double FallbackSeconds() const {
        return std::chrono::duration<double>(options_.fallback_rescan_interval).count();
    }

    void Wake() const {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
    }

    void Run() {
        Clock::time_point last_rescan = Clock::now();
        while (true) {
            std::vector<RootChange> commands;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    return;
                }
                commands.swap(commands_);
            }
            bool scanned = false;
            for (const RootChange& command : commands) {
                command.watch ? AddRoot(command.root) : RemoveRoot(command.root);
                scanned = scanned || command.watch;
            }
            WaitForEvents();
            std::set<std::string> gone_roots;
            ReadEvents(gone_roots);
            // The interval shortens as soon as the watcher falls back to rescans.
            if (Clock::now() >= last_rescan + RescanInterval() || overflowed_) {
                overflowed_ = false;
                RescanAll(gone_roots);
                last_rescan = Clock::now();
                scanned = true;
            }
            Batches settled = CollectSettled(gone_roots);
            Report(settled, gone_roots);
            if (scanned) {
                std::lock_guard lock(mutex_);
                ++scan_rounds_;
            }
        }
    }

    std::chrono::milliseconds RescanInterval() const {
        return Degraded() ? options_.fallback_rescan_interval : options_.rescan_interval;
    }

    void WaitForEvents() {
        std::array<pollfd, 2> fds{pollfd{wake_fd_, POLLIN, 0}, pollfd{inotify_fd_, POLLIN, 0}};
        nfds_t count = inotify_fd_ >= 0 ? 2 : 1;
        ::poll(fds.data(), count, static_cast<int>(options_.poll_interval.count()));
        std::uint64_t drained = 0;
        [[maybe_unused]] ssize_t read_bytes = ::read(wake_fd_, &drained, sizeof drained);
    }

    // ---- Roots and watches ----

    void AddRoot(const std::string& root) {
        missing_logged_.erase(root);
        std::set<std::string> unused;
        ScanRoot(root, unused);
    }

    void RemoveRoot(const std::string& root) {
        for (auto it = watches_.begin(); it != watches_.end();) {
            if (it->second == root || IsUnder(it->second, root)) {
                if (inotify_fd_ >= 0) {
                    ::inotify_rm_watch(inotify_fd_, it->first);
                }
                watched_dirs_.erase(it->second);
                it = watches_.erase(it);
            } else {
                ++it;
            }
        }
        std::erase_if(candidates_, [&](const auto& entry) { return entry.second.root == root; });
        std::erase_if(reported_, [&](const auto& entry) { return IsUnder(entry.first, root); });
    }

    // Owning root of a path under one; empty when none.
    std::string RootOf(const std::string& path) const {
        std::lock_guard lock(mutex_);
        for (const std::string& root : roots_) {
            if (path == root || IsUnder(path, root)) {
                return root;
            }
        }
        return {};
    }

    void AddWatch(const std::string& directory) {
        if (watched_dirs_.count(directory) != 0) {
            return;
        }
        if (inotify_fd_ < 0) {
            SetDegraded();
            return;
        }
        if (watches_.size() >= options_.max_watches) {
            errno = ENOSPC;
            OnWatchFailed(directory);
            return;
        }
        int wd = ::inotify_add_watch(inotify_fd_, directory.c_str(), kWatchMask);
        if (wd < 0) {
            OnWatchFailed(directory);
            return;
        }
        watches_[wd] = directory;
        watched_dirs_.insert(directory);
    }

    void OnWatchFailed(const std::string& directory) {
        if (errno == ENOSPC || errno == ENOMEM) {
            if (!Degraded()) {
                platform::log::warning(
                    "watched folders: the inotify watch limit is reached at {}; rescanning "
                    "every {:g} s instead (raise fs.inotify.max_user_watches to avoid this)",
                    directory, FallbackSeconds());
            }
            SetDegraded();
        }
        // Anything else (the folder vanished, permission): the rescan tries again.
    }

    void SetDegraded() {
        std::lock_guard lock(mutex_);
        degraded_ = true;
    }

    // ---- Scanning ----

    // Watches every folder under `root` and makes every media file a candidate unless it is
    // unchanged since it was last reported; a reported file that is no longer there marks the
    // root in `gone_roots`.
    void ScanRoot(const std::string& root, std::set<std::string>& gone_roots) {
        std::error_code error;
        if (!std::filesystem::is_directory(root, error)) {
            if (missing_logged_.insert(root).second) {
                platform::log::warning("watched folder {} is missing; checking again later", root);
            }
            return;
        }
        missing_logged_.erase(root);
        std::set<std::string> present;
        ScanFolder(root, root, present);
        for (auto it = reported_.begin(); it != reported_.end();) {
            if (IsUnder(it->first, root) && present.count(it->first) == 0) {
                gone_roots.insert(root);
                it = reported_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void ScanFolder(const std::string& folder, const std::string& root,
                    std::set<std::string>& present) {
        AddWatch(folder);
        std::error_code error;
        std::filesystem::directory_iterator it(folder, error);
        std::vector<std::string> subfolders;
        for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            std::error_code status_error;
            const std::filesystem::directory_entry& entry = *it;
            std::string path = entry.path().string();
            // Folder links are not followed, so a link loop cannot make the walk endless.
            if (entry.is_directory(status_error) && !entry.is_symlink(status_error)) {
                subfolders.push_back(path);
            } else if (IsPublishableName(entry.path().filename().string())) {
                present.insert(path);
                ConsiderFile(path, root);
            }
        }
        for (const std::string& subfolder : subfolders) {
            ScanFolder(subfolder, root, present);
        }
    }

    void RescanAll(std::set<std::string>& gone_roots) {
        for (const std::string& root : Roots()) {
            ScanRoot(root, gone_roots);
        }
    }

    // Starts the settling clock for a file unless it is unchanged since it was last reported
    // or is already being watched settle.
    void ConsiderFile(const std::string& path, const std::string& root) {
        std::optional<FileVersion> version = RegularFileVersion(path);
        if (!version) {
            return;
        }
        auto reported = reported_.find(path);
        if (reported != reported_.end() && reported->second == *version) {
            return;
        }
        auto [it, added] = candidates_.try_emplace(path, Candidate{root, *version, Clock::now()});
        if (!added && it->second.version != *version) {
            it->second.version = *version;
            it->second.unchanged_since = Clock::now();
        }
    }

    // ---- inotify events ----

    void ReadEvents(std::set<std::string>& gone_roots) {
        if (inotify_fd_ < 0) {
            return;
        }
        alignas(inotify_event) std::array<char, 16384> buffer{};
        while (true) {
            ssize_t length = ::read(inotify_fd_, buffer.data(), buffer.size());
            if (length <= 0) {
                return;
            }
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
                HandleEvent(*event, gone_roots);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    void HandleEvent(const inotify_event& event, std::set<std::string>& gone_roots) {
        if (event.mask & IN_Q_OVERFLOW) {
            platform::log::warning("watched folders: the inotify queue overflowed; rescanning");
            overflowed_ = true;
            return;
        }
        auto watch = watches_.find(event.wd);
        if (watch == watches_.end()) {
            return;
        }
        const std::string directory = watch->second;
        if (event.mask & (IN_DELETE_SELF | IN_IGNORED)) {
            watched_dirs_.erase(directory);
            watches_.erase(watch);
            return;
        }
        if (event.len == 0) {
            return;
        }
        std::string path = directory + "/" + event.name;
        std::string root = RootOf(path);
        if (root.empty()) {
            return;
        }
        if (event.mask & IN_ISDIR) {
            if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
                // Files may have arrived before the watch did: the scan finds them.
                std::set<std::string> present;
                ScanFolder(path, root, present);
            } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
                ForgetUnder(path, root, gone_roots);
            }
            return;
        }
        if (!IsPublishableName(event.name)) {
            return;
        }
        if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
            candidates_.erase(path);
            if (reported_.erase(path) != 0) {
                gone_roots.insert(root);
            }
        } else {
            ConsiderFile(path, root);
        }
    }

    void ForgetUnder(const std::string& folder, const std::string& root,
                     std::set<std::string>& gone_roots) {
        std::erase_if(candidates_, [&](const auto& entry) { return IsUnder(entry.first, folder); });
        std::size_t forgotten = std::erase_if(
            reported_, [&](const auto& entry) { return IsUnder(entry.first, folder); });
        if (forgotten != 0) {
            gone_roots.insert(root);
        }
    }

    // ---- Settling ----

    Batches CollectSettled(std::set<std::string>& gone_roots) {
        Batches settled;
        const Clock::time_point now = Clock::now();
        for (auto it = candidates_.begin(); it != candidates_.end();) {
            std::optional<FileVersion> version = RegularFileVersion(it->first);
            if (!version) {
                // Gone or no longer a regular file before it settled.
                if (reported_.erase(it->first) != 0) {
                    gone_roots.insert(it->second.root);
                }
                it = candidates_.erase(it);
                continue;
            }
            if (*version != it->second.version) {
                it->second.version = *version;
                it->second.unchanged_since = now;
            } else if (now - it->second.unchanged_since >= options_.settle_time) {
                reported_[it->first] = *version;
                settled[it->second.root].push_back(it->first);
                it = candidates_.erase(it);
                continue;
            }
            ++it;
        }
        return settled;
    }

    void Report(const Batches& settled, const std::set<std::string>& gone_roots) {
        for (const std::string& root : gone_roots) {
            if (!RootOf(root).empty()) {
                listener_.OnFilesGone(root);
            }
        }
        for (const auto& [root, files] : settled) {
            if (!RootOf(root).empty()) {
                listener_.OnFilesSettled(root, files);
            }
        }
    }

    Listener& listener_;
    const FolderWatcherOptions options_;
    int inotify_fd_ = -1;
    int wake_fd_ = -1;

    mutable std::mutex mutex_;  // guards commands_, roots_, degraded_, stopping_, scan_rounds_
    std::vector<RootChange> commands_;
    std::set<std::string> roots_;
    bool degraded_ = false;
    bool stopping_ = false;
    std::uint64_t scan_rounds_ = 0;

    // The watcher thread's own state.
    std::map<int, std::string> watches_;  // watch descriptor -> folder
    std::set<std::string> watched_dirs_;
    std::map<std::string, Candidate> candidates_;  // files not yet settled
    std::map<std::string, FileVersion> reported_;  // the version last reported of each file
    std::set<std::string> missing_logged_;
    bool overflowed_ = false;
    std::thread thread_;
};

FolderWatcher::FolderWatcher(Listener& listener, FolderWatcherOptions options)
    : worker_(std::make_unique<Worker>(listener, options)) {}

FolderWatcher::~FolderWatcher() = default;

void FolderWatcher::Watch(const std::string& root) {
    worker_->Watch(root);
}

void FolderWatcher::Unwatch(const std::string& root) {
    worker_->Unwatch(root);
}

std::vector<std::string> FolderWatcher::Roots() const {
    return worker_->Roots();
}

bool FolderWatcher::Degraded() const {
    return worker_->Degraded();
}

std::uint64_t FolderWatcher::ScanRounds() const {
    return worker_->ScanRounds();
}

}  // namespace wharfkeep::host
