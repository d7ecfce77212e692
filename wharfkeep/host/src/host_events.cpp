#include "wharfkeep/host/host_events.h"

#include <algorithm>

#include "wharfkeep/host/publish_backend.h"

namespace wharfkeep::host {

std::string PublishResultText(int code) {
    switch (code) {
        case kPublishOk:
            return "published";
        case 1:
            return "the file cannot be opened";
        case kPublishHeaderRejected:
            return "the streaming header is rejected";
        case kPublishCancelled:
            return "abandoned";
        case kPublishNotStreamable:
            return "not a streamable MP4, ZHD or GHD file";
        case -1:
            return "an I/O or format failure";
        default:
            return "result " + std::to_string(code);
    }
}

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
