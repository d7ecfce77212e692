// The refusal rule and the IP filter table over a real database.

#include <gtest/gtest.h>

#include "host_test_support.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/ip_filter_table.h"
#include "wharfkeep/host/settings.h"

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

}  // namespace
}  // namespace wharfkeep::host
