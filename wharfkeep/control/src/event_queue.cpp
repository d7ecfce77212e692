#include "event_queue.h"

#include <utility>

namespace wharfkeep::control {

bool EventQueue::Push(SharedFrame frame) {
    if (bytes_ + frame->size() > max_bytes_) {
        return false;
    }
    bytes_ += frame->size();
    frames_.push_back(std::move(frame));
    return true;
}

std::string EventQueue::Take(std::size_t max_bytes) {
    std::string chunk;
    while (!frames_.empty() &&
           (chunk.empty() || chunk.size() + frames_.front()->size() <= max_bytes)) {
        chunk += *frames_.front();
        bytes_ -= frames_.front()->size();
        frames_.pop_front();
    }
    return chunk;
}

void EventQueue::Clear() {
    // A deque keeps its blocks after clear(); swapping with an empty one gives them back.
    std::deque<SharedFrame>().swap(frames_);
    bytes_ = 0;
}

}  // namespace wharfkeep::control
