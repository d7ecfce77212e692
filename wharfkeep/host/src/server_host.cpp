#include "wharfkeep/host/server_host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/app_paths.h"
#include "platform/local_address.h"
#include "platform/log.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {

namespace {

std::string Format(const char* pattern, unsigned value) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string FormatText(const char* pattern, const std::string& value) {
    std::vector<char> text(std::strlen(pattern) + value.size() + 1);
    std::snprintf(text.data(), text.size(), pattern, value.c_str());
    return text.data();
}

// Copies `text` with its terminator into the server's buffer; a text that does not fit is
// refused rather than cut short, so a server never opens a truncated path.
}  // namespace

// ---- Construction, start-up, close ----

CPierwatchDoc::CPierwatchDoc(MessageSink& sink, std::unique_ptr<PublishBackend> engine)
    : sink_(sink),
      app_folder_(platform::app_data_folder()),
      bridge_(sink),
      database_(std::make_unique<ResourceDatabase>()),
      library_(*database_) {
    events_.Subscribe(&bridge_);
    queue_ = std::make_unique<PublishQueue>(std::move(engine), *database_, events_);
    queue_->engine().SetReportFolder(app_folder_.string());
}

CPierwatchDoc::~CPierwatchDoc() {
    OnCloseDocument();
    watched_folders_.reset();
    // The shell stops the services and the queue's threads before the document goes; do it
    // here as well so that no server thread can call into a document being destroyed.
    services_.Stop();
    queue_->ClearPending();
    queue_->Shutdown();
    navigation_.Clear();
    ip_filter_.Bind(nullptr);
    upload_limits_.reset();
    queue_.reset();
    database_.reset();
    events_.Unsubscribe(&bridge_);
}

bool CPierwatchDoc::OnNewDocument() {
    std::error_code ignored;
    std::filesystem::create_directories(app_folder_, ignored);

    upload_limits_ = std::make_unique<UploadLimitController>(
        *database_, &LocalWeekTime, [this](const schedule::UploadDecision& decision) {
            services_.ApplyUploadDecision(decision);
        });
    if (!database_->Open(ResourceDatabase::default_file(), LocalAddressText(), "", access_)) {
        // Nothing runs on a database that cannot be used: the program stops with the reason.
        sink_.show_message(database_->open_error());
        return false;
    }

    ApplyLinkSettings(kVpPort.Get(*database_), kStsPort.Get(*database_));
    queue_->engine().SetReportMasterId(access_.master_id);

    BuildNavigationModel();

    closed_ = false;
    services_.Attach(this);

    // The normal limit, or the alternative one when the schedule or the switch says so.
    upload_limits_->Reload();
    upload_limits_->StartTimer();
    services_.SetConnectionLimit(kVpConnLimit.Get(*database_));
    services_.SetAddressConnectionLimit(kVpAddrConnLimit.Get(*database_));

    ip_filter_.Bind(database_.get());
    ip_filter_.Reload();
    watched_folders_ = std::make_unique<WatchedFolders>(*this, sink_, *database_);
    return true;
}

void CPierwatchDoc::OnCloseDocument() {
    if (closed_) {
        return;
    }
    closed_ = true;
    services_.Detach();
}

void CPierwatchDoc::BuildNavigationModel() {
    std::vector<DirectoryNodeRow> rows;
    for (DirectoryRecord& row : library_.Directories()) {
        rows.push_back(
            {std::move(row.name), std::move(row.path), row.file_count, row.published_count});
    }
    navigation_.Build(rows);
}

// ---- Settings ----

std::string CPierwatchDoc::LocalAddressText() {
    return platform::local_address_text();
}

std::string CPierwatchDoc::MasterId() {
    return database_->is_open() ? database_->GetMasterId() : "";
}

std::uint32_t CPierwatchDoc::Setting(const UnsignedSetting& setting) {
    return database_->is_open() ? setting.Get(*database_) : 0;
}

std::string CPierwatchDoc::SettingText(const std::string& key) {
    return StoredSettingText(*database_, access_, key);
}

void CPierwatchDoc::ApplyLinkSettings(std::uint32_t peer_port, std::uint32_t list_port) {
    std::string master_id = database_->is_open() ? database_->GetMasterId() : "";
    if (access_.access_way == 0) {
        queue_->engine().SetLinkSettings(access_.access_ip, "", peer_port, list_port, master_id);
    } else {
        queue_->engine().SetLinkSettings("", access_.access_domain, peer_port, list_port,
                                         master_id);
    }
}

