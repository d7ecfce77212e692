#pragma once
// The movie-info commands a player exchanges with the list server: the query names a
// content identifier, the response carries that item's stream-description file.
//
// Wire layout (header integers big-endian): command code (4), sequence number (4), length
// of everything after the header (4), message type (1), body. The type byte and the body
// are encrypted with AES-128-ECB/PKCS#7 under a key derived from the header; the length
// field then holds the ciphertext length. Body fields use the little-endian,
// length-prefixed primitives of the peer command codec.
//
// Messages are built and used on one thread; only the sequence counter is process-wide.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "peerfeed/codec/cursor.h"

namespace catalogd {

inline constexpr std::uint32_t kMovieInfoCommandCode = 101;
inline constexpr std::uint8_t kQueryMessageType = 53;
inline constexpr std::uint8_t kResponseMessageType = 54;
// Header bytes before the type byte when the header has its length field.
inline constexpr std::uint32_t kCommandHeaderSize = 12;

// Result codes of a movie-info response.
inline constexpr std::uint8_t kResultFound = 0;
inline constexpr std::uint8_t kResultNotFound = 1;
// Set by the receiver when the piece sizes do not add up to the total size.
inline constexpr std::uint8_t kResultInconsistentSizes = 202;

// Base of every command: the header fields and the operations each message provides.
class cmd {
public:
    explicit cmd(std::uint8_t type, std::string name);
    virtual ~cmd() = default;

    // Encoded length before encryption.
    virtual std::uint32_t GetSize() const = 0;
    // Writes the message into `buffer`; `length` is its capacity on entry (GetSize() + 16
    // leaves room for the padding) and the bytes written on return.
    virtual void Encode(std::uint8_t* buffer, std::uint32_t& length) = 0;
    // Fills the message from `length` bytes.
    virtual void Decode(const std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual std::string Describe() const;
    virtual void DescribeBody(std::string& out) const = 0;
    virtual void EncodeBody(std::uint8_t* buffer, std::uint32_t& length) = 0;
    virtual void DecodeBody(const std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual std::uint32_t GetBodySize() const = 0;
    virtual void Reset();

    bool short_header() const { return short_header_; }
    std::uint32_t sequence() const { return sequence_; }
    std::uint8_t type() const { return type_; }
    const std::string& name() const { return name_; }
    std::uint32_t command_code() const { return command_code_; }
    std::uint32_t body_length() const { return body_length_; }
    bool encrypted() const { return encrypted_; }

    void set_sequence(std::uint32_t sequence) { sequence_ = sequence; }

protected:
    bool short_header_ = false;
    std::uint32_t sequence_;
    std::uint8_t type_;
    std::string name_;
    std::uint32_t command_code_ = kMovieInfoCommandCode;
    std::uint32_t body_length_ = 0;
    bool encrypted_ = true;
};

// The framing shared by the movie-info messages: header, type byte, body, encryption.
class msr_command : public cmd {
public:
    using cmd::cmd;

    std::uint32_t GetSize() const override;
    void Encode(std::uint8_t* buffer, std::uint32_t& length) override;
    void Decode(const std::uint8_t* buffer, std::uint32_t length) override;
    void DescribeBody(std::string& out) const override;

private:
    std::uint32_t header_size() const { return short_header_ ? 8 : kCommandHeaderSize; }
};

class cmd_stream_query_movie_info : public msr_command {
public:
    cmd_stream_query_movie_info();

    void EncodeBody(std::uint8_t* buffer, std::uint32_t& length) override;
    void DecodeBody(const std::uint8_t* buffer, std::uint32_t length) override;
    std::uint32_t GetBodySize() const override { return 24; }

    peerfeed::cid_bytes gcid{};
};

// A length-prefixed identifier as found in a stream-description file, with the length it
// was written with (content identifiers have 20 bytes, piece digests 16).
struct described_identifier {
    peerfeed::cid_bytes bytes{};
    std::uint32_t length = 0;
};

struct described_piece {
    described_identifier digest;
    std::uint32_t size = 0;
};

class cmd_stream_query_movie_info_resp : public msr_command {
public:
    cmd_stream_query_movie_info_resp();

    void EncodeBody(std::uint8_t* buffer, std::uint32_t& length) override;
    void DecodeBody(const std::uint8_t* buffer, std::uint32_t length) override;
    std::uint32_t GetBodySize() const override;

    // The bytes to send; not owned, copied when encoding.
    void set_data(std::span<const std::uint8_t> data) { data_ = data; }
    std::span<const std::uint8_t> data() const { return data_; }

    std::uint8_t result = kResultFound;
    // Filled when decoding a found response.
    std::string first_text;
    std::string second_text;
    described_identifier check_id;
    std::uint64_t total_size = 0;
    described_identifier gcid;
    std::uint32_t piece_count = 0;
    std::vector<described_piece> pieces;

private:
    std::span<const std::uint8_t> data_;
};

// The whole encoding of `message`, encrypted when its flag says so.
std::vector<std::uint8_t> encode_message(cmd& message);

// The next value of the process-wide sequence counter; it restarts at 0 instead of
// becoming negative.
std::uint32_t next_command_sequence();

}  // namespace catalogd
