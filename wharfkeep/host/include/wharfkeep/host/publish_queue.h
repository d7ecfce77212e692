#pragma once
// The publisher: the queue of media files waiting to be published, with its two threads and
// the engine. It stores each file's start and outcome itself, on its own thread, and only
// then tells the listeners (HostEvents): a result is recorded whether or not a window or a
// message loop runs.
//
// Threading contract:
// - The user-interface thread calls every public operation.
// - The dispatcher thread lives from construction to Shutdown(). It learns of work only
//   through its thread messages and never touches `pending_`; it starts the publisher, asks
//   the engine to abandon the current file, and joins the publisher.
// - The publisher thread exists while there is work. It takes the lock only to remove the
//   first pending record and to set or clear the current file; the engine runs without it.
//   It writes the record's row and its directories' published counts through MediaLibrary
//   (the database serializes statements) and calls the listeners on its own thread.
// - While the engine works on a file, a watch thread reads its percentage and raises
//   PublicationProgress on that thread; it ends before the file's outcome is stored.
// - `mutex_` guards `pending_`, `current_path_`, `stopping_`.
// - Records cross threads by copy: a pending record belongs to the queue, the current one to
//   the publisher; listeners get the stored values in the event.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/manual_reset_event.h"
#include "platform/message_queue.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/publish_backend.h"

namespace wharfkeep::host {

// Thread messages of the dispatcher (numbers fixed).
enum class QueueMessage : unsigned {
    TM_QUEUE_START = 4025,
    TM_QUEUE_ABORT_CURRENT = 4026,
    TM_QUEUE_SHUTDOWN = 4027,
    TM_QUEUE_PUBLISHER_DONE = 4029,
};

// The state a publish result code gives a record: 0 published, 2 rejected header, 25
// abandoned, 26 not streamable, anything else failed.
int StateForPublishResult(int code);

class PublishQueue {
public:
    // Outcomes go to `store` while it is open (a queue without a database only reports them)
    // and then to `events`. Both outlive the queue.
    PublishQueue(std::unique_ptr<PublishBackend> engine, ResourceDatabase& store,
                 HostEvents& events);
    // Shuts down when Shutdown() was not called.
    ~PublishQueue();
    PublishQueue(const PublishQueue&) = delete;
    PublishQueue& operator=(const PublishQueue&) = delete;

    PublishBackend& engine() { return *engine_; }

    // Appends copies of the records (an empty Name becomes the file-name part of LocalPath)
    // and wakes the dispatcher.
    void Enqueue(const std::vector<MediaRecord>& records);
    // Removes the pending record with exactly this LocalPath; true when there was one.
    bool RemovePending(const std::string& local_path);
    // True when `local_path` is the file being published now.
    bool IsCurrent(const std::string& local_path) const;
    // Asks the dispatcher to have the engine abandon the file being published.
    void AbortCurrent();
    // Releases every pending record.
    void ClearPending();
    // Abandons the current file, waits for the publisher, then ends the dispatcher. Records
    // still pending stay in the database in their queued state. Idempotent.
    void Shutdown();

    bool dispatcher_running() const { return dispatcher_.joinable(); }
    std::size_t pending_count() const;
    // No pending record and no file being published.
    bool idle() const;

    // Tests only: run on the publisher thread after it found pending empty and before it
    // reports its end, the moment in which a new record could otherwise be left waiting.
    void SetIdleHookForTesting(std::function<void()> hook) { idle_hook_ = std::move(hook); }

private:
    void DispatcherLoop();
    void PublisherLoop();
    void PublishOne(MediaRecord record);
    // False when the database refused the write.
    // With `finished`, a publication's outcome; the directories it recounted go to
    // `recounted` when given.
    bool Store(MediaRecord& record, bool finished,
               std::vector<DirectoryCount>* recounted = nullptr);
    std::optional<MediaRecord> TakeFirst();

    std::unique_ptr<PublishBackend> engine_;
    MediaLibrary library_;
    HostEvents& events_;

    mutable std::mutex mutex_;
    std::deque<MediaRecord> pending_;
    std::optional<std::string> current_path_;
    bool stopping_ = false;

    platform::MessageQueue<QueueMessage> messages_;
    std::thread dispatcher_;
    // Owned by the dispatcher thread only.
    std::thread publisher_;
    platform::ManualResetEvent publisher_ended_{true};
    std::function<void()> idle_hook_;
};

}  // namespace wharfkeep::host
