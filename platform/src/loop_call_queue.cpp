#include "platform/loop_call_queue.h"

#include "platform/manual_reset_event.h"

namespace platform {

struct LoopCallQueue::Pending {
    Task task;
    ManualResetEvent done;
    Outcome outcome = Outcome::dropped;  // written before `done` is set, read after the wait
};

std::shared_ptr<LoopCallQueue::Pending> LoopCallQueue::append(Task task) {
    auto entry = std::make_shared<Pending>();
    entry->task = std::move(task);
    std::lock_guard lock(mutex_);
    if (closed_) {
        return nullptr;
    }
    pending_.push_back(entry);
    // Under the lock: while the queue is open, the loop's wake-up event is still alive.
    wake_();
    return entry;
}

LoopCallQueue::Outcome LoopCallQueue::run_and_wait(Task task) {
    std::shared_ptr<Pending> entry = append(std::move(task));
    if (!entry) {
        return Outcome::dropped;
    }
    entry->done.wait();
    return entry->outcome;
}

LoopCallQueue::Outcome LoopCallQueue::run_and_wait_for(Task task,
                                                       std::chrono::milliseconds deadline) {
    std::shared_ptr<Pending> entry = append(std::move(task));
    if (!entry) {
        return Outcome::dropped;
    }
    // The entry is shared with the queue, so the loop may still run and set it later.
    if (!entry->done.wait_for(deadline)) {
        return Outcome::late;
    }
    return entry->outcome;
}

int LoopCallQueue::probe(std::chrono::milliseconds deadline) {
    switch (run_and_wait_for([] {}, deadline)) {
        case Outcome::ran:
        case Outcome::failed:
            return 0;
        case Outcome::dropped:
            return 1;
        case Outcome::late:
            break;
    }
    return 2;
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
