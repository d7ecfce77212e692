#include <gtest/gtest.h>

#include "platform/local_address.h"

namespace {

using platform::AddressKind;
using platform::AddressSources;
using platform::InterfaceAddress;

constexpr std::uint32_t ip(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
           static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

AddressSources sources(std::vector<InterfaceAddress> interfaces,
                       std::optional<std::uint32_t> host_name) {
    return {[interfaces] { return interfaces; }, [host_name] { return host_name; }};
}

TEST(LocalAddress, TheFirstUpInterfaceThatIsNeitherLoopbackNorLinkLocalWins) {
    std::vector<InterfaceAddress> interfaces = {
        {"lo", ip(127, 0, 0, 1), true},      {"eth9", ip(203, 0, 113, 9), false},  // down
        {"eth1", ip(169, 254, 3, 4), true},                                        // link-local
        {"eth0", ip(192, 168, 1, 20), true}, {"eth2", ip(198, 51, 100, 7), true},
    };
    EXPECT_EQ(platform::choose_local_address(sources(interfaces, ip(127, 0, 1, 1))),
              "192.168.1.20");
}

TEST(LocalAddress, FallsBackToTheHostNameThenToTheUnspecifiedAddress) {
    std::vector<InterfaceAddress> only_loopback = {{"lo", ip(127, 0, 0, 1), true}};
    EXPECT_EQ(platform::choose_local_address(sources(only_loopback, ip(127, 0, 1, 1))),
              "127.0.1.1");
    EXPECT_EQ(platform::choose_local_address(sources({}, std::nullopt)), "0.0.0.0");
}

TEST(LocalAddress, ScopedSourcesReplaceTheSystemsAndAreRestored) {
    {
        platform::ScopedAddressSources fake(sources({{"eth0", ip(10, 1, 2, 3), true}}, {}));
        EXPECT_EQ(platform::local_address_text(), "10.1.2.3");
    }
    EXPECT_NE(platform::local_address_text(), "10.1.2.3");
}

TEST(LocalAddress, ClassifiesAccessAddresses) {
    EXPECT_EQ(platform::classify_ipv4_text("0.0.0.0"), AddressKind::unusable);
    EXPECT_EQ(platform::classify_ipv4_text("127.0.1.1"), AddressKind::unusable);
    EXPECT_EQ(platform::classify_ipv4_text(""), AddressKind::unusable);
    EXPECT_EQ(platform::classify_ipv4_text("1.2.3"), AddressKind::unusable);
    EXPECT_EQ(platform::classify_ipv4_text("169.254.0.1"), AddressKind::link_local);
    EXPECT_EQ(platform::classify_ipv4_text("10.0.0.1"), AddressKind::private_range);
    EXPECT_EQ(platform::classify_ipv4_text("172.31.255.255"), AddressKind::private_range);
    EXPECT_EQ(platform::classify_ipv4_text("172.32.0.1"), AddressKind::public_range);
    EXPECT_EQ(platform::classify_ipv4_text("192.168.0.1"), AddressKind::private_range);
    EXPECT_EQ(platform::classify_ipv4_text("100.64.0.1"), AddressKind::private_range);
    EXPECT_EQ(platform::classify_ipv4_text("203.0.113.5"), AddressKind::public_range);
}

}  // namespace
