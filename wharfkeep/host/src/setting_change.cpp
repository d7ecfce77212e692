// One setting changed by key, for `wharfkeepd config` and the control interface: the value
// has passed the settings table's rule, and each key goes to the operation the settings
// page would call.

#include <strings.h>

#include <string_view>

#include "wharfkeep/host/server_host.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {
namespace {

bool Is(const settings::SettingSpec& spec, std::string_view key) {
    return key == spec.key;
}

}  // namespace

bool CPierwatchDoc::ChangeUploadSchedule(const settings::SettingSpec& spec,
                                         const settings::CheckedValue& value) {
    UploadLimitController& limits = *upload_limits_;
    const schedule::UploadLimitSettings now = limits.Settings();
    const bool on = value.number != 0;
    const int minute = static_cast<int>(value.number);
    if (Is(spec, "VP_AltUploadSpeedLimit")) {
        limits.SetAlternativeLimit(value.number);
    } else if (Is(spec, "VP_AltScheduleOn")) {
        limits.SetSchedule(on, now.days, now.from_minute, now.to_minute);
    } else if (Is(spec, "VP_AltScheduleDays")) {
        limits.SetSchedule(now.schedule_on, value.number, now.from_minute, now.to_minute);
    } else if (Is(spec, "VP_AltScheduleFrom")) {
        limits.SetSchedule(now.schedule_on, now.days, minute, now.to_minute);
    } else if (Is(spec, "VP_AltScheduleTo")) {
        limits.SetSchedule(now.schedule_on, now.days, now.from_minute, minute);
    } else if (Is(spec, "VP_AltLimitManual")) {
        limits.SetManualAlternative(on);
    } else if (Is(spec, "VP_UploadPaused")) {
        limits.SetPaused(on);
    } else {
        return false;
    }
    return true;
}

bool CPierwatchDoc::ChangeSetting(const settings::SettingSpec& spec,
                                  const settings::CheckedValue& value) {
    if (ChangeUploadSchedule(spec, value)) {
        return true;
    }
    const bool on = value.number != 0;
    if (Is(spec, "VP_Port")) {
        SetTransferPort(value.number);
    } else if (Is(spec, "STS_Port")) {
        SetProtocolPort(value.number);
    } else if (Is(spec, "VP_UploadSpeedLimit")) {
        SetUploadSpeedLimit(value.number);
    } else if (Is(spec, "VP_ConnLimit")) {
        SetConnectionLimit(value.number);
    } else if (Is(spec, "VP_AddrConnLimit")) {
        SetAddressConnectionLimit(value.number);
    } else if (Is(spec, "VP_AutoStart")) {
        kVpAutoStart.Set(*database_, value.number);
    } else if (Is(spec, "UseIPFilter")) {
        ip_filter_.SetEnabled(on);
    } else if (Is(spec, "IP_NameListType")) {
        ip_filter_.SetDenyList(on);
    } else if (Is(spec, "AccessWay")) {
        SetAccess(static_cast<int>(value.number), access_.access_ip, access_.access_domain);
    } else if (Is(spec, "AccessIP")) {
        SetAccess(access_.access_way, value.text, access_.access_domain);
    } else if (Is(spec, "AccessDomain")) {
        SetAccess(access_.access_way, access_.access_ip, value.text);
    } else if (Is(spec, "WatchSettleSeconds") || Is(spec, "WatchRescanSeconds")) {
        // Read when watching starts: the next serve or window.
        UnsignedSetting(spec.key).Set(*database_, value.number);
    } else if (Is(spec, "Master_ID")) {
        // The same identity in another letter case changes nothing, as in the window.
        if (strcasecmp(value.text.c_str(), MasterId().c_str()) == 0) {
            return false;
        }
        SetMasterId(value.text);
    }
    return true;
}

}  // namespace wharfkeep::host
