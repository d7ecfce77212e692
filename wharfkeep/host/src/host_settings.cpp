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

HostSettings::HostSettings(const HostSettingsLinks& links)
    : links_(links),
      upload_limits_(links.database, &LocalWeekTime,
                     [&services = links.services](const schedule::UploadDecision& decision) {
                         services.ApplyUploadDecision(decision);
                     }) {}

HostSettings::~HostSettings() = default;

void HostSettings::Start(const ServerAccessSettings& access) {
    access_ = access;
    ApplyLinkSettings(kVpPort.Get(links_.database), kStsPort.Get(links_.database));
    links_.engine.SetReportMasterId(access_.master_id);
    // The normal limit, or the alternative one when the schedule or the switch says so.
    upload_limits_.Reload();
    upload_limits_.StartTimer();
    links_.services.SetConnectionLimit(kVpConnLimit.Get(links_.database));
    links_.services.SetAddressConnectionLimit(kVpAddrConnLimit.Get(links_.database));
}

std::string HostSettings::MasterId() {
    return links_.database.is_open() ? links_.database.GetMasterId() : "";
}

std::uint32_t HostSettings::Setting(const UnsignedSetting& setting) {
    return links_.database.is_open() ? setting.Get(links_.database) : 0;
}

std::string HostSettings::SettingText(const std::string& key) {
    return StoredSettingText(links_.database, access_, key);
}

void HostSettings::ApplyLinkSettings(std::uint32_t peer_port, std::uint32_t list_port) {
    std::string master_id = MasterId();
    if (access_.access_way == 0) {
        links_.engine.SetLinkSettings(access_.access_ip, "", peer_port, list_port, master_id);
    } else {
        links_.engine.SetLinkSettings("", access_.access_domain, peer_port, list_port, master_id);
    }
}

void HostSettings::SetUploadSpeedLimit(std::uint32_t bytes_per_second) {
    // Stores VP_UploadSpeedLimit; peerfeed gets it unless the alternative limit is in force.
    upload_limits_.SetNormalLimit(bytes_per_second);
    links_.events.Notify(SettingsChanged{kVpUploadSpeedLimit.key()});
}

void HostSettings::SetAddressConnectionLimit(std::uint32_t count) {
    kVpAddrConnLimit.Set(links_.database, count);
    links_.services.SetAddressConnectionLimit(count);
    links_.events.Notify(SettingsChanged{kVpAddrConnLimit.key()});
}

void HostSettings::SetConnectionLimit(std::uint32_t count) {
    kVpConnLimit.Set(links_.database, count);
    links_.services.SetConnectionLimit(count);
    links_.events.Notify(SettingsChanged{kVpConnLimit.key()});
}

void HostSettings::SetTransferPort(std::uint32_t port) {
    ApplyLinkSettings(port, kStsPort.Get(links_.database));
    kVpPort.Set(links_.database, port);
    links_.events.Notify(SettingsChanged{kVpPort.key()});
}

void HostSettings::SetProtocolPort(std::uint32_t port) {
    ApplyLinkSettings(kVpPort.Get(links_.database), port);
    kStsPort.Set(links_.database, port);
    links_.events.Notify(SettingsChanged{kStsPort.key()});
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
    links_.database.UpdateMasterAccess(way, ip, domain);
    ApplyLinkSettings(kVpPort.Get(links_.database), kStsPort.Get(links_.database));
    for (const std::string& key : changed) {
        links_.events.Notify(SettingsChanged{key});
    }
    links_.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
}

void HostSettings::SetMasterId(const std::string& id) {
    links_.database.SetParam(kMasterIdKey, id);
    access_.master_id = id.substr(0, 127);
    ApplyLinkSettings(kVpPort.Get(links_.database), kStsPort.Get(links_.database));
    // Reports carry the identity that published links now carry.
    links_.engine.SetReportMasterId(access_.master_id);
    if (access_.access_way == 0 || access_.access_way == 1) {
        RelinkPublishedFiles();
    }
    links_.events.Notify(SettingsChanged{kMasterIdKey});
}

void HostSettings::RelinkPublishedFiles() {
    for (MediaRecord& record : links_.library.PublishedMedia()) {
        if (record.url.empty()) {
            continue;
        }
        record.url = links_.engine.RelinkUrl(record.url);
        links_.library.Store(record);
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
    if (links_.sink.ask_yes_no(FormatText(kAccessAddressQuestion, ip))) {
        links_.sink.post(AppMessage::WM_APP_GOTO_SETTING, kFieldAccessIp, {});
    }
}

void HostSettings::ReloadSettings() {
    const std::uint32_t speed_limit = kVpUploadSpeedLimit.Get(links_.database);
    const std::uint32_t connection_limit = kVpConnLimit.Get(links_.database);
    links_.services.SetSpeedLimit(speed_limit);
    links_.services.SetConnectionLimit(connection_limit);
    links_.ip_filter.Reload();
    platform::log::debug("settings: upload limit {} bytes/s, connection limit {} (0: unlimited)",
                         speed_limit, connection_limit);
    // Wharfkeep.ini: the peer server's cache tuning (what it can change while running) and
    // where publish reports go.
    links_.services.ReloadCacheSettings();
    links_.engine.ReloadReportEndpoint();
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
    const auto told = [&] { links_.events.Notify(SettingsChanged{entry.key}); };
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
        kVpAutoStart.Set(links_.database, value.number);
        told();
    } else if (Is(entry, "UseIPFilter")) {
        links_.ip_filter.SetEnabled(on);
        told();
    } else if (Is(entry, "IP_NameListType")) {
        links_.ip_filter.SetDenyList(on);
        told();
    } else if (Is(entry, "AccessWay")) {
        SetAccess(static_cast<int>(value.number), access_.access_ip, access_.access_domain);
    } else if (Is(entry, "AccessIP")) {
        SetAccess(access_.access_way, value.text, access_.access_domain);
    } else if (Is(entry, "AccessDomain")) {
        SetAccess(access_.access_way, access_.access_ip, value.text);
    } else if (Is(entry, "WatchSettleSeconds") || Is(entry, "WatchRescanSeconds")) {
        // Read when watching starts: the next serve or window.
        UnsignedSetting(entry.key).Set(links_.database, value.number);
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
