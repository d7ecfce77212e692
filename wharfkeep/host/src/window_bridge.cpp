#include "wharfkeep/host/window_bridge.h"

#include "wharfkeep/host/media_state.h"

namespace wharfkeep::host {

void WindowBridge::OnHostEvent(const HostEvent& event) {
    if (const auto* started = std::get_if<PublicationStarted>(&event)) {
        sink_.post(AppMessage::WM_APP_PUBLISH_STARTED, 0, AppPayload::Record(started->record));
    } else if (const auto* finished = std::get_if<PublicationFinished>(&event)) {
        // The outcome is stored already; a closing window has nothing left to draw.
        if (sink_.window_exists()) {
            // The text says why; empty once the outcome is stored as published.
            AppPayload payload = AppPayload::Record(finished->record);
            if (!finished->stored) {
                payload.text = "not stored in the database: " + finished->reason;
            } else if (finished->record.state != kPublished) {
                payload.text = finished->reason;
            }
            sink_.post(AppMessage::WM_APP_PUBLISH_FINISHED, finished->result_code,
                       std::move(payload));
        }
    } else if (const auto* changed = std::get_if<MediaChanged>(&event)) {
        sink_.post(AppMessage::WM_APP_MEDIA_CHANGED, changed->release,
                   AppPayload::Record(changed->record));
    } else if (const auto* counted = std::get_if<PublishedCountChanged>(&event)) {
        for (const DirectoryCount& count : counted->counts) {
            sink_.post(AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT, count.published,
                       AppPayload::Text(count.path));
        }
    }
}

}  // namespace wharfkeep::host