void CPierwatchDoc::SetUploadSpeedLimit(std::uint32_t bytes_per_second) {
    // Stores VP_UploadSpeedLimit; peerfeed gets it unless the alternative limit is in force.
    upload_limits_->SetNormalLimit(bytes_per_second);
    events_.Notify(SettingsChanged{kVpUploadSpeedLimit.key()});
}

void CPierwatchDoc::SetAddressConnectionLimit(std::uint32_t count) {
    kVpAddrConnLimit.Set(*database_, count);
    services_.SetAddressConnectionLimit(count);
    events_.Notify(SettingsChanged{kVpAddrConnLimit.key()});
}

void CPierwatchDoc::SetConnectionLimit(std::uint32_t count) {
    kVpConnLimit.Set(*database_, count);
    services_.SetConnectionLimit(count);
    events_.Notify(SettingsChanged{kVpConnLimit.key()});
}

void CPierwatchDoc::SetTransferPort(std::uint32_t port) {
    ApplyLinkSettings(port, kStsPort.Get(*database_));
    kVpPort.Set(*database_, port);
    events_.Notify(SettingsChanged{kVpPort.key()});
}

void CPierwatchDoc::SetProtocolPort(std::uint32_t port) {
    ApplyLinkSettings(kVpPort.Get(*database_), port);
    kStsPort.Set(*database_, port);
    events_.Notify(SettingsChanged{kStsPort.key()});
}

void CPierwatchDoc::SetAccess(int way, const std::string& ip, const std::string& domain) {
    std::vector<std::string> changed;
    if (way != access_.access_way) {
        changed.emplace_back("AccessWay");
    }
    if (ip != access_.access_ip) {
        changed.emplace_back("AccessIP");
    }
    if (domain != access_.access_domain) {
        changed.emplace_back("AccessDomain");
    }
    access_.access_way = way;
    access_.access_ip = ip;
    access_.access_domain = domain;
    database_->UpdateMasterAccess(way, ip, domain);
    ApplyLinkSettings(kVpPort.Get(*database_), kStsPort.Get(*database_));
    for (const std::string& key : changed) {
        events_.Notify(SettingsChanged{key});
    }
    sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
}

void CPierwatchDoc::SetMasterId(const std::string& id) {
    database_->SetParam(kMasterIdKey, id);
    access_.master_id = id.substr(0, 127);
    ApplyLinkSettings(kVpPort.Get(*database_), kStsPort.Get(*database_));
    // Reports carry the identity that published links now carry.
    queue_->engine().SetReportMasterId(access_.master_id);
    if (access_.access_way == 0 || access_.access_way == 1) {
        RelinkPublishedFiles();
    }
    events_.Notify(SettingsChanged{kMasterIdKey});
}

void CPierwatchDoc::RelinkPublishedFiles() {
    for (MediaRecord& record : library_.PublishedMedia()) {
        if (record.url.empty()) {
            continue;
        }
        record.url = queue_->engine().RelinkUrl(record.url);
        StoreRecord(record);
    }
}

AccessAddressVerdict CPierwatchDoc::JudgeAccessAddress() const {
    switch (platform::classify_ipv4_text(access_.access_ip)) {
        case platform::AddressKind::unusable:
            return AccessAddressVerdict::kWrong;
        case platform::AddressKind::link_local:
        case platform::AddressKind::private_range:
            return AccessAddressVerdict::kSiteOnly;
        case platform::AddressKind::public_range:
            break;
    }
    return AccessAddressVerdict::kGood;
}

void CPierwatchDoc::CheckAccessAddress() {
    const std::string& ip = access_.access_ip;
    switch (JudgeAccessAddress()) {
        case AccessAddressVerdict::kGood:
            return;
        case AccessAddressVerdict::kSiteOnly:
            // A site may serve its own network on purpose: say so, ask nothing.
            platform::log::warning(
                "access address {} is a private address: only peers on this site can reach it", ip);
            return;
        case AccessAddressVerdict::kWrong:
            break;
    }
    if (sink_.ask_yes_no(FormatText(kAccessAddressQuestion, ip))) {
        sink_.post(AppMessage::WM_APP_GOTO_SETTING, kFieldAccessIp, {});
    }
}

