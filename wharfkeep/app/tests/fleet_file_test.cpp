#include "fleet_file.h"

#include <gtest/gtest.h>

namespace wharfkeep::app {
namespace {

TEST(FleetFile, HostsWithTheirOptionsCommentsAndBlankLines) {
    std::string error;
    auto hosts = ParseFleetFile(
        "# the racks\n"
        "\n"
        "nas1 https://10.0.0.1:8443/ token_file=/etc/wk/nas1.token\n"
        "  nas2\thttps://[fd00::2]:8443 fingerprint=AB:CD # pinned\n"
        "nas3 https://nas3.example:8443 cacert=/etc/wk/ca.pem\n",
        error);
    ASSERT_TRUE(hosts) << error;
    ASSERT_EQ(hosts->size(), 3u);
    EXPECT_EQ((*hosts)[0].name, "nas1");
    EXPECT_EQ((*hosts)[0].url, "https://10.0.0.1:8443");
    EXPECT_EQ((*hosts)[0].token_file, "/etc/wk/nas1.token");
    EXPECT_EQ((*hosts)[1].url, "https://[fd00::2]:8443");
    EXPECT_EQ((*hosts)[1].fingerprint, "AB:CD");
    EXPECT_TRUE((*hosts)[1].token_file.empty());
    EXPECT_EQ((*hosts)[2].ca_file, "/etc/wk/ca.pem");
    EXPECT_TRUE(ParseFleetFile("", error)->empty());
}

TEST(FleetFile, MistakesNameTheirLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"nas1\n", "line 1: write NAME https://HOST:PORT"},
        {"\nnas1 http://10.0.0.1:8443\n", "line 2: write NAME https://HOST:PORT"},
        {"nas1 https://\n", "line 1: write NAME"},
        {"nas1 https://a:1 token=abc\n", "line 1: unknown key token;"},
        {"nas1 https://a:1 token_file\n", "line 1: \"token_file\" is not KEY=VALUE"},
        {"nas1 https://a:1 fingerprint=AB cacert=/ca.pem\n", "line 1: give fingerprint or cacert"},
        {"nas1 https://a:1\nnas1 https://b:1\n", "line 2: the name nas1 is given twice"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseFleetFile(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " gave: " << error;
    }
}

}  // namespace
}  // namespace wharfkeep::app
