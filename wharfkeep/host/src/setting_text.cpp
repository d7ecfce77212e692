// A stored setting as `wharfkeepd config` prints it. Kept apart from the value parsers in
// settings.cpp because it reads the upload schedule, which the parsers' fuzz target does
// not link.

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/host/upload_limit_controller.h"

namespace wharfkeep::host {

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
