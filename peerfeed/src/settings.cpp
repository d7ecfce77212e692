#include "settings.h"

#include "platform/ini_file.h"

namespace peerfeed {
namespace {

constexpr const char* section = "vp";

// The profile reader yields 32-bit values like the classic call; sizes and counts are
// never negative, so a negative entry falls back to the default.
template <typename T>
void read_key(const platform::IniFile& profile, const char* key, T& value) {
    const std::int64_t read = profile.get_int(section, key, static_cast<std::int64_t>(value));
    if (read >= 0) {
        value = static_cast<T>(read);
    }
}

// Keys the cache divides by or waits on: 0 would stall or divide by zero, so it means the
// default.
template <typename T>
void read_positive_key(const platform::IniFile& profile, const char* key, T& value) {
    const T fallback = value;
    read_key(profile, key, value);
    if (value == 0) {
        value = fallback;
    }
}

}  // namespace

vp_settings vp_settings::load() {
    const platform::IniFile profile = platform::IniFile::load_app_profile();
    vp_settings settings;
    read_positive_key(profile, "page_size", settings.page_size);
    read_positive_key(profile, "block_size", settings.block_size);
    read_key(profile, "reserved_mem_size", settings.reserved_mem_size);
    read_key(profile, "minimum_mem_size", settings.minimum_mem_size);
    read_key(profile, "maximum_mem_size", settings.maximum_mem_size);
    read_key(profile, "disk_read_buffer_size", settings.disk_read_buffer_size);
    read_positive_key(profile, "pop_calc_period_minutes", settings.pop_calc_period_minutes);
    read_positive_key(profile, "pop_calc_count_interval_minutes",
                      settings.pop_calc_count_interval_minutes);
    read_positive_key(profile, "max_inprogress_file_io", settings.max_inprogress_file_io);
    read_key(profile, "auto_dump_cache_interval_seconds",
             settings.auto_dump_cache_interval_seconds);
    return settings;
}

std::string load_dump_cache_file_path() {
    return platform::IniFile::load_app_profile().get_string(section, "dump_cache_file_path", "");
}

}  // namespace peerfeed
