#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "wharfkeep/engine/link.h"

namespace wharfkeep {
namespace {

TEST(LinkSubstitution, PairsSwapAndEverythingElseStays) {
    const LinkSubstitution table;
    EXPECT_EQ(table.apply("0123456789"), "GHJKLMNPRT");
    EXPECT_EQ(table.apply("GHJKLMNPRT"), "0123456789");
    EXPECT_EQ(table.apply("abcdefgh"), "xwvutsrq");
    EXPECT_EQ(table.apply("&~"), "~&");
    EXPECT_EQ(table.apply("ijkz:/?=|IOZ"), "ijkz:/?=|IOZ");
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(table.apply(table.apply(char(c))), char(c)) << c;
    }
}

TEST(LinkKey, SumsWordsOfUrlAndSid) {
    EXPECT_EQ(ComputeLinkKey("abcdefgh", "12345678"), "00000000") << "8 characters or fewer";
    // One position: 0x64636261 ^ 0x34333231.
    EXPECT_EQ(ComputeLinkKey("abcdefghi", "12345678"), "50505050");
    // Two positions, each 0x50505050.
    EXPECT_EQ(ComputeLinkKey("abcdefghij", "12345678"), "A0A0A0A0");
    // Positions past the sid's length wrap to its start: i = 2 uses sid bytes 0..3 again.
    EXPECT_EQ(ComputeLinkKey("aaaaaaaaaaa", "12"), [] {
        const std::uint32_t a = 0x61616161u;
        const std::uint32_t sum = (a ^ 0x32313231u) + (a ^ 0x31323132u) + (a ^ 0x32313231u);
        char text[9];
        std::snprintf(text, sizeof text, "%08X", sum);
        return std::string(text);
    }());
}

LinkFacts sample_facts() {
    LinkFacts facts;
    facts.gcid = std::string(40, 'A');
    facts.check_digest.fill(0x0B);
    facts.file_size = 0x1'0000'0000ull;  // 4 GiB: a 64-bit value
    facts.layout.extension = ".mp4";
    facts.layout.header_length = 8234;
    facts.layout.tail_offset = 0xFFFF'FF00ull;
    facts.layout.tail_length = 0x100;
    facts.layout.bit_rate = 800;
    facts.layout.zqhd_length = 5000;
    facts.combined_digest.fill(0xC4);
    return facts;
}

LinkSettings settings(std::string ip, std::string domain, std::uint32_t peer, std::uint32_t list,
                      std::string sid = "0A1B2C3D4E5F607182") {
    return {std::move(ip), std::move(domain), peer, list, std::move(sid)};
}

std::string repeat(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

TEST(PlainUrl, FieldsInOrderInUpperCaseHex) {
    EXPECT_EQ(BuildPlainUrl(sample_facts(), settings("10.0.0.5", "", 8189, 8190)),
              "10.0.0.5:8189/s?wp=225&wd=" + std::string(40, 'A') + "&vd=" + repeat("0B", 20) +
                  "&fz=100000000&lh=202A&pi=100&pr=320&pps=0&ppc=0&ptp=FFFFFF00&zqhd=1388"
                  "&sts=10.0.0.5:8190&pmz=" +
                  repeat("C4", 16) + "&ped=pxv");
    EXPECT_EQ(FormatWord(".rmvb"), "spv");
    EXPECT_EQ(FormatWord(".mkv"), "fxv");
    EXPECT_EQ(FormatWord(".avi"), "");
}

TEST(PlainUrl, TheIpHostWinsOverTheDomain) {
    const auto url = BuildPlainUrl(sample_facts(), settings("10.0.0.5", "media.example", 1, 2));
    EXPECT_EQ(url.rfind("10.0.0.5:1/s?", 0), 0u);
    const auto by_name = BuildPlainUrl(sample_facts(), settings("", "media.example", 1, 2));
    EXPECT_EQ(by_name.rfind("media.example:1/s?", 0), 0u);
    EXPECT_NE(by_name.find("&sts=media.example:2&"), std::string::npos);
}

TEST(PublishedLink, CarriesSidKeyAndName) {
    const std::string plain = BuildPlainUrl(sample_facts(), settings("10.0.0.5", "", 8189, 8190));
    const std::string link = BuildPublishedLink(plain, "SID1", "clip.mp4");
    const auto fields = test::link_fields(link);
    EXPECT_EQ(fields.at("plain"), plain);
    EXPECT_EQ(fields.at("sid"), "SID1");
    EXPECT_EQ(fields.at("key"), ComputeLinkKey(fields.at("substituted"), "SID1"));
    EXPECT_EQ(fields.at("name"), "clip.mp4");
    EXPECT_EQ(BuildPublishedLink("", "SID1", "x"), "");
}

TEST(RebuildLink, NewHostAndPortsEqualAFreshBuild) {
    const LinkFacts facts = sample_facts();
    const LinkSettings old_settings = settings("10.0.0.5", "", 8189, 8190, "OLDSID000000000000");
    const LinkSettings new_settings = settings("", "media.example", 9000, 9001);
    const std::string name = "a|b|c.mp4";
    const std::string old_link =
        BuildPublishedLink(BuildPlainUrl(facts, old_settings), old_settings.sid, name);
    const std::string fresh =
        BuildPublishedLink(BuildPlainUrl(facts, new_settings), new_settings.sid, name);
    EXPECT_EQ(RebuildLink(old_link, new_settings), fresh);
    EXPECT_EQ(test::link_fields(*RebuildLink(old_link, new_settings)).at("name"), name)
        << "a name with '|' survives";
}

TEST(RebuildLink, RefusesWhatItCannotRebuild) {
    const LinkSettings good = settings("1.2.3.4", "", 1, 2);
    EXPECT_FALSE(RebuildLink("http://example/", good));
    EXPECT_FALSE(RebuildLink("pvessa://url=abc", good)) << "no fields";
    EXPECT_FALSE(RebuildLink("pvessa://url=abc|sid=x|key=y|name=z", good)) << "no query";
    const std::string link = BuildPublishedLink(BuildPlainUrl(sample_facts(), good), "S", "n");
    EXPECT_FALSE(RebuildLink(link, settings("1.2.3.4", "", 1, 2, ""))) << "empty sid";
    EXPECT_TRUE(RebuildLink(link, good));
}

TEST(DisplayName, PartAfterTheLastSlash) {
    EXPECT_EQ(DisplayName("/srv/media/clip one.mp4"), "clip one.mp4");
    EXPECT_EQ(DisplayName("clip.mp4"), "clip.mp4");
    EXPECT_EQ(DisplayName("/srv/dir/"), "");
}

}  // namespace
}  // namespace wharfkeep
