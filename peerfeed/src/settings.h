#pragma once
// The server's tuning, section "vp" of "Wharfkeep.ini" in the application-data folder,
// read once when the server starts. A missing file or key gives the default.

#include <cstdint>
#include <string>

namespace peerfeed {

struct vp_settings {
    std::uint64_t page_size = 65536;
    std::uint64_t block_size = 67108864;
    std::uint64_t reserved_mem_size = 314572800;
    std::uint64_t minimum_mem_size = 268435456;
    std::uint64_t maximum_mem_size = 1717986918;
    std::uint64_t disk_read_buffer_size = 104857600;
    std::uint32_t pop_calc_period_minutes = 1440;
    std::uint32_t pop_calc_count_interval_minutes = 30;
    std::uint32_t max_inprogress_file_io = 1;
    std::uint32_t auto_dump_cache_interval_seconds = 0;

    static vp_settings load();
};

// dump_cache_file_path, read afresh each time a dump is written; empty = no dump.
std::string load_dump_cache_file_path();

}  // namespace peerfeed
