#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "peerfeed/codec/commands.h"
#include "peerfeed/codec/cursor.h"

using namespace peerfeed;

namespace {

std::vector<std::uint8_t> encode_cmd(p2p_cmd_tcp& cmd, bool noise = true) {
    std::vector<std::uint8_t> bytes(cmd.encoded_size(noise));
    std::uint32_t length = static_cast<std::uint32_t>(bytes.size());
    cmd.encode(bytes.data(), length, noise);
    bytes.resize(length);
    return bytes;
}

std::uint32_t load_u32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A noise header for `code` announcing `body_length`, followed by `body`.
std::vector<std::uint8_t> noise_frame(std::uint8_t code, std::uint32_t body_length,
                                      const std::vector<std::uint8_t>& body = {}) {
    std::vector<std::uint8_t> bytes(21 + body.size(), 0);
    store_u32(bytes.data(), 1000);
    bytes[4] = code;
    store_u32(bytes.data() + 9, 82);
    store_u32(bytes.data() + 17, body_length);
    for (std::size_t i = 0; i < body.size(); ++i)
        bytes[21 + i] = body[i];
    return bytes;
}

template <typename Fn>
std::string error_text(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(Cursor, FixedSizeFieldsAreLittleEndianAndChecked) {
    std::uint8_t buffer[13] = {};
    p2p_cmd_writer writer(buffer, sizeof buffer);
    writer.write_uint8(0xAB).write_uint32(0x01020304).write_uint64(0x1122334455667788ull);
    EXPECT_EQ(writer.written(), 13u);
    EXPECT_EQ(writer.room(), 0u);
    EXPECT_EQ(buffer[1], 0x04);
    EXPECT_EQ(buffer[5], 0x88);
    EXPECT_THROW(writer.write_uint8(1), p2p_cmd_exception_insufficient_write);

    p2p_cmd_reader reader(buffer, sizeof buffer);
    std::uint8_t b = 0;
    std::uint32_t w = 0;
    std::uint64_t l = 0;
    reader.read_uint8(b).read_uint32(w).read_uint64(l);
    EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(w, 0x01020304u);
    EXPECT_EQ(l, 0x1122334455667788ull);
    EXPECT_EQ(reader.consumed(), 13u);
    EXPECT_THROW(reader.read_uint8(b), p2p_cmd_exception_insufficient_read);

    p2p_cmd_reader short_reader(buffer, 7);
    EXPECT_THROW(short_reader.read_uint64(l), p2p_cmd_exception_insufficient_read);
    EXPECT_EQ(short_reader.left(), 7u) << "a failed fixed-size read leaves the cursor alone";
    EXPECT_EQ(error_text([&] { short_reader.read_uint64(l); }), "buffer is insufficient to read!");
}

TEST(Cursor, StringLengthBeyondDataNamesBothNumbers) {
    std::vector<std::uint8_t> body(100, 0);
    store_u32(body.data(), 70000);
    p2p_cmd_reader reader(body.data(), body.size());
    std::string value;
    EXPECT_EQ(error_text([&] { reader.read_string(value); }),
              "string length [70000] is greater than buffer size[96]! it's illegal!");

    store_u32(body.data(), 0);
    p2p_cmd_reader empty(body.data(), body.size());
    value = "old";
    empty.read_string(value);
    EXPECT_EQ(value, "");
}

TEST(Cursor, StringWriteWritesLengthBeforeCheckingRoom) {
    std::uint8_t buffer[6] = {};
    p2p_cmd_writer writer(buffer, sizeof buffer);
    EXPECT_THROW(writer.write_string("abcdef"), p2p_cmd_exception_insufficient_write);
    EXPECT_EQ(load_u32(buffer), 6u);
    EXPECT_EQ(writer.written(), 4u);
}

TEST(Cursor, CidLengthRules) {
    cid_bytes cid{};
    cid.fill(0x77);
    std::vector<std::uint8_t> data(40, 0xCC);

    store_u32(data.data(), 0);
    p2p_cmd_reader zero(data.data(), data.size());
    zero.read_cid(cid);
    EXPECT_EQ(cid, cid_bytes{});
    EXPECT_EQ(zero.consumed(), 4u);

    store_u32(data.data(), 3);
    p2p_cmd_reader shorter(data.data(), data.size());
    shorter.read_cid(cid);
    EXPECT_EQ(cid[0], 0xCC);
    EXPECT_EQ(cid[2], 0xCC);
    EXPECT_EQ(cid[3], 0x00);
    EXPECT_EQ(shorter.consumed(), 7u);

    // 21..left would overrun the 20-byte field.
    for (std::uint32_t length : {21u, 36u}) {
        store_u32(data.data(), length);
        p2p_cmd_reader reader(data.data(), data.size());
        EXPECT_EQ(error_text([&] { reader.read_cid(cid); }),
                  "cid length [" + std::to_string(length) +
                      "] is greater than cid size[20]! it's illegal!");
    }
    store_u32(data.data(), 37);
    p2p_cmd_reader beyond(data.data(), data.size());
    EXPECT_EQ(error_text([&] { beyond.read_cid(cid); }),
              "cid length [37] is greater than buffer size[36]! it's illegal!");

    std::uint8_t out[24] = {};
    p2p_cmd_writer writer(out, 23);
    EXPECT_THROW(writer.write_cid(cid), p2p_cmd_exception_insufficient_write);
}

TEST(Cursor, SkipAndHex) {
    std::uint8_t data[4] = {};
    p2p_cmd_reader reader(data, 4);
    EXPECT_EQ(error_text([&] { reader.skip(5); }), "len [5] is greater than buffer size[4]");
    reader.skip(4);
    EXPECT_EQ(reader.left(), 0u);

    cid_bytes cid{};
    for (std::size_t i = 0; i < cid.size(); ++i)
        cid[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(cid_to_hex(cid), "00112233445566778899AABBCCDDEEFF10213243");
}

TEST(Cursor, PackedRanges) {
    auto packed = [](p2p_range range) {
        std::vector<std::uint8_t> out(17);
        p2p_cmd_writer writer(out.data(), out.size());
        writer.write_range(range);
        out.resize(writer.written());
        EXPECT_EQ(out.size(), packed_range_size(range));
        return out;
    };
    EXPECT_EQ(packed({0, 0}), (std::vector<std::uint8_t>{0x11, 0x00, 0x00}));
    EXPECT_EQ(packed({0, 0x1234}), (std::vector<std::uint8_t>{0x21, 0x00, 0x34, 0x12}));
    EXPECT_EQ(packed({~0ull, 1}).size(), 10u);

    for (p2p_range range : {p2p_range{0, 0}, p2p_range{5, 1ull << 40}, p2p_range{~0ull, ~0ull}}) {
        auto bytes = packed(range);
        p2p_cmd_reader reader(bytes.data(), bytes.size());
        p2p_range back{9, 9};
        reader.read_range(back);
        EXPECT_EQ(back, range);
    }

    // High nibble 0: B is 0 and takes no bytes; low nibble 0: A is 0.
    std::uint8_t no_b[] = {0x01, 0x2A};
    p2p_range got{7, 7};
    p2p_cmd_reader(no_b, 2).read_range(got);
    EXPECT_EQ(got, (p2p_range{0x2A, 0}));

    std::uint8_t cut[] = {0x22, 0x01};
    EXPECT_THROW(p2p_cmd_reader(cut, 2).read_range(got), p2p_cmd_exception_insufficient_read);
    std::uint8_t too_wide[16] = {0x09};
    EXPECT_THROW(p2p_cmd_reader(too_wide, 16).read_range(got), std::runtime_error);
    std::uint8_t small[3] = {};
    EXPECT_THROW(p2p_cmd_writer(small, 2).write_range({0, 0}),
                 p2p_cmd_exception_insufficient_write);
}

TEST(Commands, NamesAndDescribe) {
    EXPECT_EQ(p2p_cmd_name(100), "HANDSHAKE");
    EXPECT_EQ(p2p_cmd_name(118), "EXTRADATARESP");
    EXPECT_EQ(p2p_cmd_name(121), "CDN_HANDSHAKE");
    EXPECT_EQ(p2p_cmd_name(119), "UNKNOWN=119");
    EXPECT_EQ(p2p_cmd_name(99), "UNKNOWN=99");
    p2p_cmd_keepalive1 keepalive;
    EXPECT_EQ(keepalive.to_string(), "Version: 82\r\nCmd name: KEEPALIVE[105]\r\n\r\n");
    std::string out = "stale";
    keepalive.describe(out);
    EXPECT_EQ(out, keepalive.to_string());
}

TEST(Commands, NoBodyCommandsAreExactly21Bytes) {
    p2p_cmd_keepalive1 keepalive;
    p2p_cmd_cancel cancel;
    p2p_cmd_cancelresp cancelresp;
    for (p2p_cmd_tcp* cmd : std::initializer_list<p2p_cmd_tcp*>{&keepalive, &cancel, &cancelresp}) {
        auto bytes = encode_cmd(*cmd);
        ASSERT_EQ(bytes.size(), 21u);
        EXPECT_EQ(load_u32(bytes.data() + 17), 0u);
        EXPECT_GE(load_u32(bytes.data()), 257u);
        EXPECT_EQ(bytes[4], cmd->code);
        EXPECT_EQ(load_u32(bytes.data() + 9), 82u);
        auto back = make_p2p_cmd(cmd->code);
        back->decode(bytes.data(), 21, false, true);
        EXPECT_EQ(back->body_length, 0u);
    }
}

TEST(Commands, LeadingNoiseWordIsNeverBelow257) {
    p2p_cmd_keepalive1 keepalive;
    for (int i = 0; i < 2000; ++i) {
        auto bytes = encode_cmd(keepalive);
        ASSERT_GE(load_u32(bytes.data()), 257u);
        ASSERT_LE(load_u32(bytes.data() + 5), 32767u * 32767u);
    }
}

TEST(Commands, PlainFramingCountsTheCodeByte) {
    p2p_cmd_interested interested;
    auto bytes = encode_cmd(interested, false);
    ASSERT_EQ(bytes.size(), 18u);
    EXPECT_EQ(load_u32(bytes.data()), 82u);
    EXPECT_EQ(load_u32(bytes.data() + 4), 10u);
    EXPECT_EQ(bytes[8], 102);
    p2p_cmd_interested back;
    back.in_byte = 0;
    back.decode(bytes.data(), 18, false, false);
    EXPECT_EQ(back.in_byte, 255);

    auto zero = bytes;
    store_u32(zero.data() + 4, 0);
    EXPECT_EQ(error_text([&] { back.decode(zero.data(), 18, false, false); }),
              "p2p_cmd_tcp::decode bodylen[0] is invalid.");
}

TEST(Commands, HeaderFaults) {
    p2p_cmd_tcp any;
    std::uint8_t short_buf[20] = {};
    EXPECT_EQ(error_text([&] { any.decode(short_buf, 20, false, true); }),
              "p2p_cmd_tcp::decode buff_size 20 is not enough for header!");
    EXPECT_EQ(error_text([&] { any.decode(short_buf, 8, false, false); }),
              "p2p_cmd_tcp::decode buff_size 8 is not enough for header!");

    auto over = noise_frame(105, 65535);
    EXPECT_EQ(error_text([&] { p2p_cmd_tcp().decode(over.data(), 21, false, true); }),
              "p2p_cmd_tcp::decode bodylen[65535] is invalid.");

    auto max = noise_frame(105, 65534, std::vector<std::uint8_t>(65534, 0));
    EXPECT_NO_THROW(
        p2p_cmd_tcp().decode(max.data(), static_cast<std::uint32_t>(max.size()), false, true));
    EXPECT_EQ(error_text([&] { p2p_cmd_tcp().decode(max.data(), 100, false, true); }),
              "p2p_cmd_tcp::decode buff_size 100 is not enough for whole command!");
    EXPECT_NO_THROW(p2p_cmd_tcp().decode(max.data(), 100, true, true));

    auto request = noise_frame(106, 0);
    p2p_cmd_handshake handshake;
    EXPECT_EQ(error_text([&] { handshake.decode(request.data(), 21, false, true); }),
              "p2p_cmd_old::decode should decode HANDSHAKEbut decode cmd =[REQUEST].");
    auto odd = noise_frame(119, 0);
    EXPECT_EQ(error_text([&] { handshake.decode(odd.data(), 21, false, true); }),
              "p2p_cmd_old::decode should decode HANDSHAKEbut decode cmd =[UNKNOWN=119].");

    p2p_cmd_tcp taker;
    taker.decode(odd.data(), 21, false, true);
    EXPECT_EQ(taker.code, 119);
}

TEST(Commands, EncodeNeedsRoom) {
    p2p_cmd_request request;
    std::uint8_t buffer[68] = {};
    std::uint32_t length = 67;
    EXPECT_EQ(error_text([&] { request.encode(buffer, length, true); }),
              "Not enough space to encode command. Comamnd length is: 68; Buffer length is: 67");
    length = 68;
    request.encode(buffer, length, true);
    EXPECT_EQ(length, 68u);
    EXPECT_EQ(request.body_length, 47u);
}

TEST(Commands, HandshakeRoundTripAndShortBody) {
    p2p_cmd_handshake handshake;
    EXPECT_EQ(handshake.body_size(), 104u);
    handshake.gcid.fill(0xA5);
    handshake.file_size = 123456789012ull;
    handshake.peer_id = "peer-identity-0123456789";
    handshake.hs_string3 = "xyz";
    handshake.hs_word4 = 77;
    auto bytes = encode_cmd(handshake);
    EXPECT_EQ(bytes.size(), 21u + 104 + 24 + 3);

    p2p_cmd_handshake back;
    back.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true);
    EXPECT_EQ(back.gcid, handshake.gcid);
    EXPECT_EQ(back.file_size, handshake.file_size);
    EXPECT_EQ(back.peer_id, handshake.peer_id);
    EXPECT_EQ(back.hs_string3, "xyz");
    EXPECT_EQ(back.hs_word4, 77u);

    // Cut right after file_size: the header announces only those 37 bytes.
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + 21 + 37);
    store_u32(cut.data() + 17, 37);
    p2p_cmd_handshake partial;
    partial.decode(cut.data(), static_cast<std::uint32_t>(cut.size()), false, true);
    EXPECT_EQ(partial.gcid, handshake.gcid);
    EXPECT_EQ(partial.file_size, handshake.file_size);
    EXPECT_EQ(partial.hs_byte2, 255);
    EXPECT_EQ(partial.peer_id, "");
    EXPECT_EQ(partial.ext_words, ext_words_marked);

    p2p_cmd_cdn_handshake cdn;
    EXPECT_EQ(cdn.code, 121);
    auto cdn_bytes = encode_cmd(cdn);
    EXPECT_EQ(make_p2p_cmd(121)->code, 121);
    EXPECT_NO_THROW(make_p2p_cmd(121)->decode(cdn_bytes.data(), 125, false, true));
}

TEST(Commands, HandshakeBodyDoesNotReadPastItsFrame) {
    // The string length fits the buffer but not the announced body: the body view ends at
    // the frame, so the length is illegal.
    p2p_cmd_handshake handshake;
    handshake.peer_id = std::string(30, 'p');
    auto bytes = encode_cmd(handshake);
    store_u32(bytes.data() + 17, 50);
    p2p_cmd_handshake back;
    EXPECT_EQ(error_text([&] {
                  back.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true);
              }),
              "string length [30] is greater than buffer size[8]! it's illegal!");
}

