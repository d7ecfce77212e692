// The refusal rule and the IP filter table over a real database.

#include <gtest/gtest.h>

#include <random>

#include "host_test_support.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/iprules/block_list.h"

namespace wharfkeep::host {
namespace {

std::uint32_t Ip(const char* text) {
    return *ParseIpv4(text);
}

TEST(IpFilterRule, ListTypesAndEmptyLists) {
    IpFilterState state;
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.5")));  // filtering off
    state.ranges.push_back({1, Ip("10.0.0.1"), Ip("10.0.0.9")});
    EXPECT_FALSE(IsRefused(state, Ip("192.168.1.1")));  // still off, whatever the list
    state.enabled = true;
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.5")));
    EXPECT_TRUE(IsRefused(state, Ip("10.0.0.10")));
    state.deny_list = true;
    EXPECT_TRUE(IsRefused(state, Ip("10.0.0.5")));
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.10")));
    state.ranges.clear();
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.5")));  // empty deny list serves everybody
    state.deny_list = false;
    EXPECT_TRUE(IsRefused(state, Ip("10.0.0.5")));  // empty allow list refuses everybody
}

TEST(IpFilterRule, BoundsAreInclusiveAndCompareUnsigned) {
    IpFilterState state;
    state.enabled = true;
    state.ranges.push_back({1, Ip("10.0.0.7"), Ip("10.0.0.7")});
    state.ranges.push_back({2, Ip("10.0.0.1"), Ip("10.0.1.0")});
    state.ranges.push_back({3, Ip("200.0.0.0"), Ip("255.255.255.255")});
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.7")));
    EXPECT_FALSE(IsRefused(state, Ip("10.0.0.255")));
    EXPECT_FALSE(IsRefused(state, Ip("10.0.1.0")));
    EXPECT_TRUE(IsRefused(state, Ip("10.0.1.1")));
    EXPECT_FALSE(IsRefused(state, Ip("255.255.255.255")));
    EXPECT_TRUE(IsRefused(state, Ip("199.255.255.255")));
}

class IpFilterTableTest : public ::testing::Test {
protected:
    IpFilterTableTest() {
        db.Open(home.home() / "Wharfkeep.sqlite", "127.0.0.1", "", access);
        table.Bind(&db);
        table.Reload();
    }
    testing::TempHome home;
    ResourceDatabase db;
    ServerAccessSettings access;
    IpFilterTable table;
};

TEST_F(IpFilterTableTest, NothingIsLoadedWithoutADatabase) {
    IpFilterTable unbound;
    unbound.Reload();
    unbound.AddRange(1, 2);
    EXPECT_TRUE(unbound.Snapshot().ranges.empty());
    EXPECT_FALSE(unbound.Refuses(Ip("10.0.0.1")));
}

TEST_F(IpFilterTableTest, RangeGivenHighFirstIsStoredLowFirst) {
    table.AddRange(Ip("10.0.0.9"), Ip("10.0.0.1"));
    IpFilterState state = table.Snapshot();
    ASSERT_EQ(state.ranges.size(), 1u);
    EXPECT_EQ(state.ranges[0].begin, Ip("10.0.0.1"));
    EXPECT_EQ(state.ranges[0].end, Ip("10.0.0.9"));
}

TEST_F(IpFilterTableTest, SettingsAreStoredAndTheActiveListFollowsTheType) {
    table.AddRange(Ip("10.0.0.1"), Ip("10.0.0.2"));
    table.SetEnabled(true);
    EXPECT_EQ(kUseIpFilter.Get(db), 1u);
    EXPECT_TRUE(table.Refuses(Ip("10.0.0.3")));
    EXPECT_FALSE(table.SetDenyList(false));  // the active type: nothing changes
    EXPECT_TRUE(table.SetDenyList(true));
    EXPECT_EQ(kIpNameListType.Get(db), 1u);
    EXPECT_TRUE(table.Snapshot().ranges.empty());  // the deny list is a table of its own
    EXPECT_FALSE(table.Refuses(Ip("10.0.0.3")));
    table.AddRange(Ip("10.0.0.3"), Ip("10.0.0.3"));
    EXPECT_TRUE(table.Refuses(Ip("10.0.0.3")));
    table.SetEnabled(false);
    EXPECT_FALSE(table.Refuses(Ip("10.0.0.3")));
    EXPECT_EQ(kUseIpFilter.Get(db), 0u);
}

TEST_F(IpFilterTableTest, DeleteByIndexRemovesThatRowOnly) {
    table.AddRange(Ip("10.0.0.1"), Ip("10.0.0.1"));
    table.AddRange(Ip("10.0.0.2"), Ip("10.0.0.2"));
    table.AddRange(Ip("10.0.0.3"), Ip("10.0.0.3"));
    table.DeleteEntry(1);
    table.DeleteEntry(7);  // beyond the count: ignored
    IpFilterState state = table.Snapshot();
    ASSERT_EQ(state.ranges.size(), 2u);
    EXPECT_EQ(state.ranges[0].begin, Ip("10.0.0.1"));
    EXPECT_EQ(state.ranges[1].begin, Ip("10.0.0.3"));
    IpFilterTable reloaded;
    reloaded.Bind(&db);
    reloaded.Reload();
    EXPECT_EQ(reloaded.Snapshot().ranges.size(), 2u);
}

// The table's binary search over merged ranges against the designed row-by-row test, on
// random lists stored in the database (both list types, filter on and off) and on addresses
// at, next to and between the rows' ends.
TEST_F(IpFilterTableTest, AnswersExactlyAsTheRowByRowTest) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        const bool deny = round % 2 == 1;
        table.SetDenyList(deny);
        table.SetEnabled(round % 5 != 0);
        const IpFilterState old_state = table.Snapshot();
        for (std::size_t i = 0; i < old_state.ranges.size(); ++i) {
            table.DeleteEntry(0);
        }
        const int rows = static_cast<int>(random() % 30);
        for (int i = 0; i < rows; ++i) {
            const std::uint32_t first = round % 3 == 0 ? random() : random() % 3000;
            table.AddRange(first,
                           first + std::min<std::uint32_t>(0xFFFFFFFFu - first, random() % 40));
        }
        const IpFilterState state = table.Snapshot();
        ASSERT_EQ(state.ranges.size(), static_cast<std::size_t>(rows));
        std::vector<std::uint32_t> probes = {0, 0xFFFFFFFFu};
        for (const IpFilterRange& range : state.ranges) {
            for (std::uint32_t at : {range.begin, range.end}) {
                probes.insert(probes.end(), {at - 1, at, at + 1});
            }
        }
        for (int i = 0; i < 300; ++i) {
            probes.push_back(round % 3 == 0 ? random() : random() % 3100);
        }
        for (std::uint32_t probe : probes) {
            ASSERT_EQ(table.Refuses(probe), IsRefused(state, probe))
                << "round " << round << " address " << FormatIpv4(probe);
        }
    }
}

