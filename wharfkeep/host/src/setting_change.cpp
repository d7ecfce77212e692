// One setting changed by key, for `wharfkeepd config` and the control interface: the value
// has passed the settings table's rule, and each key goes to the operation the settings
// page would call.

#include <strings.h>

#include <string_view>

#include "wharfkeep/host/server_host.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {
namespace {

bool Is(const settings::SettingEntry& entry, std::string_view key) {
    return key == entry.key;
}

}  // namespace

bool CPierwatchDoc::ChangeUploadSchedule(const settings::SettingEntry& entry,
                                         const settings::CheckedValue& value) {
    UploadLimitController& limits = *upload_limits_;
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

bool CPierwatchDoc::ChangeSetting(const settings::SettingEntry& entry,
                                  const settings::CheckedValue& value) {
    // Keys whose operation does not tell the listeners itself are told of here, so that
    // every change of a setting reaches them once.
    const auto told = [&] { events_.Notify(SettingsChanged{entry.key}); };
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
        kVpAutoStart.Set(*database_, value.number);
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
        UnsignedSetting(entry.key).Set(*database_, value.number);
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
