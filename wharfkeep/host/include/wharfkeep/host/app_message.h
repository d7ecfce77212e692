#pragma once
// The private messages that move work onto the user-interface thread (the window's, or
// wharfkeepd's main loop), and the sink they are posted to. Background threads post them
// directly (the add-directory worker, the signal watcher) or through the host's window bridge,
// which turns the host's events into them.
//
// The window program queues posted messages onto its GUI thread; wharfkeepd runs them on its
// main loop. Either way the user-interface thread hands each message to
// CPierwatchDoc::HandleAppMessage, which does everything that is not drawing, and then draws
// (or prints) it itself.

#include <cstdint>
#include <memory>
#include <string>

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::host {

// Message numbers are fixed: the window program and the tests identify messages by them.
enum class AppMessage : std::uint32_t {
    WM_APP_NAVIGATE_PAGE = 2024,           // wparam: node kind
    WM_APP_NAVIGATE_DIRECTORY = 2025,      // wparam: 7, text: directory path
    WM_APP_LOCATE_MEDIA = 2026,            // text: GCID
    WM_APP_SHOW_MEDIA = 2027,              // record
    WM_APP_SELECT_DIRECTORY = 2028,        // text: directory path
    WM_APP_PUBLISH_DIRECTORY = 2029,       // text: directory path
    WM_APP_UNPUBLISH_DIRECTORY = 2030,     // text: directory path
    WM_APP_REFRESH_DIRECTORY = 2031,       // -
    WM_APP_RESUME_UNFINISHED = 2032,       // -
    WM_APP_GOTO_SETTING = 2033,            // wparam: field code 1, 2 or 3
    WM_APP_START_SERVICES = 2034,          // -
    WM_APP_ADJUST_PUBLISHED_COUNT = 2035,  // text: directory path, wparam: its published count
    WM_APP_UPDATE_STATUS_BAR = 2036,       // -
    WM_APP_EXIT = 2037,                    // -
    WM_APP_CLEAR_PUBLISH_VIEW = 2038,      // -
    WM_APP_RELOAD_SETTINGS = 2039,         // - (wharfkeepd on SIGHUP)
    WM_APP_OPEN_FOLDER = 3027,             // text: folder path
    WM_APP_PUBLISH_STARTED = 4031,         // record
    WM_APP_PUBLISH_FINISHED = 4032,        // record, wparam: engine result code, text: reason
    WM_APP_MEDIA_CHANGED = 4034,           // record, wparam: release flag
    WM_APP_ENTRY_SKIPPED = 4036,           // text: "path: reason" of an entry not added
    WM_APP_WATCHED_FILES_SETTLED = 4037,   // text: watched folder and files, NUL-separated
    WM_APP_WATCHED_FILES_GONE = 4038,      // text: watched folder that lost a file
    WM_APP_FOCUS_FIELD = 5025,             // wparam: field code
    WM_APP_TRAY_NOTIFY = 10025,            // wparam: mouse message
};

// Field codes of WM_APP_GOTO_SETTING / WM_APP_FOCUS_FIELD.
enum SettingField : int {
    kFieldTransferPort = 1,
    kFieldProtocolPort = 2,
    kFieldAccessIp = 3,
};

// What travels with a message. The payload belongs to the message: whoever receives it owns
// the record and the text, so nothing is released twice and nothing leaks when a message is
// dropped.
struct AppPayload {
    std::unique_ptr<MediaRecord> record;
    std::string text;

    static AppPayload Record(const MediaRecord& copy) {
        return AppPayload{std::make_unique<MediaRecord>(copy), {}};
    }
    static AppPayload Text(std::string value) { return AppPayload{nullptr, std::move(value)}; }
};

// The user interface as the host sees it. post() may be called from any thread; the other
// operations only on the user-interface thread.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Queues a message for the user-interface thread.
    virtual void post(AppMessage message, std::int64_t wparam, AppPayload payload) = 0;
    // True while the main window exists; background threads
    // post the end of a file only while it does.
    virtual bool window_exists() const = 0;
    // A message box with an OK button.
    virtual void show_message(const std::string& text) = 0;
    // A question with Yes and No buttons; true for Yes.
    virtual bool ask_yes_no(const std::string& text) = 0;
};

}  // namespace wharfkeep::host
