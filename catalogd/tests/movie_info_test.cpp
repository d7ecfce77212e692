#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "description_builder.h"
#include "movie_info.h"
#include "movie_info_cipher.h"
#include "peerfeed/codec/exceptions.h"

namespace catalogd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A message with a chosen header around a plaintext (type byte and body), encrypted.
Bytes seal(std::uint32_t sequence, const Bytes& plaintext) {
    Bytes ciphertext =
        encrypt_padded(derive_command_key(kMovieInfoCommandCode, sequence), plaintext);
    Bytes out;
    for (std::uint32_t word :
         {kMovieInfoCommandCode, sequence, static_cast<std::uint32_t>(ciphertext.size())}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(word >> shift));
        }
    }
    out.insert(out.end(), ciphertext.begin(), ciphertext.end());
    return out;
}

Bytes query_plaintext(std::uint32_t id_length, std::size_t id_bytes) {
    Bytes plain{kQueryMessageType};
    test::put_le32(plain, id_length);
    for (std::size_t i = 0; i < id_bytes; ++i) {
        plain.push_back(static_cast<std::uint8_t>(0x40 + i));
    }
    return plain;
}

template <typename Message>
void decode(Message& message, const Bytes& bytes) {
    message.Decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

TEST(MovieInfoCipher, KeyIsTheDigestOfTheHeaderSum) {
    // Reference values from an independent MD5 of the four little-endian bytes.
    Bytes expected = from_hex("fe1a02dc05646ce844f684800decc30e");
    CommandKey key = derive_command_key(101, 0x01020304);
    EXPECT_EQ(Bytes(key.begin(), key.end()), expected);
}

TEST(MovieInfoCipher, PadsToWholeBlocksAndDecryptsBack) {
    CommandKey key = derive_command_key(101, 9);
    for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 33u}) {
        Bytes plain(size, 0x5A);
        Bytes sealed = encrypt_padded(key, plain);
        ASSERT_EQ(sealed.size(), 16 * (size / 16 + 1)) << size;
        decrypt_blocks(key, sealed);
        std::uint8_t padding = sealed.back();
        EXPECT_EQ(padding, 16 - size % 16);
        EXPECT_EQ(Bytes(sealed.begin(), sealed.end() - padding), plain);
    }
    Bytes ragged(17);
    EXPECT_THROW(decrypt_blocks(key, ragged), std::invalid_argument);
}

