// Exported link form, list file names, and the value checks of the settings.

#include <gtest/gtest.h>

#include <fstream>

#include "host_test_support.h"
#include "wharfkeep/host/instance_lock.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/settings.h"

namespace wharfkeep::host {
namespace {

TEST(EncodeLink, Base64OfTheTextAfterTheScheme) {
    EXPECT_EQ(EncodeLink("pvessa://abc"), "pvessa://YWJj");
    EXPECT_EQ(EncodeLink("pvessa://a"), "pvessa://YQ==");
    EXPECT_EQ(EncodeLink("pvessa://ab"), "pvessa://YWI=");
    EXPECT_EQ(EncodeLink("pvessa://url=h:1/s?wp=225|sid=X"),
              "pvessa://dXJsPWg6MS9zP3dwPTIyNXxzaWQ9WA==");
    // Nothing after the scheme, or a text shorter than it: an empty remainder.
    EXPECT_EQ(EncodeLink("pvessa://"), "pvessa://");
    EXPECT_EQ(EncodeLink("short"), "pvessa://");
}

TEST(ExportFileName, FirstFreeNumberedName) {
    testing::TempHome home;
    std::filesystem::path desktop = home.desktop();
    EXPECT_EQ(NextExportFilePath(desktop), desktop / "视频链接列表.txt");
    std::ofstream(desktop / "视频链接列表.txt") << "x";
    EXPECT_EQ(NextExportFilePath(desktop), desktop / "视频链接列表(1).txt");
    std::ofstream(desktop / "视频链接列表(1).txt") << "x";
    EXPECT_EQ(NextExportFilePath(desktop), desktop / "视频链接列表(2).txt");
}

TEST(PathParts, FolderAndFileName) {
    EXPECT_EQ(FolderOf("/m/sub/a.mp4"), "/m/sub/");
    EXPECT_EQ(FileNameOf("/m/sub/a.mp4"), "a.mp4");
    EXPECT_EQ(FileNameOf("/m/sub/"), "");
    EXPECT_EQ(FolderOf("a.mp4"), "");
}

TEST(OperatorValues, DottedAddresses) {
    EXPECT_EQ(ParseIpv4("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(ParseIpv4("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_FALSE(ParseIpv4("256.0.0.1"));
    EXPECT_FALSE(ParseIpv4("10.0.0"));
    EXPECT_FALSE(ParseIpv4("10.0.0.1.2"));
    EXPECT_FALSE(ParseIpv4("10.0.0.1 "));
    EXPECT_EQ(FormatIpv4(0x0A0000FFu), "10.0.0.255");
}

TEST(InstanceLock, OneHolderPerFolderUntilReleased) {
    testing::TempHome home;
    EXPECT_FALSE(InstanceLock::Holder(home.home()));
    {
        std::optional<InstanceLock> first = InstanceLock::TryAcquire(home.home());
        ASSERT_TRUE(first);
        EXPECT_FALSE(InstanceLock::TryAcquire(home.home()));
        std::optional<pid_t> holder = InstanceLock::Holder(home.home());
        ASSERT_TRUE(holder);
        EXPECT_EQ(*holder, ::getpid());
    }
    EXPECT_TRUE(InstanceLock::TryAcquire(home.home()));
}

}  // namespace
}  // namespace wharfkeep::host
