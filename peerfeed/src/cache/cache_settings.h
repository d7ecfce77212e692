#pragma once
// The server's tuning, section "vp" of "Wharfkeep.ini" in the application-data folder,
// read once when the server starts. A missing key or a negative value gives the default;
// values that would break the cache (a page size O_DIRECT cannot use, a zero slot length,
// no disk reads at all) fall back to their defaults or nearest sound value.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class IniFile;
}

namespace peerfeed {

struct cache_settings {
    std::uint32_t page_size = 65536;
    std::uint64_t block_size = 67108864;
    std::uint64_t reserved_mem_size = 314572800;
    std::uint64_t minimum_mem_size = 268435456;
    std::uint64_t maximum_mem_size = 1717986918;
    std::uint64_t disk_read_buffer_size = 104857600;
    std::uint32_t pop_calc_period_minutes = 1440;
    std::uint32_t pop_calc_count_interval_minutes = 30;
    std::uint32_t max_inprogress_file_io = 1;
    std::uint32_t auto_dump_cache_interval_seconds = 0;

    static cache_settings from_profile(const platform::IniFile& profile);
    static cache_settings from_app_profile();

    // A copy with every unusable value replaced.
    cache_settings validated() const;

    // Slots and slot length of each page's popularity counter.
    std::uint32_t popularity_slot_count() const;
    std::uint32_t popularity_slot_length_ms() const;
    // Pages considered for freeing in one eviction round (at least one).
    std::uint64_t eviction_batch_pages() const;
};

// Of the keys that differ between the settings a cache runs with and `fresh`, those only a
// restart applies: the page pool's layout and budget, the popularity window and the number
// of disk readers are set up once.
std::vector<std::string> keys_needing_restart(const cache_settings& running,
                                              const cache_settings& fresh);
// `running` with the keys a running cache can take over from `fresh`: how much one
// eviction round considers and how often the cache is dumped.
cache_settings with_live_keys(cache_settings running, const cache_settings& fresh);

// Reads dump_cache_file_path afresh (it may change while the server runs); empty = none.
std::string dump_cache_file_path();

// Upper bound of reads kept outstanding at once, whatever the profile says.
inline constexpr std::uint32_t max_parallel_reads = 64;

}  // namespace peerfeed
