#include <gtest/gtest.h>

#include "test_bytes.h"
#include "wharfkeep/container/realmedia.h"

namespace wharfkeep {
namespace {

using namespace wharfkeep::test;

Bytes chunk(std::string_view id, const Bytes& body) {
    Bytes out;
    put_text(out, id);
    put_be32(out, std::uint32_t(8 + body.size()));
    put_bytes(out, body);
    return out;
}

Bytes file_header() {
    Bytes out;
    put_text(out, ".RMF");
    put_be32(out, 18);
    put_be16(out, 0);
    put_be32(out, 0);
    put_be32(out, 4);
    return out;
}

struct Properties {
    std::uint32_t average_bit_rate = 480'000;
    std::uint32_t average_packet_size = 600;
    std::uint32_t packet_count = 1234;
    std::uint32_t index_offset = 0;
    std::uint32_t data_offset = 0;
};

Bytes prop(const Properties& p) {
    Bytes body;
    put_be16(body, 0);        // version
    put_be32(body, 500'000);  // maximum bit rate
    put_be32(body, p.average_bit_rate);
    put_be32(body, 1400);  // maximum packet size
    put_be32(body, p.average_packet_size);
    put_be32(body, p.packet_count);
    put_be32(body, 60'000);  // duration
    put_be32(body, 2000);    // preroll
    put_be32(body, p.index_offset);
    put_be32(body, p.data_offset);
    put_be16(body, 1);  // streams
    put_be16(body, 0);  // flags
    return chunk("PROP", body);
}

Bytes mdpr(std::string_view name, std::string_view mime, std::size_t specific_length) {
    Bytes body;
    put_be16(body, 0);
    put_be16(body, 0);        // stream number
    put_be32(body, 400'000);  // maximum bit rate
    put_be32(body, 380'000);  // average bit rate
    put_be32(body, 1400);
    put_be32(body, 600);
    put_be32(body, 0);       // start time
    put_be32(body, 0);       // preroll
    put_be32(body, 60'000);  // duration
    body.push_back(std::uint8_t(name.size()));
    put_text(body, name);
    body.push_back(std::uint8_t(mime.size()));
    put_text(body, mime);
    put_be32(body, std::uint32_t(specific_length));
    for (std::size_t i = 0; i < specific_length; ++i) {
        body.push_back(std::uint8_t(i));
    }
    return chunk("MDPR", body);
}

Bytes cont(std::string_view title, std::size_t comment_length) {
    Bytes body;
    put_be16(body, 0);
    put_be16(body, std::uint16_t(title.size()));
    put_text(body, title);
    put_be16(body, 0);  // author
    put_be16(body, 0);  // copyright
    put_be16(body, std::uint16_t(comment_length));
    body.insert(body.end(), comment_length, 'c');
    return chunk("CONT", body);
}

Bytes data_chunk(std::size_t payload) {
    return chunk("DATA", Bytes(payload, 0));
}

// A whole file: headers, DATA at `data_offset`, an index after the data.
struct RealMediaFile {
    Bytes bytes;
    Properties p;

    explicit RealMediaFile(bool with_index = true) {
        Bytes headers =
            concat({file_header(), prop(p), mdpr("Video Stream", "video/x-pn-realvideo", 200),
                    cont("clip", 1500)});
        p.data_offset = std::uint32_t(headers.size());
        const std::size_t data_size = 4000;
        p.index_offset = with_index ? std::uint32_t(headers.size() + 8 + data_size) : 0;
        bytes = concat({file_header(), prop(p), mdpr("Video Stream", "video/x-pn-realvideo", 200),
                        cont("clip", 1500), data_chunk(data_size)});
        if (with_index) {
            put_bytes(bytes, chunk("INDX", Bytes(300, 0)));
        }
    }
};

TEST(RealMedia, HeadersUpToDataGiveTheLayout) {
    RealMediaFile file;
    const auto header = rmff_utility::parse(file.bytes);
    ASSERT_TRUE(header);
    ASSERT_EQ(header->streams.size(), 1u);
    EXPECT_EQ(header->streams[0].stream_name, "Video Stream");
    EXPECT_EQ(header->streams[0].mime_type, "video/x-pn-realvideo");
    EXPECT_EQ(header->streams[0].type_specific.size(), rmff_utility::kMaxTypeSpecificBytes);
    ASSERT_TRUE(header->content);
    EXPECT_EQ(header->content->title, "clip");
    EXPECT_EQ(header->content->comment.size(), rmff_utility::kMaxContentText);

    const auto layout = rmff_utility::parse_layout(file.bytes, file.bytes.size());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->extension, ".rmvb");
    EXPECT_EQ(layout->header_length, file.p.data_offset);
    EXPECT_EQ(layout->tail_offset, file.p.index_offset);
    EXPECT_EQ(layout->tail_length, file.bytes.size() - file.p.index_offset);
    EXPECT_EQ(layout->bit_rate, file.p.average_bit_rate);
    EXPECT_EQ(layout->packet_size, file.p.average_packet_size);
    EXPECT_EQ(layout->packet_count, file.p.packet_count);
    EXPECT_EQ(layout->zqhd_length, 0u);
}

TEST(RealMedia, DataRightAfterPropAndMediaProperties) {
    Properties p;
    Bytes headers = concat({file_header(), prop(p), mdpr("a", "audio/x-pn-realaudio", 0)});
    p.data_offset = std::uint32_t(headers.size());
    Bytes file =
        concat({file_header(), prop(p), mdpr("a", "audio/x-pn-realaudio", 0), data_chunk(100)});
    const auto layout = rmff_utility::parse_layout(file, file.size());
    ASSERT_TRUE(layout);
    // Without an index the media data runs to the end of the file.
    EXPECT_EQ(layout->tail_offset, file.size());
    EXPECT_EQ(layout->tail_length, 0u);
}

TEST(RealMedia, UnknownOrDamagedChunksFail) {
    Properties p;
    const Bytes start = concat({file_header(), prop(p)});
    EXPECT_FALSE(rmff_utility::parse(concat({start, chunk("ABCD", Bytes(20, 0)), data_chunk(10)})))
        << "unrecognised chunk before DATA";
    EXPECT_FALSE(rmff_utility::parse(start)) << "no DATA";

    Bytes zero_size = mdpr("v", "video", 0);
    std::fill_n(zero_size.begin() + 4, 4, 0);
    EXPECT_FALSE(rmff_utility::parse(concat({start, zero_size, data_chunk(10)})))
        << "a chunk size of 0 would never advance";

    Bytes overlong_name = mdpr("v", "video", 0);
    overlong_name[40] = 200;  // the name length points past the chunk
    EXPECT_FALSE(rmff_utility::parse(concat({start, overlong_name, data_chunk(10)})));

    Bytes past_end = mdpr("v", "video", 0);
    past_end[7] = 0xF0;
    EXPECT_FALSE(rmff_utility::parse(concat({start, past_end})));

    Bytes truncated_prop(start.begin(), start.end() - 5);
    EXPECT_FALSE(rmff_utility::parse(truncated_prop));
}

TEST(RealMedia, OffsetsOutOfOrderFail) {
    Properties p;
    p.data_offset = 5000;
    p.index_offset = 100;
    Bytes file = concat({file_header(), prop(p), data_chunk(6000)});
    EXPECT_FALSE(rmff_utility::parse_layout(file, file.size())) << "index before data";
    p.data_offset = 68;
    p.index_offset = 999'999;
    file = concat({file_header(), prop(p), data_chunk(6000)});
    EXPECT_FALSE(rmff_utility::parse_layout(file, file.size())) << "index past the end";
    Bytes no_prop = concat({file_header(), data_chunk(10)});
    EXPECT_FALSE(rmff_utility::parse_layout(no_prop, no_prop.size()));
}

}  // namespace
}  // namespace wharfkeep
