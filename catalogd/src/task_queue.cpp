#include "task_queue.h"

namespace catalogd {

bool TaskQueue::run_and_wait(Task task) {
    std::future<bool> done;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        Pending& entry = pending_.emplace_back(Pending{std::move(task), {}});
        done = entry.done.get_future();
        // Under the lock: once the queue is open, the loop's wake-up event is still alive.
        wake_();
    }
    return done.get();
}

void TaskQueue::drain() {
    for (;;) {
        Pending entry;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                return;
            }
            entry = std::move(pending_.front());
            pending_.pop_front();
        }
        // Run outside the lock so that a task may itself use the queue's owner.
        try {
            entry.task();
        } catch (...) {
        }
        entry.done.set_value(true);
    }
}

void TaskQueue::discard_all() {
    std::deque<Pending> discarded;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        discarded.swap(pending_);
    }
    for (Pending& entry : discarded) {
        entry.done.set_value(false);
    }
}

}  // namespace catalogd
