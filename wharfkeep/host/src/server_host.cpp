#include "wharfkeep/host/server_host.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>

#include "platform/log.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {

namespace {

std::string Format(const char* pattern, unsigned value) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

// ---- Start-up, close ----

CPierwatchDoc::~CPierwatchDoc() {
    DetachServers();
}

void CPierwatchDoc::AttachServers() {
    closed_ = false;
    links_.services.Attach(this);
}

void CPierwatchDoc::DetachServers() {
    if (closed_) {
        return;
    }
    closed_ = true;
    links_.services.Detach();
}

// ---- Services ----

bool CPierwatchDoc::StartServices() {
    const std::uint32_t vp_port = kVpPort.Get(core_.database);
    const std::uint32_t sts_port = kStsPort.Get(core_.database);
    const StartOutcome outcome = links_.services.Start(vp_port, sts_port);
    if (outcome != StartOutcome::kStarted) {
        // The window opens the settings page on the port field that is in the way.
        const bool transfer = outcome == StartOutcome::kTransferPortBusy;
        const std::uint32_t port = transfer ? vp_port : sts_port;
        const std::string message =
            Format(transfer ? kTransferPortConflict : kProtocolPortConflict, port);
        platform::log::error("{} port {} (setting {}) cannot be used",
                             transfer ? "transfer" : "protocol", port,
                             transfer ? kVpPort.key() : kStsPort.key());
        core_.events.Notify(ServicesStopped{message});
        core_.sink.show_message(message);
        core_.sink.post(AppMessage::WM_APP_GOTO_SETTING,
                        transfer ? kFieldTransferPort : kFieldProtocolPort, {});
        return false;
    }
    // The ports actually bound: a stored 0 leaves each server its own default.
    const ServiceCounters counters = links_.services.Counters();
    const ServerAccessSettings& access = links_.settings.Access();
    platform::log::info("services started: peers on port {}, lists on port {}, access {}",
                        ntohs(counters.peer_address.sin_port),
                        ntohs(counters.list_address.sin_port),
                        access.access_way == 0 ? access.access_ip : access.access_domain);
    kVpAutoStart.Set(core_.database, 1);
    ServerStatusSnapshot status;
    GetServerStatus(status);
    core_.events.Notify(ServicesStarted{status.address});
    core_.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    return true;
}

void CPierwatchDoc::StopServices(bool persist) {
    const bool was_running = ServicesRunning();
    links_.services.Stop();
    if (persist) {
        kVpAutoStart.Set(core_.database, 0);
    }
    NotifyServicesStopped(was_running, "stopped by the operator");
    if (core_.sink.window_exists()) {
        core_.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    }
}

bool CPierwatchDoc::ServicesRunning() const {
    return links_.services.Running();
}

std::optional<std::string> CPierwatchDoc::DatabaseWriteProblem() {
    return core_.database.WriteProblem();
}

void CPierwatchDoc::GetServerStatus(ServerStatusSnapshot& out) const {
    out.upload = links_.settings.UploadDecision();
    const ServiceCounters counters = links_.services.Counters();
    out.refused = counters.refused;
    out.refused_by_filter = refusals_.Counts();
    out.recently_refused = refusals_.Recent();
    if (!counters.running) {
        out.running = 0;
        return;
    }
    out.running = 1;
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &counters.peer_address.sin_addr, address, sizeof address);
    unsigned port = ntohs(counters.peer_address.sin_port);
    out.address = std::string(address) + ":" + std::to_string(port);
    const ServerAccessSettings& access = links_.settings.Access();
    if (access.access_way == 0) {
        out.address = access.access_ip + ":" + std::to_string(port);
    } else if (access.access_way == 1) {
        out.address = access.access_domain + ":" + std::to_string(port);
    }
    out.server = counters.server;
    out.speed_limit = counters.speed_limit;
    out.connection_limit = counters.connection_limit;
    out.cache = counters.cache;
}

