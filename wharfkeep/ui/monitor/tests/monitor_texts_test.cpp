#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "monitor_texts.h"
#include "platform/disk_space.h"

namespace wharfkeep::ui::monitor {
namespace {

TEST(SizeTextTest, PlainBelowOneKibiThenTwoDecimalsWithTheUnit) {
    EXPECT_EQ(SizeText(0), "0");
    EXPECT_EQ(SizeText(1023), "1023");
    EXPECT_EQ(SizeText(1024), "1.00K");
    EXPECT_EQ(SizeText(1536 * 1024), "1.50M");
    EXPECT_EQ(SizeText(900 * 1024), "900.00K");
    EXPECT_EQ(SizeText((1ull << 20) - 1), "1024.00K");  // rounds up, still counted in K
    EXPECT_EQ(SizeText(3ull << 30), "3.00G");
    EXPECT_EQ(SizeText(5ull << 40), "5.00T");
    EXPECT_EQ(SizeText(UINT64_MAX), "16777216.00T");
}

TEST(SizeTextTest, SuffixesOfBytesAndRates) {
    EXPECT_EQ(ByteRateText(1023), "1023B/s");
    EXPECT_EQ(BitRateText(1023), "7.99Kb/s");  // 8184 bits per second
    EXPECT_EQ(BitRateText(1024), "8.00Kb/s");
    EXPECT_EQ(BitRateText(0), "0b/s");
    EXPECT_EQ(BitRateText(12800), "100.00Kb/s");
    EXPECT_EQ(BytesText(1536 * 1024), "1.50MB");
    // A rate too large to multiply by 8 saturates rather than wrapping to a small number.
    EXPECT_EQ(BitRateText(UINT64_MAX / 4), SizeText(UINT64_MAX) + "b/s");
}

TEST(DurationTextTest, HoursAreNotLimitedToTwoDigits) {
    EXPECT_EQ(DurationText(0), "00:00:00");
    EXPECT_EQ(DurationText(59), "00:00:59");
    EXPECT_EQ(DurationText(3725), "01:02:05");
    EXPECT_EQ(DurationText(360000), "100:00:00");
}

TEST(PeerTextTest, IdAsHexAndAddressInNetworkOrder) {
    std::uint8_t id[16] = {0x00, 0x01, 0xAB, 0xFF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F};
    EXPECT_EQ(PeerIdText(id), "0001ABFF10000000000000000000007F");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(51234);
    ASSERT_EQ(inet_pton(AF_INET, "192.168.3.250", &address.sin_addr), 1);
    EXPECT_EQ(PeerAddressText(address), "192.168.3.250:51234");
}

std::vector<std::string> SortedBy(std::vector<std::string> texts,
                                  int (*compare)(std::string_view, std::string_view)) {
    std::stable_sort(
        texts.begin(), texts.end(),
        [compare](const std::string& a, const std::string& b) { return compare(a, b) < 0; });
    return texts;
}

TEST(CompareTest, SizesByUnitBeforeNumber) {
    EXPECT_LT(CompareSizeTexts("900.00KB", "1.00MB"), 0);
    EXPECT_GT(CompareSizeTexts("1.00MB", "900.00KB"), 0);
    EXPECT_LT(CompareSizeTexts("1023B", "1.00KB"), 0);
    EXPECT_LT(CompareSizeTexts("2.00KB", "10.00KB"), 0);  // numbers, not texts
    EXPECT_EQ(CompareSizeTexts("1.50GB", "1.50GB"), 0);
    EXPECT_EQ(
        SortedBy({"1.00TB", "0B", "5.00GB", "1023B", "1024.00KB", "1.00MB"}, CompareSizeTexts),
        (std::vector<std::string>{"0B", "1023B", "1024.00KB", "1.00MB", "5.00GB", "1.00TB"}));
}

TEST(CompareTest, SpeedsByUnitBeforeNumber) {
    EXPECT_LT(CompareSizeTexts("7.99Kb/s", "8.00Kb/s"), 0);
    EXPECT_LT(CompareSizeTexts("900b/s", "1.00Kb/s"), 0);
    EXPECT_LT(CompareSizeTexts("999.00Kb/s", "1.00Mb/s"), 0);
}

TEST(CompareTest, DecimalCounts) {
    EXPECT_LT(CompareDecimalTexts("9", "10"), 0);
    EXPECT_EQ(CompareDecimalTexts("007", "7"), 0);
    EXPECT_GT(CompareDecimalTexts("18446744073709551615", "4294967296"), 0);
    EXPECT_LT(CompareDecimalTexts("", "0"), 0);
}

TEST(CompareTest, AddressesAsUnsignedValuesThenPort) {
    // High first octets must not turn negative.
    EXPECT_LT(CompareAddressTexts("127.0.0.1:9000", "200.0.0.1:80"), 0);
    EXPECT_LT(CompareAddressTexts("9.255.255.255:1", "10.0.0.0:1"), 0);  // not text order
    EXPECT_LT(CompareAddressTexts("10.0.0.1:80", "10.0.0.1:8080"), 0);
    EXPECT_EQ(CompareAddressTexts("10.0.0.1:80", "10.0.0.1:80"), 0);
    EXPECT_LT(CompareAddressTexts("junk", "0.0.0.0:0"), 0);
    EXPECT_LT(CompareAddressTexts("1.2.3.256:1", "0.0.0.0:0"), 0);  // out of range: no address
}

TEST(CompareTest, DurationsBySeconds) {
    EXPECT_LT(CompareDurationTexts("99:59:59", "100:00:00"), 0);
    EXPECT_LT(CompareDurationTexts("00:00:09", "00:01:00"), 0);
    EXPECT_EQ(CompareDurationTexts("01:02:05", "01:02:05"), 0);
}

// ---- The local disk walk ----

struct FakeDisks {
    std::map<std::string, std::uint64_t> devices;       // source -> device id
    std::map<std::string, platform::DiskSpace> spaces;  // mount point -> figures
    std::vector<std::string> read;                      // mount points asked for