TEST_F(IpFilterTableTest, RefusalsSayWhichListRefused) {
    table.SetEnabled(true);
    EXPECT_EQ(table.Check(Ip("10.0.0.1")), IpRefusal::NotOnAllowList);  // empty allow list
    table.AddRange(Ip("10.0.0.1"), Ip("10.0.0.1"));
    EXPECT_EQ(table.Check(Ip("10.0.0.1")), IpRefusal::None);
    table.SetDenyList(true);
    table.AddRange(Ip("10.0.0.2"), Ip("10.0.0.2"));
    EXPECT_EQ(table.Check(Ip("10.0.0.2")), IpRefusal::DenyList);
    EXPECT_EQ(table.Check(Ip("10.0.0.1")), IpRefusal::None);
    // Both lists keep their rows; the counts say so whichever is active.
    const IpListCounts counts = table.ListCounts();
    EXPECT_EQ(counts.allow, 1);
    EXPECT_EQ(counts.deny, 1);
}

TEST_F(IpFilterTableTest, ImportAddsNewRangesOnceAndExportsTheActiveList) {
    table.SetEnabled(true);
    table.SetDenyList(true);
    table.AddRange(Ip("10.0.0.0"), Ip("10.255.255.255"));
    const iprules::BlockList list = iprules::ParseBlockList(
        "10.1.0.0/16\n"  // inside the stored 10.0.0.0/8
        "Someone:1.2.3.0-1.2.3.255\n"
        "5.5.5.9-5.5.5.1\n");
    const IpImportResult result = table.AddRanges(list.ranges);
    EXPECT_TRUE(result.stored);
    EXPECT_EQ(result.added, 2u);
    EXPECT_EQ(result.already, 1u);
    EXPECT_TRUE(table.Refuses(Ip("5.5.5.5")));
    EXPECT_EQ(table.ExportActiveList(), "10.0.0.0/8\n1.2.3.0/24\n5.5.5.1-5.5.5.9\n");
    // What was exported reads back as the same rows.
    const iprules::BlockList again = iprules::ParseBlockList(table.ExportActiveList());
    EXPECT_EQ(again.report.taken, 3u);
    EXPECT_EQ(table.AddRanges(again.ranges).already, 3u);
    EXPECT_EQ(table.ListCounts().deny, 3);
    EXPECT_EQ(table.ListCounts().allow, 0);
}

}  // namespace
}  // namespace wharfkeep::host
