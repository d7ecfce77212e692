#include <gtest/gtest.h>

#include "cache/cache_settings.h"
#include "cache_test_support.h"
#include "platform/ini_file.h"

namespace peerfeed {
namespace {

TEST(CacheSettings, DefaultsWithoutAProfile) {
    testing::temp_folder home;
    const cache_settings s = cache_settings::from_app_profile();
    EXPECT_EQ(s.page_size, 65536u);
    EXPECT_EQ(s.block_size, 67108864u);
    EXPECT_EQ(s.reserved_mem_size, 314572800u);
    EXPECT_EQ(s.minimum_mem_size, 268435456u);
    EXPECT_EQ(s.maximum_mem_size, 1717986918u);
    EXPECT_EQ(s.disk_read_buffer_size, 104857600u);
    EXPECT_EQ(s.popularity_slot_count(), 48u);
    EXPECT_EQ(s.popularity_slot_length_ms(), 30u * 60000u);
    EXPECT_EQ(s.max_inprogress_file_io, 1u);
    EXPECT_EQ(s.auto_dump_cache_interval_seconds, 0u);
    EXPECT_EQ(s.eviction_batch_pages(), 1600u);
    EXPECT_EQ(dump_cache_file_path(), "");
}

TEST(CacheSettings, ReadsSectionVp) {
    testing::temp_folder home;
    home.write_profile(
        "[vp]\npage_size=131072\nblock_size=1048576\nminimum_mem_size=1048576\n"
        "maximum_mem_size=2097152\npop_calc_period_minutes=60\n"
        "pop_calc_count_interval_minutes=10\nmax_inprogress_file_io=4\n"
        "auto_dump_cache_interval_seconds=5\ndump_cache_file_path=/tmp/x y%z\"q.txt\n");
    const cache_settings s = cache_settings::from_app_profile();
    EXPECT_EQ(s.page_size, 131072u);
    EXPECT_EQ(s.block_size, 1048576u);
    EXPECT_EQ(s.minimum_mem_size, 1048576u);
    EXPECT_EQ(s.maximum_mem_size, 2097152u);
    EXPECT_EQ(s.popularity_slot_count(), 6u);
    EXPECT_EQ(s.popularity_slot_length_ms(), 600000u);
    EXPECT_EQ(s.max_inprogress_file_io, 4u);
    EXPECT_EQ(s.auto_dump_cache_interval_seconds, 5u);
    EXPECT_EQ(dump_cache_file_path(), "/tmp/x y%z\"q.txt");
}

TEST(CacheSettings, SectionAndKeysAreCaseInsensitiveAndNegativesMeanDefaults) {
    testing::temp_folder home;
    home.write_profile(
        "[other]\npage_size=4096\n[VP]\nPage_Size=131072\nreserved_mem_size=-5\n"
        "dump_cache_file_path=/tmp/dump one.txt\n");
    const cache_settings s = cache_settings::from_app_profile();
    EXPECT_EQ(s.page_size, 131072u);
    EXPECT_EQ(s.reserved_mem_size, 314572800u) << "negative sizes are not sizes";
    EXPECT_EQ(dump_cache_file_path(), "/tmp/dump one.txt");

    home.write_profile("[vp]\ndump_cache_file_path=/tmp/other\n");
    EXPECT_EQ(dump_cache_file_path(), "/tmp/other") << "read afresh for every dump";
}

TEST(CacheSettings, UnusableValuesFallBackToSoundOnes) {
    platform::IniFile profile;
    testing::temp_folder home;
    // A page size O_DIRECT cannot use, a block smaller than a page, a zero slot length
    // (which would divide by zero), no disk reads at all, and a period shorter than a slot.
    home.write_profile(
        "[vp]\npage_size=1000\nblock_size=10\npop_calc_count_interval_minutes=0\n"
        "pop_calc_period_minutes=5\nmax_inprogress_file_io=0\ndisk_read_buffer_size=1\n");
    cache_settings s = cache_settings::from_app_profile();
    EXPECT_EQ(s.page_size, 65536u);
    EXPECT_EQ(s.block_size, 65536u);
    EXPECT_EQ(s.pop_calc_count_interval_minutes, 30u);
    EXPECT_EQ(s.popularity_slot_count(), 1u);
    EXPECT_EQ(s.max_inprogress_file_io, 1u);
    EXPECT_EQ(s.eviction_batch_pages(), 1u);

    home.write_profile("[vp]\nmax_inprogress_file_io=100000\nblock_size=100000\n");
    s = cache_settings::from_app_profile();
    EXPECT_EQ(s.max_inprogress_file_io, max_parallel_reads);
    EXPECT_EQ(s.block_size, 65536u);  // whole pages only
}

}  // namespace
}  // namespace peerfeed
