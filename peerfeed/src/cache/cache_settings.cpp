#include "cache/cache_settings.h"

#include <algorithm>
#include <limits>

#include "platform/ini_file.h"
#include "settings.h"

namespace peerfeed {
namespace {

constexpr const char* section = "vp";
// O_DIRECT needs buffers, offsets and lengths aligned to the logical block size; 4096
// covers every common disk.
constexpr std::uint32_t direct_io_alignment = 4096;
constexpr std::uint32_t largest_page_size = 16u << 20;
constexpr std::size_t path_buffer_size = 4096;

// The profile reader gives the classic 32-bit result; negative values come back as the
// unsigned number with the same bits, as the classic integer profile call returns them.
std::uint32_t read_uint(const platform::IniFile& profile, const char* key, std::uint32_t fallback) {
    return static_cast<std::uint32_t>(profile.get_int(section, key, fallback));
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
    s.page_size = read_uint(profile, "page_size", s.page_size);
    s.block_size = read_uint(profile, "block_size", static_cast<std::uint32_t>(s.block_size));
    s.reserved_mem_size =
        read_uint(profile, "reserved_mem_size", static_cast<std::uint32_t>(s.reserved_mem_size));
    s.minimum_mem_size =
        read_uint(profile, "minimum_mem_size", static_cast<std::uint32_t>(s.minimum_mem_size));
    s.maximum_mem_size =
        read_uint(profile, "maximum_mem_size", static_cast<std::uint32_t>(s.maximum_mem_size));
    s.disk_read_buffer_size = read_uint(profile, "disk_read_buffer_size",
                                        static_cast<std::uint32_t>(s.disk_read_buffer_size));
    s.pop_calc_period_minutes =
        read_uint(profile, "pop_calc_period_minutes", s.pop_calc_period_minutes);
    s.pop_calc_count_interval_minutes =
        read_uint(profile, "pop_calc_count_interval_minutes", s.pop_calc_count_interval_minutes);
    s.max_inprogress_file_io =
        read_uint(profile, "max_inprogress_file_io", s.max_inprogress_file_io);
    s.auto_dump_cache_interval_seconds = read_uint(profile, "auto_dump_cache_interval_seconds", 0);
    return s.validated();
}

cache_settings cache_settings::from(const vp_settings& server) {
    cache_settings s;
    s.page_size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(server.page_size, std::numeric_limits<std::uint32_t>::max()));
    s.block_size = server.block_size;
    s.reserved_mem_size = server.reserved_mem_size;
    s.minimum_mem_size = server.minimum_mem_size;
    s.maximum_mem_size = server.maximum_mem_size;
    s.disk_read_buffer_size = server.disk_read_buffer_size;
    s.pop_calc_period_minutes = server.pop_calc_period_minutes;
    s.pop_calc_count_interval_minutes = server.pop_calc_count_interval_minutes;
    s.max_inprogress_file_io = server.max_inprogress_file_io;
    s.auto_dump_cache_interval_seconds = server.auto_dump_cache_interval_seconds;
    return s.validated();
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
