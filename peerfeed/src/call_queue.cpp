#include "call_queue.h"

#include <event2/event.h>

#include <stdexcept>

#include "platform/manual_reset_event.h"

namespace peerfeed {

struct call_queue::task {
    std::function<void()> work;
    platform::ManualResetEvent done;
    bool ran = false;  // written before `done` is set, read after the wait
};

call_queue::call_queue(event_base* base) {
    wake_ = event_new(base, -1, 0, &call_queue::on_wake, this);
    if (wake_ == nullptr) {
        throw std::runtime_error("cannot create the call queue event");
    }
}

call_queue::~call_queue() {
    close();
}

bool call_queue::run(std::function<void()> work) {
    auto item = std::make_shared<task>();
    item->work = std::move(work);
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        tasks_.push_back(item);
        // Activated under the lock so that close() cannot free the event in between.
        event_active(wake_, 0, 0);
    }
    item->done.wait();
    return item->ran;
}

void call_queue::on_wake(int, short, void* self) {
    static_cast<call_queue*>(self)->drain();
}

void call_queue::drain() {
    for (;;) {
        std::shared_ptr<task> front;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) {
                return;
            }
            front = std::move(tasks_.front());
            tasks_.pop_front();
        }
        // Tasks run without the lock, so a slow task does not hold up the host threads
        // that are appending.
        try {
            front->work();
            front->ran = true;
        } catch (...) {
            // No exception crosses into the event loop; the caller sees a failed call.
        }
        front->done.set();
    }
}

void call_queue::close() {
    std::deque<std::shared_ptr<task>> dropped;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        closed_ = true;
        dropped.swap(tasks_);
        if (wake_ != nullptr) {
            event_free(wake_);
            wake_ = nullptr;
        }
    }
    for (const auto& item : dropped) {
        item->done.set();
    }
}

}  // namespace peerfeed
