#include "platform/loop_call_queue.h"

#include "platform/manual_reset_event.h"

namespace platform {

struct LoopCallQueue::Pending {
    Task task;
    ManualResetEvent done;
    Outcome outcome = Outcome::dropped;  // written before `done` is set, read after the wait
};

LoopCallQueue::Outcome LoopCallQueue::run_and_wait(Task task) {
    auto entry = std::make_shared<Pending>();
    entry->task = std::move(task);
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return Outcome::dropped;
        }
        pending_.push_back(entry);
        // Under the lock: while the queue is open, the loop's wake-up event is still alive.
        wake_();
    }
    entry->done.wait();
    return entry->outcome;
}

void LoopCallQueue::drain() {
    // The whole batch at once: tasks appended meanwhile wake the loop again.
    std::deque<std::shared_ptr<Pending>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    for (const auto& entry : batch) {
        try {
            entry->task();
            entry->outcome = Outcome::ran;
        } catch (...) {
            // No exception crosses into the event loop; the caller learns of it.
            entry->outcome = Outcome::failed;
        }
        entry->done.set();
    }
}

void LoopCallQueue::close() {
    std::deque<std::shared_ptr<Pending>> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(pending_);
    }
    for (const auto& entry : dropped) {
        entry->done.set();
    }
}

}  // namespace platform
