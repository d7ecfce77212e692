#include "platform/manual_reset_event.h"

namespace platform {

void ManualResetEvent::set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::is_set() const {
    std::lock_guard lock(mutex_);
    return set_;
}

void ManualResetEvent::wait() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
}

bool ManualResetEvent::wait_for(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace platform
