#include "wharfkeep/host/host_settings.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/local_address.h"
#include "platform/log.h"
#include "wharfkeep/host/local_time.h"

namespace wharfkeep::host {
namespace {

std::string FormatText(const char* pattern, const std::string& value) {
    std::vector<char> text(std::strlen(pattern) + value.size() + 1);
    std::snprintf(text.data(), text.size(), pattern, value.c_str());
    return text.data();
}

bool Is(const settings::SettingEntry& entry, std::string_view key) {
    return key == entry.key;
}

}  // namespace

HostSettings::HostSettings(const HostCore& core, Services& services, IpFilterTable& ip_filter)
    : core_(core),
      services_(services),
      ip_filter_(ip_filter),
      upload_limits_(core.database, &LocalWeekTime,
                     [&services](const schedule::UploadDecision& decision) {
                         services.ApplyUploadDecision(decision);
                     }) {}

HostSettings::~HostSettings() = default;

void HostSettings::Start(const ServerAccessSettings& access) {
    access_ = access;
    ApplyLinkSettings(kVpPort.Get(core_.database), kStsPort.Get(core_.database));
    core_.queue.engine().SetReportMasterId(access_.master_id);
    // The normal limit, or the alternative one when the schedule or the switch says so.
    upload_limits_.Reload();
    upload_limits_.StartTimer();
    services_.SetConnectionLimit(kVpConnLimit.Get(core_.database));
    services_.SetAddressConnectionLimit(kVpAddrConnLimit.Get(core_.database));
}

std::string HostSettings::MasterId() {
    return core_.database.is_open() ? core_.database.GetMasterId() : "";
}

std::uint32_t HostSettings::Setting(const UnsignedSetting& setting) {
    return core_.database.is_open() ? setting.Get(core_.database) : 0;
}

std::string HostSettings::SettingText(const std::string& key) {
    return StoredSettingText(core_.database, access_, key);
}

void HostSettings::ApplyLinkSettings(std::uint32_t peer_port, std::uint32_t list_port) {
    std::string master_id = MasterId();
    if (access_.access_way == 0) {
        core_.queue.engine().SetLinkSettings(access_.access_ip, "", peer_port, list_port,
                                             master_id);
    } else {
        core_.queue.engine().SetLinkSettings("", access_.access_domain, peer_port, list_port,
                                             master_id);
    }
}

void HostSettings::SetUploadSpeedLimit(std::uint32_t bytes_per_second) {
    // Stores VP_UploadSpeedLimit; peerfeed gets it unless the alternative limit is in force.
    upload_limits_.SetNormalLimit(bytes_per_second);
    core_.events.Notify(SettingsChanged{kVpUploadSpeedLimit.key()});
}

void HostSettings::SetAddressConnectionLimit(std::uint32_t count) {
    kVpAddrConnLimit.Set(core_.database, count);
    services_.SetAddressConnectionLimit(count);
    core_.events.Notify(SettingsChanged{kVpAddrConnLimit.key()});
}

void HostSettings::SetConnectionLimit(std::uint32_t count) {
    kVpConnLimit.Set(core_.database, count);
    services_.SetConnectionLimit(count);
    core_.events.Notify(SettingsChanged{kVpConnLimit.key()});
}

void HostSettings::SetTransferPort(std::uint32_t port) {
    ApplyLinkSettings(port, kStsPort.Get(core_.database));
    kVpPort.Set(core_.database, port);
    core_.events.Notify(SettingsChanged{kVpPort.key()});
}

void HostSettings::SetProtocolPort(std::uint32_t port) {
    ApplyLinkSettings(kVpPort.Get(core_.database), port);
    kStsPort.Set(core_.database, port);
    core_.events.Notify(SettingsChanged{kStsPort.key()});
}

void HostSettings::SetAccess(int way, const std::string& ip, const std::string& domain) {
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
    core_.database.UpdateMasterAccess(way, ip, domain);
    ApplyLinkSettings(kVpPort.Get(core_.database), kStsPort.Get(core_.database));
    for (const std::string& key : changed) {
        core_.events.Notify(SettingsChanged{key});
    }
    core_.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
}

void HostSettings::SetMasterId(const std::string& id) {
    core_.database.SetParam(kMasterIdKey, id);
    access_.master_id = id.substr(0, 127);
    ApplyLinkSettings(kVpPort.Get(core_.database), kStsPort.Get(core_.database));
    // Reports carry the identity that published links now carry.
    core_.queue.engine().SetReportMasterId(access_.master_id);
    if (access_.access_way == 0 || access_.access_way == 1) {
        RelinkPublishedFiles();
    }
    core_.events.Notify(SettingsChanged{kMasterIdKey});
}

void HostSettings::RelinkPublishedFiles() {
    for (MediaRecord& record : core_.library.PublishedMedia()) {
        if (record.url.empty()) {
            continue;
        }
        record.url = core_.queue.engine().RelinkUrl(record.url);
        core_.library.Store(record);
    }
}

AccessAddressVerdict HostSettings::JudgeAccessAddress() const {
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

void HostSettings::CheckAccessAddress() {
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
    if (core_.sink.ask_yes_no(FormatText(kAccessAddressQuestion, ip))) {
        core_.sink.post(AppMessage::WM_APP_GOTO_SETTING, kFieldAccessIp, {});
    }
}

void HostSettings::ReloadSettings() {
    const std::uint32_t speed_limit = kVpUploadSpeedLimit.Get(core_.database);
    const std::uint32_t connection_limit = kVpConnLimit.Get(core_.database);
    services_.SetSpeedLimit(speed_limit);
    services_.SetConnectionLimit(connection_limit);
    ip_filter_.Reload();
    platform::log::debug("settings: upload limit {} bytes/s, connection limit {} (0: unlimited)",
                         speed_limit, connection_limit);
    // Wharfkeep.ini: the peer server's cache tuning (what it can change while running) and
    // where publish reports go.
    services_.ReloadCacheSettings();
    core_.queue.engine().ReloadReportEndpoint();
}

// ---- One setting changed by key (wharfkeepd config, the control interface) ----

bool HostSettings::ChangeUploadSchedule(const settings::SettingEntry& entry,
                                        const settings::CheckedValue& value) {
    UploadLimitController& limits = upload_limits_;
    const schedule::UploadLimitSettings now = limits.Settings();
    const bool on = value.number != 0;
    const int minute = static_cast<int>(value.number);
    if (Is(entry, "VP_AltUploadSpeedLimit")) {
        limits.SetAlternativeLimit(value.number);
    } else if (Is(entry, "VP_AltScheduleOn")) {
        limits.SetSchedule(on, now.days, now.from_minute, now.to_minute);
    } else if (Is(entry, "VP_AltScheduleDays")) {
        limits.SetSchedule(now.schedule_on, value.number, now.from_minute, now.to_minute);
    } else if (Is(entry, "VP_AltScheduleFrom")) {
        limits.SetSchedule(now.schedule_on, now.days, minute, now.to_minute);
    } else if (Is(entry, "VP_AltScheduleTo")) {
        limits.SetSchedule(now.schedule_on, now.days, now.from_minute, minute);
    } else if (Is(entry, "VP_AltLimitManual")) {
        limits.SetManualAlternative(on);
    } else if (Is(entry, "VP_UploadPaused")) {
        limits.SetPaused(on);
    } else {
        return false;
    }
    return true;
}

bool HostSettings::ChangeSetting(const settings::SettingEntry& entry,
                                 const settings::CheckedValue& value) {
    // Keys whose operation does not tell the listeners itself are told of here, so that
    // every change of a setting reaches them once.
    const auto told = [&] { core_.events.Notify(SettingsChanged{entry.key}); };
    if (ChangeUploadSchedule(entry, value)) {
        told();
        return true;
    }
    const bool on = value.number != 0;
    if (Is(entry, "VP_Port")) {
        SetTransferPort(value.number);
    } else if (Is(entry, "STS_Port")) {
        SetProtocolPort(value.number);
    } else if (Is(entry, "VP_UploadSpeedLimit")) {
        SetUploadSpeedLimit(value.number);
    } else if (Is(entry, "VP_ConnLimit")) {
        SetConnectionLimit(value.number);
    } else if (Is(entry, "VP_AddrConnLimit")) {
        SetAddressConnectionLimit(value.number);
    } else if (Is(entry, "VP_AutoStart")) {
        kVpAutoStart.Set(core_.database, value.number);
        told();
    } else if (Is(entry, "UseIPFilter")) {
        ip_filter_.SetEnabled(on);
        told();
    } else if (Is(entry, "IP_NameListType")) {
        ip_filter_.SetDenyList(on);
        told();
    } else if (Is(entry, "AccessWay")) {
        SetAccess(static_cast<int>(value.number), access_.access_ip, access_.access_domain);
    } else if (Is(entry, "AccessIP")) {
        SetAccess(access_.access_way, value.text, access_.access_domain);
    } else if (Is(entry, "AccessDomain")) {
        SetAccess(access_.access_way, access_.access_ip, value.text);
    } else if (Is(entry, "WatchSettleSeconds") || Is(entry, "WatchRescanSeconds")) {
        // Read when watching starts: the next serve or window.
        UnsignedSetting(entry.key).Set(core_.database, value.number);
        told();
    } else if (Is(entry, "Master_ID")) {
        // The same identity in another letter case changes nothing, as in the window.
        if (strcasecmp(value.text.c_str(), MasterId().c_str()) == 0) {
            return false;
        }
        SetMasterId(value.text);
    }
    return true;
}

}  // namespace wharfkeep::host