// ---- Server callbacks ----

std::string CPierwatchDoc::PublishedPath(const std::string& gcid, bool descriptor) {
    if (!core_.database.is_open()) {
        return {};
    }
    for (const MediaRecord& record : core_.library.MediaByCid(gcid)) {
        if (record.state == kPublished) {
            return descriptor ? record.sts_path : record.local_path;
        }
    }
    return {};
}

bool CPierwatchDoc::RefusePeer(std::uint32_t peer) {
    const IpRefusal refusal = links_.ip_filter.Check(peer);
    if (refusal == IpRefusal::None) {
        return false;
    }
    refusals_.Record(peer, refusal, std::time(nullptr));
    core_.events.Notify(PeerRefused{peer});
    return true;
}

void CPierwatchDoc::PeerSessionChanged(std::uint32_t address, std::uint16_t port, bool opened) {
    if (opened) {
        core_.events.Notify(PeerConnected{address, port});
    } else {
        core_.events.Notify(PeerLeft{address, port});
    }
}

bool CPierwatchDoc::ExportPublishedList(const std::string& path) {
    if (!core_.database.is_open()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    for (const MediaRecord& record : core_.library.PublishedMedia()) {
        out << record.cid << ' ' << record.file_size << "\r\n";
    }
    out.close();
    return !out.fail();
}

// ---- Private messages ----

void CPierwatchDoc::HandleAppMessage(AppMessage message, std::int64_t wparam, AppPayload& payload) {
    if (links_.watched.HandleMessage(message, payload)) {
        return;
    }
    switch (message) {
        case AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT:
            core_.navigation.SetPublishedCount(payload.text, static_cast<int>(wparam));
            break;
        case AppMessage::WM_APP_RESUME_UNFINISHED:
            links_.directories.ResumeUnfinished();
            break;
        case AppMessage::WM_APP_START_SERVICES:
            StartServices();
            break;
        case AppMessage::WM_APP_PUBLISH_DIRECTORY:
            links_.directories.PublishDirectory(payload.text);
            break;
        case AppMessage::WM_APP_UNPUBLISH_DIRECTORY:
            UnpublishDirectoryMessage(payload.text);
            break;
        case AppMessage::WM_APP_EXIT:
            Exit();
            break;
        case AppMessage::WM_APP_RELOAD_SETTINGS:
            links_.settings.ReloadSettings();
            break;
        case AppMessage::WM_APP_LOCATE_MEDIA:
            LocateMedia(payload);
            break;
        default:
            break;
    }
}

void CPierwatchDoc::LocateMedia(AppPayload& payload) {
    std::vector<MediaRecord> records = core_.library.MediaByCid(payload.text);
    if (records.empty()) {
        return;
    }
    // The view selects the directory item of this record's folder; the publish page then
    // highlights the file.
    payload.record = std::make_unique<MediaRecord>(records.front());
    core_.sink.post(AppMessage::WM_APP_SHOW_MEDIA, 0, AppPayload::Record(records.front()));
}

void CPierwatchDoc::UnpublishDirectoryMessage(const std::string& path) {
    std::vector<MediaRecord> records = core_.library.ListedUnder(path);
    if (!records.empty()) {
        links_.directories.WithdrawDirectory(path, records);
    }
}

void CPierwatchDoc::NotifyServicesStopped(bool were_running, const std::string& reason) {
    if (were_running) {
        platform::log::info("services stopped: {}", reason);
    }
    core_.events.Notify(ServicesStopped{reason});
}

void CPierwatchDoc::Exit() {
    // The services stop without touching VP_AutoStart, so the next start knows whether
    // they were running.
    const bool was_running = ServicesRunning();
    links_.services.Stop();
    NotifyServicesStopped(was_running, "the program exits");
    core_.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    core_.queue.ClearPending();
    core_.queue.Shutdown();
}

}  // namespace wharfkeep::host
