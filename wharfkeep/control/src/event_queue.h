#pragma once
// One subscriber's backlog of the event stream. Frames are shared between subscribers (one
// copy however many subscribe) and the backlog is bounded in bytes: a subscriber whose
// backlog would pass the bound has fallen behind, and the server tells it so and closes it
// instead of holding more for it.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace wharfkeep::control {

using SharedFrame = std::shared_ptr<const std::string>;

class EventQueue {
public:
    explicit EventQueue(std::size_t max_bytes) : max_bytes_(max_bytes) {}

    // Queues the frame; false, with nothing queued, when it would pass the bound.
    bool Push(SharedFrame frame);
    // The oldest frames joined, as many as fit in `max_bytes` (at least one), taken off the
    // queue. Empty when nothing is queued.
    std::string Take(std::size_t max_bytes);
    void Clear();

    bool empty() const { return frames_.empty(); }
    std::size_t bytes() const { return bytes_; }

private:
    std::deque<SharedFrame> frames_;
    std::size_t bytes_ = 0;
    std::size_t max_bytes_;
};

}  // namespace wharfkeep::control
