#include "cache/cache_settings.h"

#include <algorithm>

#include "platform/ini_file.h"

namespace peerfeed {
namespace {

constexpr const char* section = "vp";
// O_DIRECT needs buffers, offsets and lengths aligned to the logical block size; 4096
// covers every common disk.
constexpr std::uint32_t direct_io_alignment = 4096;
constexpr std::uint32_t largest_page_size = 16u << 20;
constexpr std::size_t path_buffer_size = 4096;

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

cache_settings cache_settings::validated() const {
    const cache_settings defaults;
    cache_settings s = *this;
    if (s.page_size < direct_io_alignment || s.page_size % direct_io_alignment != 0 ||
        s.page_size > largest_page_size) {
        s.page_size = defaults.page_size;
    }
    s.block_size = std::max<std::uint64_t>(s.block_size / s.page_size, 1) * s.page_size;
    if (s.pop_calc_count_interval_minutes == 0) {
        s.pop_calc_count_interval_minutes = defaults.pop_calc_count_interval_minutes;
    }
    s.max_inprogress_file_io =
        std::clamp<std::uint32_t>(s.max_inprogress_file_io, 1, max_parallel_reads);
    return s;
}

cache_settings cache_settings::from_profile(const platform::IniFile& profile) {
    cache_settings s;
    read_positive_key(profile, "page_size", s.page_size);
    read_positive_key(profile, "block_size", s.block_size);
    read_key(profile, "reserved_mem_size", s.reserved_mem_size);
    read_key(profile, "minimum_mem_size", s.minimum_mem_size);
    read_key(profile, "maximum_mem_size", s.maximum_mem_size);
    read_key(profile, "disk_read_buffer_size", s.disk_read_buffer_size);
    read_positive_key(profile, "pop_calc_period_minutes", s.pop_calc_period_minutes);
    read_positive_key(profile, "pop_calc_count_interval_minutes",
                      s.pop_calc_count_interval_minutes);
    read_positive_key(profile, "max_inprogress_file_io", s.max_inprogress_file_io);
    read_key(profile, "auto_dump_cache_interval_seconds", s.auto_dump_cache_interval_seconds);
    return s.validated();
}

std::vector<std::string> keys_needing_restart(const cache_settings& running,
                                              const cache_settings& fresh) {
    std::vector<std::string> keys;
    auto compare = [&keys](const char* key, std::uint64_t now, std::uint64_t then) {
        if (now != then) {
            keys.emplace_back(key);
        }
    };
    compare("page_size", fresh.page_size, running.page_size);
    compare("block_size", fresh.block_size, running.block_size);
    compare("reserved_mem_size", fresh.reserved_mem_size, running.reserved_mem_size);
    compare("minimum_mem_size", fresh.minimum_mem_size, running.minimum_mem_size);
    compare("maximum_mem_size", fresh.maximum_mem_size, running.maximum_mem_size);
    compare("pop_calc_period_minutes", fresh.pop_calc_period_minutes,
            running.pop_calc_period_minutes);
    compare("pop_calc_count_interval_minutes", fresh.pop_calc_count_interval_minutes,
            running.pop_calc_count_interval_minutes);
    compare("max_inprogress_file_io", fresh.max_inprogress_file_io, running.max_inprogress_file_io);
    return keys;
}

cache_settings with_live_keys(cache_settings running, const cache_settings& fresh) {
    running.disk_read_buffer_size = fresh.disk_read_buffer_size;
    running.auto_dump_cache_interval_seconds = fresh.auto_dump_cache_interval_seconds;
    return running;
}

cache_settings cache_settings::from_app_profile() {
    return from_profile(platform::IniFile::load_app_profile());
}

std::uint32_t cache_settings::popularity_slot_count() const {
    return std::max<std::uint32_t>(pop_calc_period_minutes / pop_calc_count_interval_minutes, 1);
}

std::uint32_t cache_settings::popularity_slot_length_ms() const {
    // Kept below 2^32 ms; an interval of more than 49 days is not a useful slot anyway.
    const std::uint64_t ms = std::uint64_t{pop_calc_count_interval_minutes} * 60000u;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 0xFFFFFFFFu));
}

std::uint64_t cache_settings::eviction_batch_pages() const {
    return std::max<std::uint64_t>(disk_read_buffer_size / page_size, 1);
}

std::string dump_cache_file_path() {
    std::string path =
        platform::IniFile::load_app_profile().get_string(section, "dump_cache_file_path", "");
    // A path longer than the platform allows is refused rather than cut short.
    return path.size() < path_buffer_size ? path : std::string();
}

}  // namespace peerfeed
