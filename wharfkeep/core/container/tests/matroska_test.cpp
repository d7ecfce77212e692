#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <optional>

#include "test_bytes.h"
#include "wharfkeep/container/matroska.h"

namespace wharfkeep {
namespace {

using namespace wharfkeep::test;

void put_id(Bytes& out, std::uint32_t id) {
    int bytes = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(std::uint8_t(id >> (8 * i)));
    }
}

// An element with an 8-byte size field, or an unknown size.
Bytes element(std::uint32_t id, const Bytes& body, bool unknown_size = false) {
    Bytes out;
    put_id(out, id);
    out.push_back(0x01);
    for (int i = 6; i >= 0; --i) {
        out.push_back(unknown_size ? 0xFF : std::uint8_t(std::uint64_t(body.size()) >> (8 * i)));
    }
    put_bytes(out, body);
    return out;
}

Bytes uint_element(std::uint32_t id, std::uint64_t value) {
    Bytes body;
    put_be64(body, value);
    return element(id, body);
}

Bytes float_element(std::uint32_t id, double value) {
    return uint_element(id, std::bit_cast<std::uint64_t>(value));
}

Bytes float32_element(std::uint32_t id, float value) {
    Bytes body;
    put_be32(body, std::bit_cast<std::uint32_t>(value));
    return element(id, body);
}

Bytes ebml_header() {
    Bytes doc_type;
    put_text(doc_type, "matroska");
    return element(0x1A45DFA3, element(0x4282, doc_type));
}

Bytes seek_head(std::uint64_t cues_position) {
    return element(0x114D9B74,
                   element(0x4DBB, concat({element(0x53AB, Bytes{0x1C, 0x53, 0xBB, 0x6B}),
                                           uint_element(0x53AC, cues_position)})));
}

Bytes info(std::optional<double> duration, std::uint64_t scale = 1'000'000) {
    Bytes body = uint_element(0x2AD7B1, scale);
    if (duration) {
        put_bytes(body, float_element(0x4489, *duration));
    }
    return element(0x1549A966, body);
}

Bytes tracks() {
    return element(0x1654AE6B, Bytes(60, 0xAE));
}
Bytes cluster(std::size_t size) {
    return element(0x1F43B675, Bytes(size, 0x11));
}
Bytes cues() {
    return element(0x1C53BB6B, Bytes(40, 0xBB));
}

struct MatroskaFile {
    Bytes bytes;
    std::size_t first_cluster = 0;
    std::size_t cues_at = 0;

    // EBML header, then a Segment of `children`; the SeekHead names the Cues when asked.
    MatroskaFile(const Bytes& info_element, bool with_seek_head, bool unknown_segment = false) {
        const Bytes head = ebml_header();
        const std::size_t segment_body = head.size() + 12;  // 4-byte id, 8-byte size
        Bytes before_cues = concat({info_element, tracks()});
        const std::size_t seek_size = seek_head(0).size();
        const std::size_t cluster_at = (with_seek_head ? seek_size : 0) + before_cues.size();
        const Bytes clusters = concat({cluster(500), cluster(700)});
        const std::size_t cues_rel = cluster_at + clusters.size();
        Bytes children =
            concat({with_seek_head ? seek_head(cues_rel) : Bytes{}, before_cues, clusters, cues()});
        bytes = concat({head, element(0x18538067, children, unknown_segment)});
        first_cluster = segment_body + cluster_at;
        cues_at = segment_body + cues_rel;
    }
};

TEST(Matroska, SeekHeadNamesTheCuesAndInfoTheDuration) {
    MatroskaFile file(info(10'000.0), true);
    const auto facts = mkv_utility::parse(file.bytes, file.bytes.size());
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->first_cluster_offset, file.first_cluster);
    EXPECT_EQ(facts->cues_offset, file.cues_at);
    EXPECT_DOUBLE_EQ(facts->duration_ms, 10'000.0);

    const auto layout = mkv_utility::parse_layout(file.bytes, file.bytes.size());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->extension, ".mkv");
    EXPECT_EQ(layout->header_length, file.first_cluster);
    EXPECT_EQ(layout->tail_offset, file.cues_at);
    EXPECT_EQ(layout->tail_length, file.bytes.size() - file.cues_at);
    EXPECT_EQ(layout->bit_rate, file.bytes.size() * 8000 / 10'000);
    EXPECT_EQ(layout->packet_size, 0u);
}

TEST(Matroska, CuesMetDirectlyAfterTheClusters) {
    // A 4-byte float duration in ticks of half a millisecond: 10 s.
    Bytes short_info = element(
        0x1549A966, concat({uint_element(0x2AD7B1, 500'000), float32_element(0x4489, 20'000.0f)}));
    MatroskaFile file(short_info, false, true);
    const auto facts = mkv_utility::parse(file.bytes, file.bytes.size());
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->cues_offset, file.cues_at);
    EXPECT_DOUBLE_EQ(facts->duration_ms, 10'000.0);
}

TEST(Matroska, IncompleteOrDamagedFilesFail) {
    EXPECT_FALSE(mkv_utility::parse(MatroskaFile(info(0.0), true).bytes, 1 << 20))
        << "zero duration";
    EXPECT_FALSE(mkv_utility::parse(MatroskaFile(info(std::nullopt), true).bytes, 1 << 20))
        << "no duration";
    EXPECT_FALSE(mkv_utility::parse(
        MatroskaFile(info(std::numeric_limits<double>::infinity()), true).bytes, 1 << 20))
        << "infinite duration";

    Bytes no_segment = concat({ebml_header(), tracks()});
    EXPECT_FALSE(mkv_utility::parse(no_segment, no_segment.size()));
    Bytes no_header = concat({tracks(), element(0x18538067, cluster(10))});
    EXPECT_FALSE(mkv_utility::parse(no_header, no_header.size()));

    Bytes no_cluster = concat({ebml_header(), element(0x18538067, concat({info(5000.0), cues()}))});
    EXPECT_FALSE(mkv_utility::parse(no_cluster, no_cluster.size()));

    // An element identifier starting with a zero byte cannot be read.
    Bytes bad_id =
        concat({ebml_header(), element(0x18538067, concat({info(5000.0), Bytes{0, 1, 2}}))});
    EXPECT_FALSE(mkv_utility::parse(bad_id, bad_id.size()));

    // A live-written cluster of unknown size hides the Cues behind it.
    Bytes live = concat(
        {ebml_header(),
         element(0x18538067, concat({info(5000.0), element(0x1F43B675, Bytes(30, 0), true)}))});
    EXPECT_FALSE(mkv_utility::parse(live, live.size()));
}

TEST(Matroska, CuesBeforeTheFirstClusterOrPastTheEndFail) {
    const Bytes head = ebml_header();
    Bytes front_cues =
        concat({head, element(0x18538067, concat({info(5000.0), cues(), cluster(100)}))});
    ASSERT_TRUE(mkv_utility::parse(front_cues, front_cues.size()));
    EXPECT_FALSE(mkv_utility::parse_layout(front_cues, front_cues.size()));

    MatroskaFile file(info(10'000.0), true);
    Bytes cut(file.bytes.begin(), file.bytes.begin() + file.cues_at - 10);
    EXPECT_FALSE(mkv_utility::parse_layout(cut, cut.size()));
}

}  // namespace
}  // namespace wharfkeep
