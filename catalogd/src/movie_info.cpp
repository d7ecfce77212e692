#include "movie_info.h"

#include <atomic>
#include <exception>
#include <limits>

#include "movie_info_cipher.h"
#include "peerfeed/codec/exceptions.h"

namespace catalogd {
namespace {

constinit std::atomic<std::int32_t> g_sequence_counter{0};

void put_big_endian(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get_big_endian(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

// Reads an identifier and keeps the length it was written with.
described_identifier read_identifier(peerfeed::p2p_cmd_reader& reader) {
    described_identifier identifier;
    peerfeed::p2p_cmd_reader peek = reader;
    peek.read_uint32(identifier.length);
    reader.read_cid(identifier.bytes);
    return identifier;
}

// Decrypts the bytes after the header in place and returns the length that remains once
// the padding is taken off. A length that is not whole blocks, or a last byte that is no
// padding length, is left for the decoder to fail on later.
std::uint32_t decrypt_after_header(std::vector<std::uint8_t>& message, std::uint32_t code,
                                   std::uint32_t sequence) {
    auto total = static_cast<std::uint32_t>(message.size());
    if (total % kCipherBlock != kCommandHeaderSize % kCipherBlock) {
        return total;
    }
    std::span<std::uint8_t> blocks(message.data() + kCommandHeaderSize, total - kCommandHeaderSize);
    decrypt_blocks(derive_command_key(code, sequence), blocks);
    std::uint8_t padding = blocks.back();
    if (padding < 1 || padding > kCipherBlock) {
        return total;
    }
    return total - padding;
}

}  // namespace

std::uint32_t next_command_sequence() {
    std::int32_t current = g_sequence_counter.load(std::memory_order_relaxed);
    std::int32_t next;
    do {
        next = current == std::numeric_limits<std::int32_t>::max() ? 0 : current + 1;
    } while (!g_sequence_counter.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return static_cast<std::uint32_t>(current);
}

cmd::cmd(std::uint8_t type, std::string name)
    : sequence_(next_command_sequence()), type_(type), name_(std::move(name)) {}

std::string cmd::Describe() const {
    std::string text;
    DescribeBody(text);
    return text;
}

void cmd::Reset() {
    short_header_ = false;
    name_.clear();
    type_ = 0;
}

std::uint32_t msr_command::GetSize() const {
    return GetBodySize() + 9 + (short_header_ ? 0 : 4);
}

void msr_command::DescribeBody(std::string&) const {}

void msr_command::Encode(std::uint8_t* buffer, std::uint32_t& length) {
    const std::uint32_t capacity = length;
    body_length_ = GetSize() - kCommandHeaderSize;
    std::uint32_t at = 0;
    auto put_word = [&](std::uint32_t value) {
        if (capacity - at < 4) {
            throw peerfeed::p2p_cmd_exception_insufficient_write();
        }
        put_big_endian(buffer + at, value);
        at += 4;
    };
    put_word(command_code_);
    put_word(sequence_);
    if (!short_header_) {
        put_word(body_length_);
    }
    if (capacity - at < 1) {
        throw peerfeed::p2p_cmd_exception_insufficient_write();
    }
    buffer[at++] = type_;
    std::uint32_t body = capacity - at;
    EncodeBody(buffer + at, body);
    at += body;

    if (!encrypted_) {
        length = at;
        return;
    }
    const std::uint32_t header = header_size();
    std::vector<std::uint8_t> ciphertext =
        encrypt_padded(derive_command_key(command_code_, sequence_),
                       std::span<const std::uint8_t>(buffer + header, at - header));
    if (ciphertext.size() > capacity - header) {
        throw peerfeed::p2p_cmd_exception_insufficient_write();
    }
    std::copy(ciphertext.begin(), ciphertext.end(), buffer + header);
    if (!short_header_) {
        put_big_endian(buffer + 8, static_cast<std::uint32_t>(ciphertext.size()));
    }
    length = header + static_cast<std::uint32_t>(ciphertext.size());
}

void msr_command::Decode(const std::uint8_t* buffer, std::uint32_t length) {
    if (length < kCommandHeaderSize + 1) {
        throw std::exception();
    }
    std::vector<std::uint8_t> message(buffer, buffer + length);
    std::uint32_t code = get_big_endian(message.data());
    std::uint32_t sequence = get_big_endian(message.data() + 4);
    std::uint32_t usable = length;
    if (encrypted_) {
        usable = decrypt_after_header(message, code, sequence);
    }
    command_code_ = code;
    sequence_ = sequence;
    std::uint32_t at = 8;
    if (!short_header_) {
        if (usable - at < 4) {
            throw peerfeed::p2p_cmd_exception_insufficient_read();
        }
        body_length_ = get_big_endian(message.data() + at);
        at += 4;
    }
    if (usable - at < 1) {
        throw peerfeed::p2p_cmd_exception_insufficient_read();
    }
    type_ = message[at++];
    DecodeBody(message.data() + at, usable - at);
}

cmd_stream_query_movie_info::cmd_stream_query_movie_info()
    : msr_command(kQueryMessageType, "cmd_stream_query_movie_info") {}

void cmd_stream_query_movie_info::EncodeBody(std::uint8_t* buffer, std::uint32_t& length) {
    if (length < GetBodySize()) {
        throw peerfeed::p2p_cmd_exception_insufficient_write();
    }
    peerfeed::p2p_cmd_writer writer(buffer, length);
    writer.write_cid(gcid);
    length = static_cast<std::uint32_t>(writer.written());
}

void cmd_stream_query_movie_info::DecodeBody(const std::uint8_t* buffer, std::uint32_t length) {
    peerfeed::p2p_cmd_reader reader(buffer, length);
    reader.read_cid(gcid);
}

cmd_stream_query_movie_info_resp::cmd_stream_query_movie_info_resp()
    : msr_command(kResponseMessageType, "cmd_stream_query_movie_info_resp") {}

std::uint32_t cmd_stream_query_movie_info_resp::GetBodySize() const {
    return static_cast<std::uint32_t>(data_.size()) + 1;
}

void cmd_stream_query_movie_info_resp::EncodeBody(std::uint8_t* buffer, std::uint32_t& length) {
    if (length < 1 || length - 1 < data_.size()) {
        throw peerfeed::p2p_cmd_exception_insufficient_write();
    }
    peerfeed::p2p_cmd_writer writer(buffer, length);
    writer.write_uint8(result);
    writer.write_bytes(data_.data(), data_.size());
    length = static_cast<std::uint32_t>(writer.written());
}

void cmd_stream_query_movie_info_resp::DecodeBody(const std::uint8_t* buffer,
                                                  std::uint32_t length) {
    peerfeed::p2p_cmd_reader reader(buffer, length);
    reader.read_uint8(result);
    if (result != kResultFound) {
        return;
    }
    reader.read_string(first_text);
    reader.read_string(second_text);
    check_id = read_identifier(reader);
    reader.read_uint64(total_size);
    gcid = read_identifier(reader);
    reader.read_uint32(piece_count);
    pieces.clear();
    std::uint64_t piece_sum = 0;
    // Grows with the pieces actually read: a hostile count cannot size the list.
    for (std::uint32_t i = 0; i < piece_count; ++i) {
        described_piece piece;
        piece.digest = read_identifier(reader);
        reader.read_uint32(piece.size);
        piece_sum += piece.size;
        pieces.push_back(piece);
    }
    if (piece_sum != total_size) {
        result = kResultInconsistentSizes;
    }
}

std::vector<std::uint8_t> encode_message(cmd& message) {
    std::uint32_t length = message.GetSize() + static_cast<std::uint32_t>(kCipherBlock);
    std::vector<std::uint8_t> bytes(length);
    message.Encode(bytes.data(), length);
    bytes.resize(length);
    return bytes;
}

}  // namespace catalogd
