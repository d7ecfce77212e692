#pragma once
// Work that other threads hand to the service thread and wait for.
//
// Threading contract: run_and_wait() is called on any thread except the service thread; it
// appends the task and calls the wake-up function (which makes the event loop call drain())
// under the queue's lock, then blocks until the task ran or was discarded. drain() and
// discard_all() run on the service thread only. After discard_all() the queue is closed:
// later tasks are refused at once, so no caller can wait for a loop that has ended.

#include <deque>
#include <functional>
#include <future>
#include <mutex>

namespace catalogd {

class TaskQueue {
public:
    using Task = std::function<void()>;

    explicit TaskQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;
    ~TaskQueue() { discard_all(); }

    // True when the task ran, false when it was discarded (the loop ended first).
    bool run_and_wait(Task task);

    // Runs every queued task in order. A task that throws counts as run.
    void drain();
    // Releases every waiter without running its task and refuses new tasks.
    void discard_all();

private:
    struct Pending {
        Task task;
        std::promise<bool> done;
    };

    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<Pending> pending_;
    bool closed_ = false;
};

}  // namespace catalogd