TEST(Commands, HandshakerespAndInterested) {
    p2p_cmd_handshakeresp resp;
    resp.result = 102;
    EXPECT_EQ(resp.body_size(), 55u);
    auto bytes = encode_cmd(resp);
    p2p_cmd_handshakeresp back;
    back.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true);
    EXPECT_EQ(back.result, 102);
    EXPECT_EQ(back.ext_words, ext_words_marked);

    p2p_cmd_interestedresp ranges;
    ranges.completion = 100;
    ranges.ranges = {{0, 1000000}};
    EXPECT_EQ(ranges.body_size(), 5u + 1 + 1 + 3);
    auto range_bytes = encode_cmd(ranges);
    p2p_cmd_interestedresp range_back;
    range_back.ranges = {{1, 2}, {3, 4}};
    range_back.decode(range_bytes.data(), static_cast<std::uint32_t>(range_bytes.size()), false,
                      true);
    EXPECT_EQ(range_back.completion, 100);
    ASSERT_EQ(range_back.ranges.size(), 1u);
    EXPECT_EQ(range_back.ranges[0], (p2p_range{0, 1000000}));

    // A huge claimed count only yields the ranges present.
    std::vector<std::uint8_t> body = {100, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0, 0};
    auto frame = noise_frame(103, static_cast<std::uint32_t>(body.size()), body);
    p2p_cmd_interestedresp claimed;
    claimed.decode(frame.data(), static_cast<std::uint32_t>(frame.size()), false, true);
    EXPECT_EQ(claimed.ranges.size(), 1u);
}

