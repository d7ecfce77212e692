#include "waiting_room.h"

#include <event2/event.h>
#include <unistd.h>

#include <utility>

#include "platform/clock.h"

namespace peerfeed {

waiting_room::waiting_room(event_base* base, speaks_function speaks)
    : base_(base),
      speaks_(std::move(speaks)),
      deadline_timer_(evtimer_new(base, &waiting_room::on_deadline, this)) {}

waiting_room::~waiting_room() {
    while (!waiting_.empty()) {
        remove(waiting_.begin(), true);
    }
    if (deadline_timer_ != nullptr) {
        event_free(deadline_timer_);
    }
}

void waiting_room::admit(int fd, const sockaddr_in& peer, std::size_t capacity,
                         std::chrono::milliseconds deadline) {
    while (!waiting_.empty() && waiting_.size() >= capacity) {
        remove(waiting_.begin(), true);
    }
    if (capacity == 0 || deadline_timer_ == nullptr) {
        ::close(fd);
        return;
    }
    waiter& entry = waiting_.emplace_back();
    entry.position = std::prev(waiting_.end());
    entry.fd = fd;
    entry.peer = peer;
    entry.room = this;
    entry.leaves_at_ms = platform::monotonic_ms() + static_cast<std::uint64_t>(deadline.count());
    entry.readable = event_new(base_, fd, EV_READ, &waiting_room::on_readable, &entry);
    if (entry.readable == nullptr || event_add(entry.readable, nullptr) != 0) {
        remove(entry.position, true);
        return;
    }
    if (evtimer_pending(deadline_timer_, nullptr) == 0) {
        schedule_deadline();
    }
}

void waiting_room::remove(std::list<waiter>::iterator which, bool close_it) {
    if (which->readable != nullptr) {
        event_free(which->readable);
    }
    if (close_it) {
        ::close(which->fd);
    }
    waiting_.erase(which);
}

void waiting_room::on_readable(int, short, void* waiting) {
    waiter& entry = *static_cast<waiter*>(waiting);
    waiting_room& room = *entry.room;
    const int fd = entry.fd;
    const sockaddr_in peer = entry.peer;
    room.remove(entry.position, false);
    room.speaks_(fd, peer);
}

void waiting_room::on_deadline(int, short, void* self) {
    auto& room = *static_cast<waiting_room*>(self);
    const std::uint64_t now = platform::monotonic_ms();
    while (!room.waiting_.empty() && room.waiting_.front().leaves_at_ms <= now) {
        room.remove(room.waiting_.begin(), true);
    }
    room.schedule_deadline();
}

void waiting_room::schedule_deadline() {
    if (waiting_.empty()) {
        return;
    }
    const std::uint64_t now = platform::monotonic_ms();
    const std::uint64_t wait_ms =
        waiting_.front().leaves_at_ms > now ? waiting_.front().leaves_at_ms - now : 0;
    const timeval delay{static_cast<time_t>(wait_ms / 1000),
                        static_cast<suseconds_t>(wait_ms % 1000 * 1000)};
    evtimer_add(deadline_timer_, &delay);
}

}  // namespace peerfeed
