#pragma once
// CPierwatchDoc: the document of the management program: it starts and stops both
// services, answers what the peer upload server and the list server ask about published
// files and peers, gives the status snapshot, and does the non-drawing part of every private
// message (HandleAppMessage). It owns nothing but the log of refused peers; the parts it
// uses (database, settings, IP filter, directory operations, watched folders, publisher)
// belong to the Host that builds it (host.h).
//
// Threads: every operation runs on the user-interface thread unless its comment says
// otherwise. The server callbacks run on the servers' network threads and reach the
// document's answers (PublishedPath, RefusePeer, ExportPublishedList) only through Services.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/directory_operations.h"
#include "wharfkeep/host/host_core.h"
#include "wharfkeep/host/host_events.h"
#include "wharfkeep/host/host_settings.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/navigation.h"
#include "wharfkeep/host/publish_queue.h"
#include "wharfkeep/host/refusal_log.h"
#include "wharfkeep/host/services.h"
#include "wharfkeep/host/watched_folders.h"
#include "wharfkeep/host/window_text.h"

namespace wharfkeep::host {

// The status bar, the tray menu and the status page read this.
struct ServerStatusSnapshot {
    int running = 0;
    std::string address;            // "host:port" as peers should use it
    PeerTraffic server;             // speed, totals and sessions of the peer server
    std::uint64_t speed_limit = 0;  // bytes per second
    std::uint32_t connection_limit = 0;
    PageCacheFigures cache;
    // Filled also while the services are stopped.
    schedule::UploadDecision upload;  // the upload mode and limit in force
    PeerRefusals refused;             // refused at accept by the peer server, by reason
    RefusalCounts refused_by_filter;  // the filter's refusals split by list
    std::vector<RefusedPeer> recently_refused;
};

// The questions the host asks through the sink.
inline constexpr const char* kTransferPortConflict =
    WK_WINDOW_TEXT("HostQuestion", "传输端口（%u）有冲突，请手动修改端口，以便工具正常服务。");
inline constexpr const char* kProtocolPortConflict =
    WK_WINDOW_TEXT("HostQuestion", "协议端口（%u）有冲突，请手动修改端口，以便工具正常服务。");

// The parts the document works with besides the core; each outlives it.
struct DocumentLinks {
    Services& services;
    const IpFilterTable& ip_filter;
    HostSettings& settings;
    DirectoryOperations& directories;
    WatchedFolders& watched;
};

class CPierwatchDoc : private ServerQueries {
public:
    CPierwatchDoc(const HostCore& core, const DocumentLinks& links) : core_(core), links_(links) {}
    // Detaches the server callbacks.
    ~CPierwatchDoc() override;
    CPierwatchDoc(const CPierwatchDoc&) = delete;
    CPierwatchDoc& operator=(const CPierwatchDoc&) = delete;

    // Makes the document answer the servers' callbacks (start-up, once the database is open).
    void AttachServers();
    // Detaches the server callbacks, so that later ones answer as for a closed document.
    void DetachServers();

    // ---- Services ----
    // Starts peerfeed on VP_Port, then catalogd on STS_Port. True when both run.
    bool StartServices();
    void StopServices(bool persist);
    void GetServerStatus(ServerStatusSnapshot& out) const;
    bool ServicesRunning() const;
    // Nothing when the database takes writes now, else why not.
    std::optional<std::string> DatabaseWriteProblem();
    // The servers' counters and per-resource and per-connection lists, as plain records.
    const Services& Servers() const { return links_.services; }

    // ---- Private messages ----
    // The non-drawing part of a message; the caller draws afterwards.
    void HandleAppMessage(AppMessage message, std::int64_t wparam, AppPayload& payload);

private:
    // ---- What the servers ask (servers' network threads, through Services) ----
    std::string PublishedPath(const std::string& gcid, bool descriptor) override;
    bool RefusePeer(std::uint32_t address) override;
    bool ExportPublishedList(const std::string& path) override;
    void PeerSessionChanged(std::uint32_t address, std::uint16_t port, bool opened) override;

    void UnpublishDirectoryMessage(const std::string& path);
    void LocateMedia(AppPayload& payload);
    void Exit();
    // Logs the stop when the services were running, and tells the listeners.
    void NotifyServicesStopped(bool were_running, const std::string& reason);

    HostCore core_;
    DocumentLinks links_;
    RefusalLog refusals_;
    bool closed_ = true;
};

}  // namespace wharfkeep::host