TEST(Commands, RequestRules) {
    p2p_cmd_request request;
    request.offset = 5;
    request.length = 65536;
    request.rq_word = 1;
    auto bytes = encode_cmd(request);
    ASSERT_EQ(bytes.size(), 68u);
    p2p_cmd_request back;
    back.decode(bytes.data(), 68, false, true);
    EXPECT_EQ(back.offset, 5u);
    EXPECT_EQ(back.length, 65536u);

    auto rejects = [](std::uint64_t length, std::uint32_t word) {
        p2p_cmd_request bad;
        bad.length = length;
        bad.rq_word = word;
        auto encoded = encode_cmd(bad);
        p2p_cmd_request target;
        try {
            target.decode(encoded.data(), 68, false, true);
        } catch (const p2p_cmd_exception&) {
            return false;  // codec exceptions are not the rule violation
        } catch (const std::exception&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(rejects(0, 1));
    EXPECT_TRUE(rejects(10, 0));
    EXPECT_TRUE(rejects(10, 65536));
    EXPECT_FALSE(rejects(10, 65535));
}

TEST(Commands, RequestCutShortStillObeysItsRules) {
    p2p_cmd_request request;
    request.offset = 0;
    request.length = 100;
    request.rq_word = 7;
    auto bytes = encode_cmd(request);

    // Ends after offset: length and rq_word keep their built zeros, which is no request.
    for (std::uint32_t body : {0u, 1u, 9u, 17u, 20u}) {
        std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + 21 + body);
        store_u32(cut.data() + 17, body);
        p2p_cmd_request target;
        EXPECT_THROW(target.decode(cut.data(), static_cast<std::uint32_t>(cut.size()), false, true),
                     std::exception)
            << "body of " << body << " bytes";
    }
    // Ends after rq_word: the fields that matter are there, the rest is optional.
    std::vector<std::uint8_t> enough(bytes.begin(), bytes.begin() + 21 + 21);
    store_u32(enough.data() + 17, 21);
    p2p_cmd_request target;
    EXPECT_NO_THROW(target.decode(enough.data(), 42, false, true));
    EXPECT_EQ(target.length, 100u);
    EXPECT_EQ(target.rq_word, 7u);
}

TEST(Commands, RequestrespDataRules) {
    const std::uint8_t payload[5] = {1, 2, 3, 4, 5};
    p2p_cmd_requestresp resp(false);
    resp.offset = 99;
    resp.set_data(payload, 5);
    EXPECT_EQ(resp.data(), payload) << "a borrowing object keeps the caller's pointer";
    EXPECT_EQ(resp.body_size(), 43u);
    auto bytes = encode_cmd(resp);

    p2p_cmd_requestresp owned(true);
    owned.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true);
    EXPECT_EQ(owned.offset, 99u);
    ASSERT_EQ(owned.data_length(), 5u);
    EXPECT_NE(owned.data(), bytes.data() + 34);
    EXPECT_EQ(std::memcmp(owned.data(), payload, 5), 0);

    p2p_cmd_requestresp borrowed(false);
    borrowed.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true);
    EXPECT_EQ(borrowed.data(), bytes.data() + 21 + 13);

    auto with = [](std::uint8_t result, std::uint32_t length, std::uint32_t present) {
        std::vector<std::uint8_t> body(13 + present, 0);
        body[0] = result;
        store_u32(body.data() + 9, length);
        auto frame = noise_frame(107, static_cast<std::uint32_t>(body.size()), body);
        return error_text([&] {
            p2p_cmd_requestresp(true).decode(frame.data(), static_cast<std::uint32_t>(frame.size()),
                                             false, true);
        });
    };
    EXPECT_EQ(with(0, 0, 0), "Result is Success but Data Len = [0] is illegal!");
    EXPECT_EQ(with(3, 9, 9), "Result is Failed but Data Len = [9] is illegal!");
    EXPECT_EQ(with(0, 65536, 100), "Data Len = [65536] is illegal!");
    EXPECT_EQ(with(0, 50, 10), "len [50] is greater than buffer size[10]");
    EXPECT_EQ(with(4, 0, 0), "<no exception>");

    // Cut inside the fixed head: an error, not a short body.
    std::vector<std::uint8_t> head(12, 0);
    auto frame = noise_frame(107, 12, head);
    EXPECT_THROW(p2p_cmd_requestresp(true).decode(frame.data(), 33, false, true), std::exception);
}

