#include "peer_protocol.h"

#include <gtest/gtest.h>

#include <numeric>

namespace wkpeer {
namespace {

std::vector<std::uint8_t> encoded_requestresp(std::uint64_t offset, std::uint32_t length,
                                              std::uint8_t result = 0) {
    std::vector<std::uint8_t> data(length);
    std::iota(data.begin(), data.end(), std::uint8_t{7});
    peerfeed::p2p_cmd_requestresp answer(false);
    answer.result = result;
    answer.offset = offset;
    answer.set_data(data.data(), length);
    std::vector<std::uint8_t> bytes(answer.encoded_size(true));
    std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
    answer.encode(bytes.data(), size, true);
    return bytes;
}

void set_body_length(std::vector<std::uint8_t>& command, std::uint32_t body) {
    for (int i = 0; i < 4; ++i) {
        command[peerfeed::noise_body_length_offset + i] =
            static_cast<std::uint8_t>(body >> (8 * i));
    }
}

TEST(PeerReceivePath, AcceptsTheAnswerToAFullSizeRequest) {
    const auto bytes = encoded_requestresp(5ull << 32, max_request_length);
    ASSERT_EQ(bytes.size(), 21u + 65574u);
    frame f;
    ASSERT_EQ(next_frame(bytes.data(), bytes.size(), f), frame_status::complete);
    EXPECT_EQ(f.total, bytes.size());
    request_response answer;
    EXPECT_EQ(decode_requestresp(f.command, f.total, answer), "");
    EXPECT_EQ(answer.offset, 5ull << 32);
    EXPECT_EQ(answer.data_length, max_request_length);
    EXPECT_EQ(answer.data[0], 7);
    EXPECT_EQ(answer.data[65535], static_cast<std::uint8_t>(7 + 65535));

    // The server's own receiving rules stay as strict as before.
    peerfeed::p2p_cmd_requestresp strict(true);
    EXPECT_THROW(strict.decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false, true),
                 std::exception);
}

TEST(PeerReceivePath, RefusesAnythingLargerAtTheHeader) {
    auto bytes = encoded_requestresp(0, 16);
    set_body_length(bytes, max_requestresp_body + 1);
    frame f;
    EXPECT_EQ(next_frame(bytes.data(), 21, f), frame_status::invalid);
    // Other commands keep the codec's bound.
    bytes[peerfeed::noise_code_offset] = peerfeed::cmd_handshakeresp;
    set_body_length(bytes, peerfeed::max_body_length + 1);
    EXPECT_EQ(next_frame(bytes.data(), 21, f), frame_status::invalid);
    set_body_length(bytes, peerfeed::max_body_length);
    EXPECT_EQ(next_frame(bytes.data(), 21, f), frame_status::incomplete);
}

TEST(PeerReceivePath, FindsCommandsInAStream) {
    auto stream = encoded_requestresp(0, 100);
    const auto second = encoded_requestresp(100, 50);
    stream.insert(stream.end(), second.begin(), second.end());
    frame f;
    EXPECT_EQ(next_frame(stream.data(), 20, f), frame_status::incomplete);
    ASSERT_EQ(next_frame(stream.data(), stream.size(), f), frame_status::complete);
    EXPECT_EQ(f.total, 21u + 138u);
    ASSERT_EQ(next_frame(stream.data() + f.total, stream.size() - f.total - 1, f),
              frame_status::incomplete);
    ASSERT_EQ(next_frame(stream.data() + 159, stream.size() - 159, f), frame_status::complete);
    request_response answer;
    EXPECT_EQ(decode_requestresp(f.command, f.total, answer), "");
    EXPECT_EQ(answer.offset, 100u);
    EXPECT_EQ(answer.data_length, 50u);
}

TEST(PeerReceivePath, MalformedAnswersAreErrorsNotCrashes) {
    request_response answer;
    // Data length beyond what the body holds.
    auto bytes = encoded_requestresp(0, 100);
    bytes[21 + 9] = 200;
    EXPECT_NE(decode_requestresp(bytes.data(), static_cast<std::uint32_t>(bytes.size()), answer),
              "");
    // Data length above a full request.
    bytes = encoded_requestresp(0, 100);
    bytes[21 + 9] = 0x01;
    bytes[21 + 10] = 0x00;
    bytes[21 + 11] = 0x01;
    EXPECT_EQ(decode_requestresp(bytes.data(), static_cast<std::uint32_t>(bytes.size()), answer),
              "Data Len = [65537] is illegal!");
    // Success without data, failure with data.
    bytes = encoded_requestresp(0, 0);
    EXPECT_EQ(decode_requestresp(bytes.data(), static_cast<std::uint32_t>(bytes.size()), answer),
              "Result is Success but Data Len = [0] is illegal!");
    bytes = encoded_requestresp(0, 3, 1);
    EXPECT_EQ(decode_requestresp(bytes.data(), static_cast<std::uint32_t>(bytes.size()), answer),
              "Result is Failed but Data Len = [3] is illegal!");
    // Cut inside the data length.
    bytes = encoded_requestresp(0, 10);
    EXPECT_NE(decode_requestresp(bytes.data(), 21 + 11, answer), "");
    // Trailing reserved fields left out are fine.
    bytes = encoded_requestresp(0, 10);
    EXPECT_EQ(decode_requestresp(bytes.data(), 21 + 13 + 10, answer), "");
}

TEST(PeerCommands, DecodeWithTheServersCodec) {
    const auto gcid = gcid_from_hex("00112233445566778899aabbccddeeffDEADBEEF");
    ASSERT_TRUE(gcid);
    const auto handshake = encode_handshake(*gcid, 5ull << 30, "wkpeer-abcdefghi");
    peerfeed::p2p_cmd_handshake decoded;
    decoded.decode(handshake.data(), static_cast<std::uint32_t>(handshake.size()), false, true);
    EXPECT_EQ(decoded.gcid, *gcid);
    EXPECT_EQ(decoded.file_size, 5ull << 30);
    EXPECT_EQ(decoded.peer_id, "wkpeer-abcdefghi");
    EXPECT_EQ(peerfeed::cid_to_hex(decoded.gcid), "00112233445566778899AABBCCDDEEFFDEADBEEF");

    std::vector<std::uint8_t> requests;
    append_request(requests, 1ull << 33, 65536);
    append_request(requests, 7, 1);
    ASSERT_EQ(requests.size(), 2u * (21 + 47));
    peerfeed::p2p_cmd_request request;
    request.decode(requests.data() + 68, 68, false, true);
    EXPECT_EQ(request.offset, 7u);
    EXPECT_EQ(request.length, 1u);
    request.decode(requests.data(), 68, false, true);
    EXPECT_EQ(request.offset, 1ull << 33);
    EXPECT_EQ(request.length, 65536u);
}

TEST(PeerCommands, GcidTextMustBeFortyHexDigits) {
    EXPECT_FALSE(gcid_from_hex(""));
    EXPECT_FALSE(gcid_from_hex(std::string(39, 'A')));
    EXPECT_FALSE(gcid_from_hex(std::string(41, 'A')));
    EXPECT_FALSE(gcid_from_hex(std::string(39, 'A') + "G"));
    EXPECT_TRUE(gcid_from_hex(std::string(40, 'f')));
}

}  // namespace
}  // namespace wkpeer