TEST(MovieInfoQuery, EncodesToTheReferenceBytes) {
    cmd_stream_query_movie_info query;
    query.set_sequence(0x01020304);
    for (std::size_t i = 0; i < query.gcid.size(); ++i) {
        query.gcid[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(query.GetSize(), 37u);
    // Produced independently with the openssl command-line tool.
    EXPECT_EQ(encode_message(query),
              from_hex("000000650102030400000020bf40c56a700e7159af0323bc42fb67d5fb44fcefe966326"
                       "82d9da168606cae9b"));
    EXPECT_EQ(query.body_length(), 25u);
}

TEST(MovieInfoQuery, RoundTripsTheIdentifierAndHeader) {
    cmd_stream_query_movie_info sent;
    sent.gcid.fill(0xE7);
    Bytes bytes = encode_message(sent);

    cmd_stream_query_movie_info received;
    decode(received, bytes);
    EXPECT_EQ(received.gcid, sent.gcid);
    EXPECT_EQ(received.sequence(), sent.sequence());
    EXPECT_EQ(received.command_code(), 101u);
    EXPECT_EQ(received.type(), kQueryMessageType);
    EXPECT_EQ(received.body_length(), 32u);  // the ciphertext length
}

TEST(MovieInfoQuery, RejectsShortAndMalformedBodies) {
    cmd_stream_query_movie_info query;
    // 13 bytes are not 12 more than whole blocks: nothing is decrypted and no length fits.
    Bytes thirteen = {0, 0, 0, 101, 0, 0, 0, 1, 0, 0, 0, 1, 53};
    EXPECT_THROW(decode(query, thirteen), peerfeed::p2p_cmd_exception_insufficient_read);
    Bytes twelve(thirteen.begin(), thirteen.end() - 1);
    EXPECT_THROW(decode(query, twelve), std::exception);

    // An identifier length beyond the bytes that follow names both numbers.
    try {
        decode(query, seal(3, query_plaintext(200, 20)));
        ADD_FAILURE() << "an over-long identifier length was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "cid length [200] is greater than buffer size[20]! it's illegal!");
    }
    // A length that fits the bytes but not the 20-byte identifier is refused too.
    EXPECT_THROW(decode(query, seal(3, query_plaintext(21, 24))), std::runtime_error);
    // Fewer than four bytes for the length.
    EXPECT_THROW(decode(query, seal(3, Bytes{kQueryMessageType, 1, 2})),
                 peerfeed::p2p_cmd_exception_insufficient_read);
}

TEST(MovieInfoQuery, ShortOrEmptyIdentifiersFillFromTheStart) {
    cmd_stream_query_movie_info query;
    query.gcid.fill(0xFF);
    decode(query, seal(4, query_plaintext(0, 0)));
    EXPECT_EQ(query.gcid, peerfeed::cid_bytes{});

    decode(query, seal(4, query_plaintext(3, 3)));
    peerfeed::cid_bytes expected{};
    expected[0] = 0x40;
    expected[1] = 0x41;
    expected[2] = 0x42;
    EXPECT_EQ(query.gcid, expected);
}

TEST(MovieInfoQuery, BadPaddingLeavesTheDecryptedBytesInPlace) {
    // A last byte of 0 is no padding length: the whole block is taken as message.
    Bytes plain = query_plaintext(20, 20);
    plain.resize(31, 0x11);
    plain.push_back(0);
    CommandKey key = derive_command_key(kMovieInfoCommandCode, 6);
    Bytes ciphertext = encrypt_padded(key, plain);
    ciphertext.resize(32);  // drop the padding block encrypt_padded appended
    Bytes message = {0, 0, 0, 101, 0, 0, 0, 6, 0, 0, 0, 32};
    message.insert(message.end(), ciphertext.begin(), ciphertext.end());

    cmd_stream_query_movie_info query;
    decode(query, message);
    EXPECT_EQ(query.gcid[0], 0x40);
    EXPECT_EQ(query.gcid[19], 0x40 + 19);
}

TEST(MovieInfoResponse, EncodedSizesFollowThePadding) {
    cmd_stream_query_movie_info_resp not_found;
    not_found.result = kResultNotFound;
    EXPECT_EQ(not_found.GetSize(), 14u);
    EXPECT_EQ(encode_message(not_found).size(), 28u);

    Bytes fifteen(15, 0x33);
    cmd_stream_query_movie_info_resp found;
    found.set_data(fifteen);
    EXPECT_EQ(encode_message(found).size(), 44u);

    // Thirteen data bytes fill one block exactly with the type and result bytes.
    Bytes thirteen(13, 0x33);
    found.set_data(thirteen);
    EXPECT_EQ(encode_message(found).size(), 28u);
    Bytes fourteen(14, 0x33);
    found.set_data(fourteen);
    EXPECT_EQ(encode_message(found).size(), 44u);
}

TEST(MovieInfoResponse, NotFoundMatchesTheReferenceBytes) {
    cmd_stream_query_movie_info_resp not_found;
    not_found.result = kResultNotFound;
    not_found.set_sequence(5);
    EXPECT_EQ(encode_message(not_found),
              from_hex("00000065000000050000001084c3d5cee32af00bb7ecaf80f562a38b"));
}

TEST(MovieInfoResponse, EncodingNeedsRoomForThePadding) {
    Bytes data(20, 1);
    cmd_stream_query_movie_info_resp response;
    response.set_data(data);
    Bytes buffer(response.GetSize() + 16);
    std::uint32_t length = response.GetSize();  // room for the plaintext, not the padding
    EXPECT_THROW(response.Encode(buffer.data(), length),
                 peerfeed::p2p_cmd_exception_insufficient_write);
    length = 11;
    EXPECT_THROW(response.Encode(buffer.data(), length),
                 peerfeed::p2p_cmd_exception_insufficient_write);
    length = 13;  // header and type byte, but no room for the result byte
    EXPECT_THROW(response.Encode(buffer.data(), length),
                 peerfeed::p2p_cmd_exception_insufficient_write);
}

TEST(MovieInfoResponse, DecodesTheDescriptionFields) {
    Bytes description = test::make_description(300, {{0x01, 100}, {0x02, 200}});
    cmd_stream_query_movie_info_resp sent;
    sent.set_data(description);
    Bytes bytes = encode_message(sent);

    cmd_stream_query_movie_info_resp received;
    decode(received, bytes);
    EXPECT_EQ(received.result, kResultFound);
    EXPECT_EQ(received.first_text, "");
    EXPECT_EQ(received.second_text, "two");
    EXPECT_EQ(received.check_id.length, 20u);
    EXPECT_EQ(received.check_id.bytes[19], 0xC1);
    EXPECT_EQ(received.total_size, 300u);
    EXPECT_EQ(received.gcid.bytes[0], 0xAB);
    ASSERT_EQ(received.piece_count, 2u);
    ASSERT_EQ(received.pieces.size(), 2u);
    EXPECT_EQ(received.pieces[1].digest.length, 16u);
    EXPECT_EQ(received.pieces[1].digest.bytes[15], 0x02);
    EXPECT_EQ(received.pieces[1].digest.bytes[16], 0x00);
    EXPECT_EQ(received.pieces[1].size, 200u);
}

TEST(MovieInfoResponse, PiecesThatDoNotAddUpMarkTheResult) {
    Bytes description = test::make_description(301, {{0x01, 100}, {0x02, 200}});
    cmd_stream_query_movie_info_resp sent;
    sent.set_data(description);
    cmd_stream_query_movie_info_resp received;
    decode(received, encode_message(sent));
    EXPECT_EQ(received.result, kResultInconsistentSizes);
}

TEST(MovieInfoResponse, HostileCountsAndLengthsFailCleanly) {
    cmd_stream_query_movie_info_resp received;
    // A piece count far beyond the bytes present ends in a short read, not an allocation.
    Bytes description = test::make_description(0, {});
    description[description.size() - 4] = 0xFF;
    description[description.size() - 1] = 0x7F;
    cmd_stream_query_movie_info_resp sent;
    sent.set_data(description);
    EXPECT_THROW(decode(received, encode_message(sent)),
                 peerfeed::p2p_cmd_exception_insufficient_read);

    Bytes long_text = {0xFF, 0xFF, 0xFF, 0x00};
    sent.set_data(long_text);
    try {
        decode(received, encode_message(sent));
        ADD_FAILURE() << "an over-long text was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("string length [16777215]", 0), 0u);
    }

    // A response with only the header and type byte has no result byte.
    cmd_stream_query_movie_info_resp response;
    EXPECT_THROW(decode(response, seal(1, Bytes{kResponseMessageType})),
                 peerfeed::p2p_cmd_exception_insufficient_read);
}

TEST(MovieInfoResponse, NotFoundCarriesNoData) {
    cmd_stream_query_movie_info_resp sent;
    sent.result = kResultNotFound;
    cmd_stream_query_movie_info_resp received;
    decode(received, encode_message(sent));
    EXPECT_EQ(received.result, kResultNotFound);
    EXPECT_TRUE(received.pieces.empty());
}

TEST(CommandSequence, EveryCommandTakesTheNextNumber) {
    cmd_stream_query_movie_info first;
    cmd_stream_query_movie_info_resp second;
    EXPECT_EQ(second.sequence(), first.sequence() + 1);
    EXPECT_EQ(first.name(), "cmd_stream_query_movie_info");
    EXPECT_EQ(second.name(), "cmd_stream_query_movie_info_resp");
    second.Reset();
    EXPECT_EQ(second.type(), 0);
    EXPECT_TRUE(second.name().empty());
}

}  // namespace
}  // namespace catalogd
