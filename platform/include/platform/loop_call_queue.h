#pragma once
// Work that other threads hand to an event-loop thread and wait for.
//
// Threading contract: run_and_wait() is called on any thread except the loop thread; it
// appends the task and calls the wake-up function (which must make the loop call drain())
// under the queue's lock, then blocks until the task ran or was dropped. drain() and close()
// run on the loop thread only. After close() the queue refuses new tasks at once and never
// calls the wake-up function again, so the loop may free its wake-up event right after.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class LoopCallQueue {
public:
    using Task = std::function<void()>;

    enum class Outcome {
        ran,      // the task returned normally
        failed,   // the task threw; the exception stayed on the loop thread
        dropped,  // the queue was closed before the task ran
        late,     // the deadline passed first; the task may still run later
    };

    explicit LoopCallQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
    LoopCallQueue(const LoopCallQueue&) = delete;
    LoopCallQueue& operator=(const LoopCallQueue&) = delete;
    ~LoopCallQueue() { close(); }

    Outcome run_and_wait(Task task);
    // As run_and_wait, but waits at most `deadline`: a loop that is stuck cannot hold the
    // caller. The task outlives a late answer, so it must not refer to the caller's stack.
    Outcome run_and_wait_for(Task task, std::chrono::milliseconds deadline);
    // Whether the loop answers: an empty task waited for at most `deadline`. 0 when it ran
    // (or threw), 1 when the queue is closed, 2 when the loop did not get to it in time: the
    // answer of the servers' probe_loop exports.
    int probe(std::chrono::milliseconds deadline);

    // Runs the tasks queued so far in order, without the queue's lock, so that a slow task
    // does not hold up the threads that are appending.
    void drain();
    // Releases every waiter without running its task and refuses new tasks.
    void close();

private:
    struct Pending;
    // The queued entry, or null when the queue is closed.
    std::shared_ptr<Pending> append(Task task);

    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<std::shared_ptr<Pending>> pending_;
    bool closed_ = false;
};

}  // namespace platform
