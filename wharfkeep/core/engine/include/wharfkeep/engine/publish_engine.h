#pragma once
// MyPublishEngine turns one local media file into a published resource: it probes the
// file, has libMoovwright.so restructure a plain MP4 in place, computes the GCID and the
// digests (from the bytes as the job writes them, or in one read of a streamable file),
// parses the container, writes the stream-description file beside the medium,
// builds the published link and sends the publish report.
//
// Threading: PublishFile runs on one thread at a time (the publisher thread).
// UnpublishFile with two empty texts may be called from any thread to abandon the file
// being published; the setters and RelinkUrl may be called from any thread. The engine's
// start-up thread resends the reports logged by an earlier run.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/guarded_value.h"
#include "wharfkeep/engine/link.h"
#include "wharfkeep/publish_result.h"
#include "wharfkeep/report/publish_reporter.h"

class IStreamWriteSink;

namespace wharfkeep {

class MoovwrightBinding;
class MyPublishEngineListener;

// Settings that tests and tools may change; the defaults are the program's.
struct PublishEngineOptions {
    // Where libMoovwright.so is looked for, in order; empty: beside the program, then the
    // library folder next to it.
    std::vector<std::filesystem::path> library_candidates;
    // The publish-report endpoint; absent: read from Wharfkeep.ini.
    std::optional<ReportEndpoint> publish_endpoint;
    ReportTimeouts report_timeouts;
    // How long the start-up thread waits before resending logged reports.
    std::chrono::milliseconds startup_delay{1000};
    // How often a running restructuring is checked.
    std::chrono::milliseconds poll_interval{50};
    // Where errors that do not fail a publication go (a report that cannot be built or
    // logged); empty: standard error.
    std::function<void(const std::string&)> log_error;
};

class MyPublishEngine {
public:
    explicit MyPublishEngine(PublishEngineOptions options = {});
    virtual ~MyPublishEngine();
    MyPublishEngine(const MyPublishEngine&) = delete;
    MyPublishEngine& operator=(const MyPublishEngine&) = delete;

    // A non-empty text replaces the stored one, an empty one empties it.
    void SetLinkSettings(const std::string& ip_host, const std::string& domain_host,
                         std::uint32_t peer_port, std::uint32_t list_port, const std::string& sid);
    // Folder of the pending-report log.
    void SetReportFolder(const std::string& folder);
    // The Master ID the reports carry (at most 255 bytes).
    void SetReportMasterId(const std::string& master_id);
    // Reads the publish-report endpoint from Wharfkeep.ini again (unless the options fixed
    // it) for the reports sent from now on; returns the endpoint now in use.
    ReportEndpoint ReloadReportEndpoint();

    PublishFileResult PublishFile(const std::string& path);
    // Reads, on a thread of its own, what publishing `path` reads first (its boxes, its
    // movie box, and asks the kernel for the start of its media data), so that a folder's
    // next file is probed while the current one is written. One file at a time: a call while
    // the previous one still runs does nothing. Call from the publisher thread.
    void PrepareNext(const std::string& path);
    // Both texts empty: abandons the file being published (the library's Cancel result).
    // Otherwise deletes the stream-description file and tells both servers to close the
    // CID's file; the list server's result.
    int UnpublishFile(const std::string& cid, const std::string& sts_path);
    // A stored link rebuilt for the current settings; the link itself when it cannot be.
    std::string RelinkUrl(const std::string& link) const;
    // Sends the reports of finished publications.
    void SendPendingReports();

    // Whether plain MP4 files can be restructured, and if not, why.
    bool CanRestructure() const;
    std::string RestructureUnavailableReason() const;
    // True while a PublishFile call is in progress.
    bool IsPublishing() const { return publishing_; }
    // Percentage done of the restructuring in progress; 0 when none runs.
    int GetProgress() const;
    // True once the start-up thread has finished resending.
    bool StartupFinished() const { return startup_finished_; }

private:
    friend class MyPublishEngineListener;

    PublishFileResult publish(const std::string& path);
    // `sink` (may be null) is told the bytes of the new file as the job writes them.
    int restructure(const std::string& path, IStreamWriteSink* sink, std::string& error);
    void run_startup();

    PublishEngineOptions options_;
    std::unique_ptr<MoovwrightBinding> library_;
    std::unique_ptr<MyPublishEngineListener> listener_;

    platform::GuardedValue<LinkSettings> links_;
    mutable std::mutex settings_mutex_;  // guards report_master_id_
    std::string report_master_id_;

    std::mutex pending_mutex_;
    std::map<std::string, std::string> pending_reports_;  // link -> media path
    PublishReporter reporter_;

    std::atomic<bool> done_{false};
    std::atomic<bool> failed_{false};
    std::atomic<std::uint32_t> error_code_{0};
    std::string error_text_;  // written by the listener before failed_ is set
    // Wakes the publisher as soon as the job has ended, rather than at its next poll.
    std::mutex job_end_mutex_;
    std::condition_variable job_ended_;
    std::atomic<bool> publishing_{false};
    std::atomic<bool> cancel_requested_{false};

    std::atomic<bool> stopping_{false};
    std::atomic<bool> startup_finished_{false};
    std::mutex startup_mutex_;
    std::condition_variable startup_wake_;
    std::thread startup_thread_;

    std::thread prepare_thread_;  // started and joined by the publisher thread
    std::atomic<bool> preparing_{false};
};

}  // namespace wharfkeep
