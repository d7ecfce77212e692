#include "wharfkeep/host/window_bridge.h"

namespace wharfkeep::host {

void WindowBridge::OnHostEvent(const HostEvent& event) {
    if (const auto* started = std::get_if<PublicationStarted>(&event)) {
        sink_.post(AppMessage::WM_APP_PUBLISH_STARTED, 0, AppPayload::Record(started->record));
    } else if (const auto* finished = std::get_if<PublicationFinished>(&event)) {
        // The outcome is stored already; a closing window has nothing left to draw.
        if (sink_.window_exists()) {
            sink_.post(AppMessage::WM_APP_PUBLISH_FINISHED, finished->result_code,
                       AppPayload::Record(finished->record));
        }
    } else if (const auto* changed = std::get_if<MediaChanged>(&event)) {
        sink_.post(AppMessage::WM_APP_MEDIA_CHANGED, changed->release,
                   AppPayload::Record(changed->record));
    } else if (const auto* counted = std::get_if<PublishedCountChanged>(&event)) {
        sink_.post(AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT, 0, AppPayload::Text(counted->path));
    }
}

}  // namespace wharfkeep::host
