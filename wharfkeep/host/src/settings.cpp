#include "wharfkeep/host/settings.h"

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/upload_limit_controller.h"
#include "wharfkeep/iprules/address_range.h"

namespace wharfkeep::host {

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    return iprules::ParseAddress(text);
}

std::string FormatIpv4(std::uint32_t address) {
    return iprules::FormatAddress(address);
}

std::uint32_t UnsignedSetting::Get(ResourceDatabase& db) const {
    return ParseStoredUnsigned(db.GetParam(key_));
}

void UnsignedSetting::Set(ResourceDatabase& db, std::uint32_t value) const {
    db.SetParam(key_, std::to_string(value));
}

std::string StoredSettingText(ResourceDatabase& db, const ServerAccessSettings& access,
                              const std::string& key) {
    if (key == kMasterIdKey) {
        return db.GetMasterId();
    }
    if (key == "AccessWay") {
        return std::to_string(access.access_way);
    }
    if (key == "AccessIP") {
        return access.access_ip;
    }
    if (key == "AccessDomain") {
        return access.access_domain;
    }
    if (key == "VP_AltScheduleDays") {
        return schedule::FormatDays(LoadUploadLimitSettings(db).days);
    }
    if (key == "VP_AltScheduleFrom" || key == "VP_AltScheduleTo") {
        const schedule::UploadLimitSettings settings = LoadUploadLimitSettings(db);
        return schedule::FormatTimeOfDay(key == "VP_AltScheduleFrom" ? settings.from_minute
                                                                     : settings.to_minute);
    }
    return std::to_string(UnsignedSetting(key.c_str()).Get(db));
}

}  // namespace wharfkeep::host