void CPierwatchDoc::ReloadSettings() {
    const std::uint32_t speed_limit = kVpUploadSpeedLimit.Get(*database_);
    const std::uint32_t connection_limit = kVpConnLimit.Get(*database_);
    services_.SetSpeedLimit(speed_limit);
    services_.SetConnectionLimit(connection_limit);
    ip_filter_.Reload();
    platform::log::debug("settings: upload limit {} bytes/s, connection limit {} (0: unlimited)",
                         speed_limit, connection_limit);
    // Wharfkeep.ini: the peer server's cache tuning (what it can change while running) and
    // where publish reports go.
    vp_reload_settings();
    queue_->engine().ReloadReportEndpoint();
}

// ---- Services ----

bool CPierwatchDoc::StartServices() {
    const std::uint32_t vp_port = kVpPort.Get(*database_);
    const std::uint32_t sts_port = kStsPort.Get(*database_);
    const StartOutcome outcome = services_.Start(vp_port, sts_port);
    if (outcome != StartOutcome::kStarted) {
        // The window opens the settings page on the port field that is in the way.
        const bool transfer = outcome == StartOutcome::kTransferPortBusy;
        const std::uint32_t port = transfer ? vp_port : sts_port;
        const std::string message =
            Format(transfer ? kTransferPortConflict : kProtocolPortConflict, port);
        platform::log::error("{} port {} (setting {}) cannot be used",
                             transfer ? "transfer" : "protocol", port,
                             transfer ? kVpPort.key() : kStsPort.key());
        events_.Notify(ServicesStopped{message});
        sink_.show_message(message);
        sink_.post(AppMessage::WM_APP_GOTO_SETTING,
                   transfer ? kFieldTransferPort : kFieldProtocolPort, {});
        return false;
    }
    // The ports actually bound: a stored 0 leaves each server its own default.
    const ServiceCounters counters = services_.Counters();
    platform::log::info("services started: peers on port {}, lists on port {}, access {}",
                        ntohs(counters.peer_address.sin_port),
                        ntohs(counters.list_address.sin_port),
                        access_.access_way == 0 ? access_.access_ip : access_.access_domain);
    kVpAutoStart.Set(*database_, 1);
    ServerStatusSnapshot status;
    GetServerStatus(status);
    events_.Notify(ServicesStarted{status.address});
    sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    return true;
}

void CPierwatchDoc::StopServices(bool persist) {
    const bool was_running = ServicesRunning();
    services_.Stop();
    if (persist) {
        kVpAutoStart.Set(*database_, 0);
    }
    NotifyServicesStopped(was_running, "stopped by the operator");
    if (sink_.window_exists()) {
        sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    }
}

bool CPierwatchDoc::ServicesRunning() const {
    return services_.Running();
}

std::optional<std::string> CPierwatchDoc::DatabaseWriteProblem() {
    if (!database_) {
        return "no database is open";
    }
    return database_->WriteProblem();
}

void CPierwatchDoc::GetServerStatus(ServerStatusSnapshot& out) const {
    if (upload_limits_) {
        out.upload = upload_limits_->Current();
    }
    const ServiceCounters counters = services_.Counters();
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
    if (access_.access_way == 0) {
        out.address = access_.access_ip + ":" + std::to_string(port);
    } else if (access_.access_way == 1) {
        out.address = access_.access_domain + ":" + std::to_string(port);
    }
    out.server = counters.server;
    out.speed_limit = counters.speed_limit;
    out.connection_limit = counters.connection_limit;
    out.cache = counters.cache;
}

// ---- Server callbacks ----

std::string CPierwatchDoc::PublishedPath(const std::string& gcid, bool descriptor) {
    if (!database_->is_open()) {
        return {};
    }
    for (const MediaRecord& record : library_.MediaByCid(gcid)) {
        if (record.state == kPublished) {
            return descriptor ? record.sts_path : record.local_path;
        }
    }
    return {};
}

void CPierwatchDoc::DeleteIpFilterEntry(std::size_t index) {
    if (ip_filter_.DeleteEntry(index)) {
        events_.Notify(IpFilterChanged{"delete"});
    }
}

void CPierwatchDoc::AddIpRange(std::uint32_t first, std::uint32_t second) {
    ip_filter_.AddRange(first, second);
    events_.Notify(IpFilterChanged{"add"});
}

IpImportResult CPierwatchDoc::ImportIpRanges(std::span<const iprules::AddressRange> ranges) {
    IpImportResult result = ip_filter_.AddRanges(ranges);
    if (result.stored && result.added > 0) {
        events_.Notify(IpFilterChanged{"import"});
    }
    return result;
}

void CPierwatchDoc::SetIpFilterEnabled(bool enabled) {
    if (ip_filter_.SetEnabled(enabled)) {
        events_.Notify(IpFilterChanged{enabled ? "enable" : "disable"});
    }
}

