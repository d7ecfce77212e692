#include <gtest/gtest.h>

#include <fstream>

#include "server_fixture.h"
#include "settings.h"

namespace peerfeed::test {
namespace {

TEST(Settings, DefaultsWithoutAProfile) {
    fresh_home home;
    const vp_settings settings = vp_settings::load();
    EXPECT_EQ(settings.page_size, 65536u);
    EXPECT_EQ(settings.block_size, 67108864u);
    EXPECT_EQ(settings.reserved_mem_size, 314572800u);
    EXPECT_EQ(settings.minimum_mem_size, 268435456u);
    EXPECT_EQ(settings.maximum_mem_size, 1717986918u);
    EXPECT_EQ(settings.disk_read_buffer_size, 104857600u);
    EXPECT_EQ(settings.pop_calc_period_minutes, 1440u);
    EXPECT_EQ(settings.pop_calc_count_interval_minutes, 30u);
    EXPECT_EQ(settings.max_inprogress_file_io, 1u);
    EXPECT_EQ(settings.auto_dump_cache_interval_seconds, 0u);
    EXPECT_EQ(load_dump_cache_file_path(), "");
}

TEST(Settings, ProfileKeysOfSectionVp) {
    fresh_home home;
    {
        std::ofstream profile(home.path() / "Wharfkeep.ini");
        profile << "[other]\npage_size=4096\n"
                << "[VP]\nPage_Size=131072\nmax_inprogress_file_io=4\n"
                << "pop_calc_count_interval_minutes=0\nreserved_mem_size=-5\n"
                << "auto_dump_cache_interval_seconds=60\ndump_cache_file_path=/tmp/dump one.txt\n";
    }
    const vp_settings settings = vp_settings::load();
    EXPECT_EQ(settings.page_size, 131072u);
    EXPECT_EQ(settings.max_inprogress_file_io, 4u);
    EXPECT_EQ(settings.pop_calc_count_interval_minutes, 30u) << "0 would divide by zero";
    EXPECT_EQ(settings.reserved_mem_size, 314572800u) << "negative sizes are not sizes";
    EXPECT_EQ(settings.auto_dump_cache_interval_seconds, 60u);
    EXPECT_EQ(load_dump_cache_file_path(), "/tmp/dump one.txt");

    std::ofstream(home.path() / "Wharfkeep.ini") << "[vp]\ndump_cache_file_path=/tmp/other\n";
    EXPECT_EQ(load_dump_cache_file_path(), "/tmp/other") << "read afresh for every dump";
}

}  // namespace
}  // namespace peerfeed::test