    platform::DiskSpace Sum(std::string_view table) {
        return platform::sum_disk_space(
            table,
            [this](const std::string& source, const std::string&) -> std::optional<std::uint64_t> {
                auto found = devices.find(source);
                if (found == devices.end()) {
                    return std::nullopt;
                }
                return found->second;
            },
            [this](const std::string& point) -> std::optional<platform::DiskSpace> {
                read.push_back(point);
                auto found = spaces.find(point);
                if (found == spaces.end()) {
                    return std::nullopt;
                }
                return found->second;
            });
    }
};

TEST(DiskSpaceTest, EachBlockDeviceCountsOnceAndPseudoFileSystemsNever) {
    FakeDisks disks;
    disks.devices = {{"/dev/sda1", 1}, {"/dev/sdb", 2}};
    disks.spaces = {{"/", {100, 1000}}, {"/home", {20, 500}}, {"/srv/bind", {100, 1000}}};
    const char* table =
        "proc /proc proc rw 0 0\n"
        "/dev/sda1 / ext4 rw 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "/dev/sdb /home xfs rw 0 0\n"
        "/dev/sda1 /srv/bind ext4 rw 0 0\n"  // the same disk mounted again
        "overlay /var/lib/x overlay rw 0 0\n"
        "\n"
        "malformed\n";
    platform::DiskSpace sum = disks.Sum(table);
    EXPECT_EQ(sum.free_bytes, 120u);
    EXPECT_EQ(sum.total_bytes, 1500u);
    EXPECT_EQ(disks.read, (std::vector<std::string>{"/", "/home"}));
}

TEST(DiskSpaceTest, AnUnreadableMountIsLeftOutButALaterMountOfItsDeviceCounts) {
    FakeDisks disks;
    disks.devices = {{"/dev/sdc", 3}, {"/dev/sdd", 4}};
    disks.spaces = {{"/media/usb", {7, 70}}};
    platform::DiskSpace sum = disks.Sum(
        "/dev/sdd /gone ext4 rw 0 0\n"
        "/dev/sdc /mnt/locked ext4 rw 0 0\n"
        "/dev/sdc /media/usb ext4 rw 0 0\n");
    EXPECT_EQ(sum.free_bytes, 7u);
    EXPECT_EQ(sum.total_bytes, 70u);
}

TEST(DiskSpaceTest, EscapedSpacesInMountPoints) {
    EXPECT_EQ(platform::decode_mount_field("/media/My\\040Disk"), "/media/My Disk");
    EXPECT_EQ(platform::decode_mount_field("/a\\134b\\011c"), "/a\\b\tc");
    EXPECT_EQ(platform::decode_mount_field("/odd\\04"), "/odd\\04");  // cut short: kept
    FakeDisks disks;
    disks.devices = {{"/dev/sde", 5}};
    disks.spaces = {{"/media/My Disk", {1, 2}}};
    EXPECT_EQ(disks.Sum("/dev/sde /media/My\\040Disk vfat rw 0 0\n").total_bytes, 2u);
}

TEST(DiskSpaceTest, TheMachineHasSomeLocalDiskOrNone) {
    // The real walk never fails; free space never exceeds the total.
    platform::DiskSpace space = platform::local_disk_space();
    EXPECT_LE(space.free_bytes, space.total_bytes);
}

}  // namespace
}  // namespace wharfkeep::ui::monitor
