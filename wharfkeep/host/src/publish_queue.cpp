#include "wharfkeep/host/publish_queue.h"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <stop_token>

#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {
namespace {

// How often a shutdown repeats its cancel while the publisher still runs: a restructuring
// that started in the instant of the first cancel is abandoned by the next one.
constexpr std::chrono::milliseconds kShutdownCancelPeriod{100};

// How often the percentage of the file being restructured is read.
constexpr std::chrono::milliseconds kProgressPeriod{250};

// While it lives, raises PublicationProgress from its own thread each time the engine's
// percentage of the current file changes. It is destroyed (and joined) before the outcome is
// stored, so no progress of a file follows its PublicationFinished.
class ProgressWatch {
public:
    ProgressWatch(PublishBackend& engine, HostEvents& events, std::string local_path)
        : thread_([this, &engine, &events, path = std::move(local_path)](std::stop_token stop) {
              Watch(stop, engine, events, path);
          }) {}

private:
    void Watch(const std::stop_token& stop, PublishBackend& engine, HostEvents& events,
               const std::string& path) {
        int last = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait_for(lock, stop, kProgressPeriod, [] { return false; });
            if (stop.stop_requested()) {
                return;
            }
            const int percent = engine.GetProgress();
            if (percent != last) {
                last = percent;
                events.Notify(PublicationProgress{path, percent});
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: starts after the members it uses
};

}  // namespace

int StateForPublishResult(int code) {
    switch (code) {
        case wharfkeep::kPublished:
            return kPublished;
        case kPublishHeaderRejected:
            return kHeaderRejected;
        case kPublishCancelled:
            return kNotPublished;
        case kPublishNotStreamable:
            return kNotStreamable;
        default:
            return kFailed;
    }
}

PublishQueue::PublishQueue(std::unique_ptr<PublishBackend> engine, ResourceDatabase& store,
                           HostEvents& events)
    : engine_(std::move(engine)), library_(store), events_(events) {
    dispatcher_ = std::thread(&PublishQueue::DispatcherLoop, this);
}

PublishQueue::~PublishQueue() {
    Shutdown();
}

void PublishQueue::Enqueue(const std::vector<MediaRecord>& records) {
    {
        std::lock_guard lock(mutex_);
        for (const MediaRecord& record : records) {
            MediaRecord copy = record;
            if (copy.name.empty()) {
                copy.name = FileNameOf(copy.local_path);
            }
            pending_.push_back(std::move(copy));
        }
    }
    messages_.post(QueueMessage::TM_QUEUE_START);
}

bool PublishQueue::RemovePending(const std::string& local_path) {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->local_path == local_path) {
            pending_.erase(it);
            return true;
        }
    }
    return false;
}

bool PublishQueue::IsCurrent(const std::string& local_path) const {
    std::lock_guard lock(mutex_);
    return current_path_ && *current_path_ == local_path;
}

void PublishQueue::AbortCurrent() {
    messages_.post(QueueMessage::TM_QUEUE_ABORT_CURRENT);
}

void PublishQueue::ClearPending() {
    std::lock_guard lock(mutex_);
    pending_.clear();
}

