#include "wharfkeep/host/host_events.h"

#include <algorithm>

#include "wharfkeep/host/publish_backend.h"

namespace wharfkeep::host {

void HostEvents::Subscribe(HostListener* listener) {
    std::lock_guard lock(mutex_);
    if (listener != nullptr &&
        std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
        listeners_.push_back(listener);
    }
}

void HostEvents::Unsubscribe(HostListener* listener) {
    std::lock_guard lock(mutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void HostEvents::Notify(const HostEvent& event) const {
    // Held while the listeners run, so that Unsubscribe waits for a call in progress.
    std::lock_guard lock(mutex_);
    for (HostListener* listener : listeners_) {
        listener->OnHostEvent(event);
    }
}

}  // namespace wharfkeep::host
