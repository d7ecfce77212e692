#include "wharfkeep/host/server_host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "catalogd/catalogd.h"
#include "platform/app_paths.h"
#include "platform/local_address.h"
#include "platform/log.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/local_time.h"
#include "wharfkeep/host/media_library.h"
#include "wharfkeep/host/media_queries.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {

std::atomic<CPierwatchDoc*> CurrentHost{nullptr};

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
bool CopyToBuffer(const std::string& text, char* out, unsigned size) {
    if (out == nullptr || text.size() + 1 > size) {
        return false;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// The peer server's log lines join the program's log at their own level.
void ForwardPeerServerLine(int level, const char* text) {
    static_assert(VP_LOG_ERROR == static_cast<int>(platform::log::Level::error) &&
                  VP_LOG_DEBUG == static_cast<int>(platform::log::Level::debug));
    if (level < VP_LOG_ERROR || level > VP_LOG_DEBUG) {
        level = VP_LOG_INFO;
    }
    platform::log::write(static_cast<platform::log::Level>(level), text);
}

}  // namespace

std::string StateText(int state) {
    switch (state) {
        case 0:
            return "未发布";
        case 1:
            return "已发布";
        case 2:
            return "正在发布";
        case 3:
            return "等待发布";
        case -1:
            return "发布失败";
        case -2:
            return "只支持MP4、ZHD、GHD格式";
        case -3:
            return "文件格式破坏";
        case -4:
            return "不可发布的ZHD类型";
        default:
            return std::to_string(state);
    }
}

std::string StateName(int state) {
    switch (state) {
        case 0:
            return "not-published";
        case 1:
            return "published";
        case 2:
            return "publishing";
        case 3:
            return "queued";
        case -1:
            return "failed";
        case -2:
            return "not-streamable";
        case -3:
            return "damaged";
        case -4:
            return "header-rejected";
        default:
            return "state-" + std::to_string(state);
    }
}

std::string StateLabel(int state) {
    return StateName(state) + " (" + StateText(state) + ")";
}

std::string DirectoryItemText(const CPWTGuiderTreeNode& node) {
    return node.label + " (" + std::to_string(node.published_count) + "/" +
           std::to_string(node.file_count) + ")";
}

// ---- Construction, start-up, close ----

CPierwatchDoc::CPierwatchDoc(MessageSink& sink, std::unique_ptr<PublishBackend> engine)
    : sink_(sink),
      app_folder_(platform::app_data_folder()),
      bridge_(sink),
      database_(std::make_unique<ResourceDatabase>()) {
    events_.Subscribe(&bridge_);
    queue_ = std::make_unique<PublishQueue>(std::move(engine), *database_, events_);
    queue_->engine().SetReportFolder(app_folder_.string());
}

CPierwatchDoc::~CPierwatchDoc() {
    OnCloseDocument();
    watched_folders_.reset();
    // The shell stops the services and the queue's threads before the document goes; do it
    // here as well so that no server thread can call into a document being destroyed.
    if (vp_run_stat() == 1) {
        vp_stop();
    }
    if (sts_run_stat() == 1) {
        sts_stop();
    }
    queue_->ClearPending();
    queue_->Shutdown();
    {
        std::lock_guard lock(navigation_mutex_);
        directory_root_ = nullptr;
        nodes_.clear();
    }
    ip_filter_.Bind(nullptr);
    upload_limits_.reset();
    queue_.reset();
    database_.reset();
    events_.Unsubscribe(&bridge_);
}

bool CPierwatchDoc::OnNewDocument() {
    std::error_code ignored;
    std::filesystem::create_directories(app_folder_, ignored);

    upload_limits_ =
        std::make_unique<UploadLimitController>(*database_, &LocalWeekTime, &ApplyToPeerServer);
    if (!database_->Open(ResourceDatabase::default_file(), LocalAddressText(), "", access_)) {
        // Nothing runs on a database that cannot be used: the program stops with the reason.
        database_error_ = database_->open_error();
        sink_.show_message(database_error_);
        return false;
    }

    ApplyLinkSettings(kVpPort.Get(*database_), kStsPort.Get(*database_));
    queue_->engine().SetReportMasterId(access_.master_id);

    BuildNavigationModel();

    CurrentHost.store(this);
    closed_ = false;
    vp_set_gcid2path_function(&CPierwatchDoc::LocalPathForGcid);
    sts_set_gcid2path_function(&CPierwatchDoc::DescriptorPathForGcid);
    vp_set_ip_filter_function(&CPierwatchDoc::RefusePeer);
    sts_set_ip_filter_function(&CPierwatchDoc::RefusePeer);
    sts_set_export_lists_function(&CPierwatchDoc::ExportPublishedList);
    vp_set_log_function(&ForwardPeerServerLine);

    // The normal limit, or the alternative one when the schedule or the switch says so.
    upload_limits_->Reload();
    upload_limits_->StartTimer();
    vp_set_connection_limit(kVpConnLimit.Get(*database_));
    vp_set_address_connection_limit(kVpAddrConnLimit.Get(*database_));

    ip_filter_.Bind(database_.get());
    ip_filter_.Reload();
    watched_folders_ = std::make_unique<WatchedFolders>(*this);
    return true;
}

void CPierwatchDoc::OnCloseDocument() {
    if (closed_) {
        return;
    }
    closed_ = true;
    CPierwatchDoc* self = this;
    CurrentHost.compare_exchange_strong(self, nullptr);
}

void CPierwatchDoc::BuildNavigationModel() {
    auto make = [](int kind, std::string label) {
        auto node = std::make_unique<CPWTGuiderTreeNode>();
        node->kind = kind;
        node->label = std::move(label);
        return node;
    };
    std::lock_guard lock(navigation_mutex_);
    nodes_.clear();
    nodes_.push_back(make(kNodeStatus, "状态信息"));
    nodes_.push_back(make(kNodeDirectoryRoot, "发布目录管理"));
    directory_root_ = nodes_.back().get();
    auto add = make(kNodeAddDirectory, "添加新的目录");
    add->level = 1;
    directory_root_->children.push_back(std::move(add));
    std::vector<DirectoryRecord> rows;
    database_->ListDirectories(rows);
    for (const DirectoryRecord& row : rows) {
        auto node = make(kNodeDirectory, row.name);
        node->level = 1;
        node->path = row.path;
        node->file_count = row.file_count;
        node->published_count = row.published_count;
        directory_root_->children.push_back(std::move(node));
    }
    nodes_.push_back(make(kNodeExportLinks, "导出链接"));
    nodes_.push_back(make(kNodeConnectionMonitor, "连接监控"));
    nodes_.push_back(make(kNodeSettings, "选项设置"));
    nodes_.push_back(make(kNodeIpFilter, "IP过滤"));
    nodes_.push_back(make(kNodeHelp, "帮助说明"));
}

std::vector<CPWTGuiderTreeNode*> CPierwatchDoc::FindDirectoryNodes(const std::string& path) const {
    std::lock_guard lock(navigation_mutex_);
    std::vector<CPWTGuiderTreeNode*> found;
    if (directory_root_ == nullptr) {
        return found;
    }
    for (const auto& child : directory_root_->children) {
        if (child->kind == kNodeDirectory && child->path == path) {
            return {child.get()};
        }
    }
    for (const auto& child : directory_root_->children) {
        if (child->kind == kNodeDirectory && !child->path.empty() &&
            path.compare(0, child->path.size(), child->path) == 0) {
            found.push_back(child.get());
        }
    }
    return found;
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
    vp_set_address_connection_limit(count);
}

void CPierwatchDoc::SetConnectionLimit(std::uint32_t count) {
    kVpConnLimit.Set(*database_, count);
    vp_set_connection_limit(count);
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
    access_.access_way = way;
    access_.access_ip = ip;
    access_.access_domain = domain;
    database_->UpdateMasterAccess(way, ip, domain);
    ApplyLinkSettings(kVpPort.Get(*database_), kStsPort.Get(*database_));
    events_.Notify(SettingsChanged{"AccessWay"});
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
    for (MediaRecord& record : PublishedMedia(*database_)) {
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
    vp_set_speed_limit(speed_limit);
    vp_set_connection_limit(connection_limit);
    ip_filter_.Reload();
    platform::log::debug("settings: upload limit {} bytes/s, connection limit {} (0: unlimited)",
                         speed_limit, connection_limit);
}

// ---- Services ----

bool CPierwatchDoc::StartServices() {
    std::uint32_t vp_port = kVpPort.Get(*database_);
    // A stored port beyond 16 bits cannot be bound; say so rather than bind another port.
    if (vp_port > 0xFFFF || vp_start(static_cast<unsigned short>(vp_port)) == 1) {
        platform::log::error("transfer port {} (setting VP_Port) cannot be used", vp_port);
        events_.Notify(ServicesStopped{Format(kTransferPortConflict, vp_port)});
        sink_.show_message(Format(kTransferPortConflict, vp_port));
        sink_.post(AppMessage::WM_APP_GOTO_SETTING, kFieldTransferPort, {});
        return false;
    }
    std::uint32_t sts_port = kStsPort.Get(*database_);
    if (sts_port <= 0xFFFF && sts_start(static_cast<unsigned short>(sts_port)) != 1) {
        // The ports actually bound: a stored 0 leaves each server its own default.
        sockaddr_in peer_address{};
        sockaddr_in list_address{};
        vp_get_bind_addr(&peer_address);
        sts_get_bind_addr(&list_address);
        platform::log::info("services started: peers on port {}, lists on port {}, access {}",
                            ntohs(peer_address.sin_port), ntohs(list_address.sin_port),
                            access_.access_way == 0 ? access_.access_ip : access_.access_domain);
        kVpAutoStart.Set(*database_, 1);
        ServerStatusSnapshot status;
        GetServerStatus(status);
        events_.Notify(ServicesStarted{status.address});
        sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
        return true;
    }
    vp_stop();
    platform::log::error("protocol port {} (setting STS_Port) cannot be used", sts_port);
    events_.Notify(ServicesStopped{Format(kProtocolPortConflict, sts_port)});
    sink_.show_message(Format(kProtocolPortConflict, sts_port));
    sink_.post(AppMessage::WM_APP_GOTO_SETTING, kFieldProtocolPort, {});
    return false;
}

void CPierwatchDoc::StopServices(bool persist) {
    const bool was_running = ServicesRunning();
    vp_stop();
    sts_stop();
    if (persist) {
        kVpAutoStart.Set(*database_, 0);
    }
    NotifyServicesStopped(was_running, "stopped by the operator");
    if (sink_.window_exists()) {
        sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    }
}

bool CPierwatchDoc::ServicesRunning() const {
    return vp_run_stat() == 1;
}

void CPierwatchDoc::GetServerStatus(ServerStatusSnapshot& out) const {
    if (upload_limits_) {
        out.upload = upload_limits_->Current();
    }
    vp_get_refusal_stat(&out.refused);
    out.refused_by_filter = refusals_.Counts();
    out.recently_refused = refusals_.Recent();
    if (vp_run_stat() != 1) {
        out.running = 0;
        return;
    }
    out.running = 1;
    sockaddr_in bound{};
    vp_get_bind_addr(&bound);
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &bound.sin_addr, address, sizeof address);
    unsigned port = ntohs(bound.sin_port);
    out.address = std::string(address) + ":" + std::to_string(port);
    if (access_.access_way == 0) {
        out.address = access_.access_ip + ":" + std::to_string(port);
    } else if (access_.access_way == 1) {
        out.address = access_.access_domain + ":" + std::to_string(port);
    }
    vp_get_server_stat(&out.server);
    out.speed_limit = vp_get_speed_limit();
    out.connection_limit = vp_get_connection_limit();
    vp_get_cache_stat(&out.cache);
}

// ---- Server callbacks ----

std::string CPierwatchDoc::PathForGcid(const char* gcid, bool descriptor) {
    for (const MediaRecord& record : MediaByCid(*database_, gcid)) {
        if (record.state == kPublished) {
            return descriptor ? record.sts_path : record.local_path;
        }
    }
    return {};
}

bool CPierwatchDoc::CopyPathForGcid(const char* gcid, bool descriptor, char* path_out,
                                    unsigned size) {
    CPierwatchDoc* host = CurrentHost.load();
    if (host == nullptr || gcid == nullptr || !host->database_->is_open()) {
        return false;
    }
    std::string path = host->PathForGcid(gcid, descriptor);
    return !path.empty() && CopyToBuffer(path, path_out, size);
}

bool CPierwatchDoc::LocalPathForGcid(const char* gcid, char* path_out, unsigned size) {
    return CopyPathForGcid(gcid, false, path_out, size);
}

bool CPierwatchDoc::DescriptorPathForGcid(const char* gcid, char* path_out, unsigned size) {
    return CopyPathForGcid(gcid, true, path_out, size);
}

bool CPierwatchDoc::RefusePeer(in_addr* address) {
    CPierwatchDoc* host = CurrentHost.load();
    if (host == nullptr || address == nullptr) {
        return false;
    }
    const std::uint32_t peer = ntohl(address->s_addr);
    const IpRefusal refusal = host->ip_filter_.Check(peer);
    if (refusal == IpRefusal::None) {
        return false;
    }
    host->refusals_.Record(peer, refusal, std::time(nullptr));
    host->events_.Notify(PeerRefused{peer});
    return true;
}

bool CPierwatchDoc::ExportPublishedList(const char* path) {
    CPierwatchDoc* host = CurrentHost.load();
    if (host == nullptr) {
        return true;
    }
    if (path == nullptr || !host->database_->is_open()) {
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    for (const MediaRecord& record : PublishedMedia(*host->database_)) {
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
    MediaLibrary library(*database_);
    for (CPWTGuiderTreeNode* node : FindDirectoryNodes(path)) {
        node->published_count = library.PublishedCount(node->path);
    }
}

void CPierwatchDoc::LocateMedia(AppPayload& payload) {
    std::vector<MediaRecord> records = MediaByCid(*database_, payload.text);
    if (records.empty()) {
        return;
    }
    // The view selects the directory item of this record's folder; the publish page then
    // highlights the file.
    payload.record = std::make_unique<MediaRecord>(records.front());
    sink_.post(AppMessage::WM_APP_SHOW_MEDIA, 0, AppPayload::Record(records.front()));
}

void CPierwatchDoc::UnpublishDirectoryMessage(const std::string& path) {
    std::vector<MediaRecord> records = MediaByPrefix(*database_, path);
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
    vp_stop();
    sts_stop();
    NotifyServicesStopped(was_running, "the program exits");
    sink_.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    queue_->ClearPending();
    queue_->Shutdown();
}

void CPierwatchDoc::StoreRecord(const MediaRecord& record) {
    database_->StoreMedia(record);
}

void CPierwatchDoc::StoreState(const MediaRecord& record) {
    StoreMediaState(*database_, record.local_path, record.state);
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