void PublishQueue::Shutdown() {
    if (!dispatcher_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    messages_.post(QueueMessage::TM_QUEUE_SHUTDOWN);
    messages_.quit();
    dispatcher_.join();
}

std::size_t PublishQueue::pending_count() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

bool PublishQueue::idle() const {
    std::lock_guard lock(mutex_);
    return pending_.empty() && !current_path_;
}

void PublishQueue::DispatcherLoop() {
    while (std::optional<QueueMessage> message = messages_.receive()) {
        switch (*message) {
            case QueueMessage::TM_QUEUE_START:
                // A running publisher picks up the new records itself.
                if (!publisher_.joinable()) {
                    publisher_ended_.reset();
                    publisher_ = std::thread(&PublishQueue::PublisherLoop, this);
                }
                break;
            case QueueMessage::TM_QUEUE_ABORT_CURRENT: {
                bool has_current;
                {
                    std::lock_guard lock(mutex_);
                    has_current = current_path_.has_value();
                }
                if (publisher_.joinable() && has_current) {
                    engine_->UnpublishFile({}, {});
                }
                break;
            }
            case QueueMessage::TM_QUEUE_SHUTDOWN:
                if (publisher_.joinable()) {
                    do {
                        engine_->UnpublishFile({}, {});
                    } while (!publisher_ended_.wait_for(kShutdownCancelPeriod));
                    publisher_.join();
                }
                break;
            case QueueMessage::TM_QUEUE_PUBLISHER_DONE:
                if (publisher_.joinable()) {
                    publisher_.join();
                }
                break;
        }
    }
    if (publisher_.joinable()) {
        publisher_.join();
    }
}

std::optional<MediaRecord> PublishQueue::TakeFirst() {
    std::lock_guard lock(mutex_);
    if (stopping_ || pending_.empty()) {
        current_path_.reset();
        return std::nullopt;
    }
    MediaRecord record = std::move(pending_.front());
    pending_.pop_front();
    current_path_ = record.local_path;
    return record;
}

void PublishQueue::PublisherLoop() {
    while (std::optional<MediaRecord> record = TakeFirst()) {
        PublishOne(std::move(*record));
    }
    if (idle_hook_) {
        idle_hook_();
    }
    messages_.post(QueueMessage::TM_QUEUE_PUBLISHER_DONE);
    // Records queued after the loop found pending empty but before the dispatcher forgot
    // this thread would otherwise wait for the next start: look once more and, if there are
    // any, ask for a new publisher behind the end report.
    bool more;
    {
        std::lock_guard lock(mutex_);
        more = !stopping_ && !pending_.empty();
    }
    if (more) {
        messages_.post(QueueMessage::TM_QUEUE_START);
    }
    publisher_ended_.set();
}

void PublishQueue::PublishOne(MediaRecord record) {
    record.state = kPublishing;
    Store(record, false);
    events_.Notify(PublicationStarted{record});

    // The next file's probe overlaps this file's writing.
    std::optional<std::string> next;
    {
        std::lock_guard lock(mutex_);
        if (!pending_.empty()) {
            next = pending_.front().local_path;
        }
    }
    if (next) {
        engine_->PrepareNext(*next);
    }
    PublishFileResult outcome;
    {
        ProgressWatch watch(*engine_, events_, record.local_path);
        outcome = engine_->PublishFile(record.local_path);
    }
    record.cid = outcome.cid;
    record.sts_path = outcome.sts_path;
    record.url = outcome.url;
    record.publish_date = LocalTimeText(std::time(nullptr));
    record.state = StateForPublishResult(outcome.code);
    if (outcome.code == kPublishCancelled) {
        record.cid.clear();
        record.sts_path.clear();
        record.publish_date.clear();
        std::lock_guard lock(mutex_);
        if (stopping_) {
            // Abandoned because the program stops: the row stays "being published" so
            // that the next start offers it again.
            return;
        }
    }
    std::vector<DirectoryCount> recounted;
    const bool stored = Store(record, true, &recounted);
    std::string reason = outcome.error.empty() ? PublishCodeText(outcome.code) : outcome.error;
    if (!stored) {
        std::cerr << "wharfkeep: cannot store the result of " << record.local_path
                  << " in the database (disk full or not writable); it will be published again\n";
    }
    // The reason of a failure is kept beside the row, for the list, the publish page and the
    // control interface; a success forgets an earlier one.
    if (stored && library_.IsOpen()) {
        library_.StoreFailureReason(record.local_path, record.state < 0 ? reason : "");
    }
    events_.Notify(PublicationFinished{record, outcome.code, std::move(reason), stored});
    if (!recounted.empty()) {
        events_.Notify(PublishedCountChanged{std::move(recounted)});
    }
}

bool PublishQueue::Store(MediaRecord& record, bool finished,
                         std::vector<DirectoryCount>* recounted) {
    // Without a database (only queues under test run so) there is nothing to refuse.
    if (!library_.IsOpen()) {
        return true;
    }
    if (!finished) {
        return library_.Store(record);
    }
    if (!library_.StorePublication(record)) {
        return false;
    }
    if (record.state == kPublished) {
        std::vector<DirectoryCount> counts = library_.RecountDirectoriesOf(record.local_path);
        if (recounted != nullptr) {
            *recounted = std::move(counts);
        }
    }
    return true;
}

}  // namespace wharfkeep::host
