#include "call_queue.h"

#include <event2/event.h>

#include <stdexcept>

namespace peerfeed {

call_queue::call_queue(event_base* base)
    : wake_(event_new(base, -1, 0, &call_queue::on_wake, this)),
      tasks_([this] { event_active(wake_, 0, 0); }) {
    if (wake_ == nullptr) {
        throw std::runtime_error("cannot create the call queue event");
    }
}

call_queue::~call_queue() {
    close();
}

bool call_queue::run(std::function<void()> task) {
    return tasks_.run_and_wait(std::move(task)) == platform::LoopCallQueue::Outcome::ran;
}

void call_queue::on_wake(int, short, void* self) {
    static_cast<call_queue*>(self)->tasks_.drain();
}

void call_queue::close() {
    // Once closed, the queue never wakes the loop again, so the event can go.
    tasks_.close();
    if (wake_ != nullptr) {
        event_free(wake_);
        wake_ = nullptr;
    }
}

}  // namespace peerfeed
