#pragma once
// What the host tells the programs around it: the window, wharfkeepd and the control
// interface subscribe to one stream of plain events instead of reading the host's messages.
//
// Threading contract: Notify() may be called on any thread and calls every listener on that
// same thread, in the order they subscribed; a listener that must act on another thread
// (the window) moves the work there itself. Listeners must not subscribe or unsubscribe from
// inside OnHostEvent. Subscribe/Unsubscribe are safe on any thread; after Unsubscribe returns
// the listener is not called again.
//
// The events are plain structs in one variant so that they can be copied, queued and written
// out (JSON, a log line) without knowing the host's classes.

#include <cstdint>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/media_library.h"

namespace wharfkeep::host {

// A file was put on the publish queue (its row now reads "waiting").
struct PublicationQueued {
    MediaRecord record;
};
// The publisher took a file; its row is stored as "being published".
struct PublicationStarted {
    MediaRecord record;
};
// Percentage done of the file being restructured.
struct PublicationProgress {
    std::string local_path;
    int percent = 0;
};
// The outcome of a file, already stored together with its directory's published count.
struct PublicationFinished {
    MediaRecord record;   // state, CID, link and descriptor as stored
    int result_code = 0;  // the engine's result code
    std::string reason;   // why, in words; the result code's text when the engine gave none
    bool stored = true;   // false: the database refused the outcome (the row is unchanged)
};
// A row was withdrawn, unqueued or reset by an operation (not by the publisher).
struct MediaChanged {
    MediaRecord record;
    bool release = false;  // the record left the publish page's list
};
// The published counts of these directories were recounted from the database.
struct PublishedCountChanged {
    std::vector<DirectoryCount> counts;
};
// A known directory was scanned again; empty path: no directory is shown any more.
struct DirectoryRescanned {
    std::string path;
};
// An added folder was marked watched (it publishes its new files by itself) or no longer.
struct FolderWatchChanged {
    std::string path;
    bool watched = false;
};
// An added folder was removed: its files were withdrawn and forgotten.
struct FolderRemoved {
    std::string path;  // with its trailing '/'
};
struct ServicesStarted {
    std::string address;  // "host:port" as peers should use it
};
struct ServicesStopped {
    std::string reason;
};
struct SettingsChanged {
    std::string key;  // the stored setting name, e.g. "VP_Port"
};
struct PeerRefused {
    std::uint32_t address = 0;  // IPv4, host order
};
// A peer session of the peer server opened or ended (raised on its network thread, for
// every session: listeners keep their part cheap).
struct PeerConnected {
    std::uint32_t address = 0;  // IPv4, host order
    std::uint16_t port = 0;
};
struct PeerLeft {
    std::uint32_t address = 0;  // IPv4, host order
    std::uint16_t port = 0;
};
// The IP filter's rules changed, whichever front end changed them; `how` is "type", "add",
// "delete", "import", "enable" or "disable".
struct IpFilterChanged {
    std::string how;
};

using HostEvent =
    std::variant<PublicationQueued, PublicationStarted, PublicationProgress, PublicationFinished,
                 MediaChanged, PublishedCountChanged, DirectoryRescanned, ServicesStarted,
                 ServicesStopped, SettingsChanged, PeerRefused, FolderWatchChanged, FolderRemoved,
                 IpFilterChanged, PeerConnected, PeerLeft>;

class HostListener {
public:
    virtual ~HostListener() = default;
    virtual void OnHostEvent(const HostEvent& event) = 0;
};

class HostEvents {
public:
    void Subscribe(HostListener* listener);
    void Unsubscribe(HostListener* listener);
    void Notify(const HostEvent& event) const;

private:
    mutable std::recursive_mutex mutex_;
    std::vector<HostListener*> listeners_;
};

}  // namespace wharfkeep::host