TEST(Framing, HeaderWriterMatchesTheCommandsOwnApartFromNoise) {
    const std::uint8_t payload[3] = {7, 8, 9};
    p2p_cmd_requestresp resp(false);
    resp.offset = 1234;
    resp.set_data(payload, 3);
    const auto encoded = encode_cmd(resp);

    std::vector<std::uint8_t> written(noise_header_size);
    p2p_cmd_writer writer(written.data(), written.size());
    write_noise_header(writer, cmd_requestresp, resp.body_size());
    ASSERT_EQ(writer.written(), noise_header_size);
    ASSERT_GE(load_u32(written.data()), 257u);
    // Code, version and body length agree; only the three noise words differ.
    for (std::size_t at :
         {std::size_t{4}, std::size_t{9}, std::size_t{10}, std::size_t{11}, std::size_t{12},
          std::size_t{17}, std::size_t{18}, std::size_t{19}, std::size_t{20}}) {
        EXPECT_EQ(written[at], encoded[at]) << "byte " << at;
    }
    written.insert(written.end(), encoded.begin() + noise_header_size, encoded.end());
    p2p_cmd_requestresp back(true);
    back.decode(written.data(), static_cast<std::uint32_t>(written.size()), false, true);
    EXPECT_EQ(back.offset, 1234u);
    ASSERT_EQ(back.data_length(), 3u);
    EXPECT_EQ(std::memcmp(back.data(), payload, 3), 0);
    EXPECT_EQ(scan_noise_frame(written.data(), written.size()).total_size, written.size());
}

TEST(Framing, ScanFindsBoundaries) {
    auto frame = noise_frame(105, 3, {1, 2, 3});
    EXPECT_EQ(scan_noise_frame(frame.data(), 20).status, frame_status::incomplete);
    auto partial = scan_noise_frame(frame.data(), 23);
    EXPECT_EQ(partial.status, frame_status::incomplete);
    EXPECT_EQ(partial.total_size, 24u);
    auto whole = scan_noise_frame(frame.data(), 24);
    EXPECT_EQ(whole.status, frame_status::complete);
    EXPECT_EQ(whole.code, 105);

    auto huge = noise_frame(106, 65535);
    EXPECT_EQ(scan_noise_frame(huge.data(), 21).status, frame_status::invalid)
        << "an oversize body is refused without waiting for it";
}