bool CPierwatchDoc::SetIpDenyList(bool deny_list) {
    if (!ip_filter_.SetDenyList(deny_list)) {
        return false;
    }
    events_.Notify(IpFilterChanged{"type"});
    return true;
}

bool CPierwatchDoc::RefusePeer(std::uint32_t peer) {
    const IpRefusal refusal = ip_filter_.Check(peer);
    if (refusal == IpRefusal::None) {
        return false;
    }
    refusals_.Record(peer, refusal, std::time(nullptr));
    events_.Notify(PeerRefused{peer});
    return true;
}

void CPierwatchDoc::PeerSessionChanged(std::uint32_t address, std::uint16_t port, bool opened) {
    if (opened) {
        events_.Notify(PeerConnected{address, port});
    } else {
        events_.Notify(PeerLeft{address, port});
    }
}

bool CPierwatchDoc::ExportPublishedList(const std::string& path) {
    if (!database_->is_open()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    for (const MediaRecord& record : library_.PublishedMedia()) {
        out << record.cid << ' ' << record.file_size << "\r\n";
    }
    out.close();
    return !out.fail();
}

// ---- Private messages ----

void CPierwatchDoc::HandleAppMessage(AppMessage message, std::int64_t /*wparam*/,
                                     AppPayload& payload) {
    if (watched_folders_ && watched_folders_->HandleMessage(message, payload)) {
        return;
    }
    switch (message) {
        case AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT:
            RefreshPublishedCounts(payload.text);
            break;
        case AppMessage::WM_APP_RESUME_UNFINISHED:
            ResumeUnfinished();
            break;
        case AppMessage::WM_APP_START_SERVICES:
            StartServices();
            break;
        case AppMessage::WM_APP_PUBLISH_DIRECTORY:
            PublishDirectory(payload.text);
            break;
        case AppMessage::WM_APP_UNPUBLISH_DIRECTORY:
            UnpublishDirectoryMessage(payload.text);
            break;
        case AppMessage::WM_APP_EXIT:
            Exit();
            break;
        case AppMessage::WM_APP_RELOAD_SETTINGS:
            ReloadSettings();
            break;
        case AppMessage::WM_APP_LOCATE_MEDIA:
            LocateMedia(payload);
            break;
        default:
            break;
    }
}

void CPierwatchDoc::RefreshPublishedCounts(const std::string& path) {
    for (CPWTGuiderTreeNode* node : navigation_.FindDirectoryNodes(path)) {
        node->published_count = library_.PublishedCount(node->path);
    }
}

void CPierwatchDoc::LocateMedia(AppPayload& payload) {
    std::vector<MediaRecord> records = library_.MediaByCid(payload.text);
    if (records.empty()) {
        return;
    }
    // The view selects the directory item of this record's folder; the publish page then
    // highlights the file.
    payload.record = std::make_unique<MediaRecord>(records.front());
    sink_.post(AppMessage::WM_APP_SHOW_MEDIA, 0, AppPayload::Record(records.front()));
}

void CPierwatchDoc::UnpublishDirectoryMessage(const std::string& path) {
    std::vector<MediaRecord> records = library_.ListedUnder(path);
    if (!records.empty()) {
        WithdrawDirectory(path, records);
    }
}

void CPierwatchDoc::NotifyServicesStopped(bool were_running, const std::string& reason) {
    if (were_running) {
        platform::log::info("services stopped: {}", reason);
    }
    events_.Notify(ServicesStopped{reason});
}

void CPierwatchDoc::Exit() {
    // The services stop without touching VP_AutoStart, so the next start knows whether
    // they were running.
    const bool was_running = ServicesRunning();
    services_.Stop();
    NotifyServicesStopped(was_running, "the program exits");
    sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    queue_->ClearPending();
    queue_->Shutdown();
}

void CPierwatchDoc::StoreRecord(const MediaRecord& record) {
    library_.Store(record);
}

void CPierwatchDoc::StoreState(const MediaRecord& record) {
    library_.StoreState(record.local_path, record.state);
}

void CPierwatchDoc::StoreDirectoryCounts(const CPWTGuiderTreeNode& node) {
    DirectoryValue values[] = {
        {DirectoryColumn::Name, node.label},
        {DirectoryColumn::FileCount, std::to_string(node.file_count)},
        {DirectoryColumn::PublishedCount, std::to_string(node.published_count)},
    };
    database_->UpdateDirectory(values, node.path);
}

}  // namespace wharfkeep::host
