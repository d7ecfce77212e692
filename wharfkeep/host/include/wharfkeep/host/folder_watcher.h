#pragma once
// Watches folders for media files that arrive or change, and reports each one only after it
// has settled: its size and modification time stayed the same for the settling time, so a
// file still being copied in is never handed on half-written.
//
// inotify tells about new, closed-after-writing and moved-in files and new subfolders; a
// periodic rescan catches what inotify cannot see (network file systems, an overflowed
// event queue). When the kernel's watch limit is reached the watcher logs a warning once and
// relies on rescans alone, at a shorter interval.
//
// Threading contract: one watcher thread does all the work and calls the Listener on that
// thread, never while holding the watcher's lock. Watch, Unwatch, Roots and Degraded may be
// called on any thread. The destructor stops and joins the thread; after it returns the
// listener is not called again.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wharfkeep::host {

struct FolderWatcherOptions {
    std::chrono::milliseconds settle_time{std::chrono::seconds(10)};
    // How often files not yet settled are examined again.
    std::chrono::milliseconds poll_interval{std::chrono::milliseconds(500)};
    std::chrono::milliseconds rescan_interval{std::chrono::minutes(5)};
    // The rescan interval while inotify cannot watch every folder.
    std::chrono::milliseconds fallback_rescan_interval{std::chrono::seconds(30)};
    // At most this many inotify watches; beyond it the watcher behaves as at the kernel's
    // limit (tests use a small number; the kernel's own limit applies anyway).
    std::size_t max_watches = static_cast<std::size_t>(-1);
};

class FolderWatcher {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // Media files under `root` that are new or changed since they were last reported,
        // and have settled.
        virtual void OnFilesSettled(const std::string& root,
                                    const std::vector<std::string>& files) = 0;
        // A media file under `root` has gone (deleted or moved away).
        virtual void OnFilesGone(const std::string& root) = 0;
    };

    FolderWatcher(Listener& listener, FolderWatcherOptions options = {});
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Starts watching a folder (given with or without a trailing "/"); every media file in it
    // is reported once it has settled, so files that arrived while nobody watched are seen.
    void Watch(const std::string& root);
    void Unwatch(const std::string& root);
    std::vector<std::string> Roots() const;
    // True while some folder is covered by rescans only (watch limit, inotify unavailable).
    bool Degraded() const;
    // Turns of the watcher thread that scanned roots in full (a root newly watched, a
    // rescan), counted at the end of the turn, after its reports: what changed on disk
    // before a turn began has been seen once this count has grown by two.
    std::uint64_t ScanRounds() const;

private:
    class Worker;
    std::unique_ptr<Worker> worker_;
};

// True for the file names the publisher takes (".mp4", ".ghd", ".zhd", case ignored).
bool IsPublishableName(const std::string& name);

}  // namespace wharfkeep::host
