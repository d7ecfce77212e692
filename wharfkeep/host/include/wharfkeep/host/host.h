#pragma once
// Host: the composition root of everything that runs in the background, built where the
// programs start (the window program, wharfkeepd) and by the tests. It owns the database,
// the media library, the publisher (PublishQueue with its engine), the event stream, the
// servers' part (Services), the IP filter table, the navigation model, the parts the front
// ends call (HostSettings, IpFilterControl, DirectoryOperations, WatchedFolders) and the
// document (CPierwatchDoc: services, server callbacks, private messages), and gives each
// front end the part it needs. It is created first and destroyed last; its destructor stops
// the services and joins the publisher before the database closes.
//
// Threads: Open, Close and the destructor run on the user-interface thread; the parts say
// which of their operations run elsewhere.

#include <filesystem>
#include <memory>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/directory_operations.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/host_settings.h"
#include "wharfkeep/host/ip_filter_control.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/host/publish_queue.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/host/services.h"
#include "wharfkeep/host/watched_folders.h"
#include "wharfkeep/host/window_bridge.h"

namespace wharfkeep::host {

// Tests that must set up rows no operation writes reach the database through this seam,
// defined by the tests alone.
struct HostTestAccess;

class Host {
    friend struct HostTestAccess;

public:
    // Builds the publish queue around `engine` (MakeEnginePublishBackend() in the programs)
    // and gives the engine its report folder, the application-data folder.
    Host(MessageSink& sink, std::unique_ptr<PublishBackend> engine);
    // Stops whatever still runs, then releases in this order: the watched folders, the
    // navigation nodes, the IP filter table, the publish queue, the database last.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Start-up: database, engine link settings, navigation model, server callbacks, limits,
    // IP filter table, watched folders. The services are not started here. False (the
    // reason shown through the sink) when the database cannot be used.
    bool Open();
    // Detaches the server callbacks, so that later ones answer as for a closed host.
    void Close();

    CPierwatchDoc& Document() { return document_; }
    HostSettings& Settings() { return settings_; }
    IpFilterControl& IpFilter() { return ip_filter_; }
    DirectoryOperations& Directories() { return directories_; }
    // The folders that publish their new files by themselves (after start-up).
    WatchedFolders& Watched() { return *watched_; }
    // The media and directory rows, through typed operations (any thread).
    MediaLibrary& Library() { return library_; }
    // What the host did, for the window, wharfkeepd and the control interface. The events
    // raised on other threads reach the sink's thread as private messages as well.
    HostEvents& Events() { return events_; }
    // The navigation model: the tree's pages and one node per added directory.
    const NavigationModel& Navigation() const { return navigation_; }

private:
    void BuildNavigationModel();
    HostCore Core();

    MessageSink& sink_;
    std::filesystem::path app_folder_;
    // Declared first: the publisher raises events until it is shut down.
    HostEvents events_;
    WindowBridge bridge_;

    // Destroyed in reverse order after ~Host's own steps: the database last.
    std::unique_ptr<ResourceDatabase> database_;
    MediaLibrary library_;
    std::unique_ptr<PublishQueue> queue_;
    NavigationModel navigation_;
    Services services_;
    IpFilterTable ip_table_;
    HostSettings settings_;
    IpFilterControl ip_filter_;
    DirectoryOperations directories_;
    std::unique_ptr<WatchedFolders> watched_;
    CPierwatchDoc document_;
};

}  // namespace wharfkeep::host
