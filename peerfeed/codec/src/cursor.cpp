#include "peerfeed/codec/cursor.h"

#include <cstring>

#include "platform/hex.h"

namespace peerfeed {
namespace {

// Fewest little-endian bytes that hold `value`, at least one.
std::size_t value_bytes(std::uint64_t value) {
    std::size_t bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0) {
        ++bytes;
    }
    return bytes;
}

void store_le(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t load_le(const std::uint8_t* in, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

}  // namespace

std::string cid_to_hex(const cid_bytes& cid) {
    return platform::upper_hex(cid);
}

std::size_t packed_range_size(const p2p_range& range) {
    return 1 + value_bytes(range.first) + value_bytes(range.second);
}

// --- writer ---

p2p_cmd_writer& p2p_cmd_writer::write_le(std::uint64_t value, std::size_t bytes) {
    need(bytes);
    store_le(position_, value, bytes);
    advance(bytes);
    return *this;
}

p2p_cmd_writer& p2p_cmd_writer::write_uint8(std::uint8_t value) {
    return write_le(value, 1);
}

p2p_cmd_writer& p2p_cmd_writer::write_uint32(std::uint32_t value) {
    return write_le(value, 4);
}

p2p_cmd_writer& p2p_cmd_writer::write_uint64(std::uint64_t value) {
    return write_le(value, 8);
}

p2p_cmd_writer& p2p_cmd_writer::write_string(const std::string& value) {
    write_uint32(static_cast<std::uint32_t>(value.size()));
    return write_bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
}

p2p_cmd_writer& p2p_cmd_writer::write_cid(const cid_bytes& cid) {
    write_uint32(static_cast<std::uint32_t>(cid.size()));
    return write_bytes(cid.data(), cid.size());
}

p2p_cmd_writer& p2p_cmd_writer::write_bytes(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return *this;
    }
    need(size);
    std::memcpy(position_, data, size);
    advance(size);
    return *this;
}

p2p_cmd_writer& p2p_cmd_writer::write_range(const p2p_range& range) {
    const std::size_t first_bytes = value_bytes(range.first);
    const std::size_t second_bytes = value_bytes(range.second);
    need(1 + first_bytes + second_bytes);
    position_[0] = static_cast<std::uint8_t>(second_bytes * 16 + first_bytes);
    store_le(position_ + 1, range.first, first_bytes);
    store_le(position_ + 1 + first_bytes, range.second, second_bytes);
    advance(1 + first_bytes + second_bytes);
    return *this;
}

// --- reader ---

std::uint64_t p2p_cmd_reader::read_le(std::size_t bytes) {
    need(bytes);
    const std::uint64_t value = load_le(position_, bytes);
    advance(bytes);
    return value;
}

p2p_cmd_reader& p2p_cmd_reader::read_uint8(std::uint8_t& value) {
    value = static_cast<std::uint8_t>(read_le(1));
    return *this;
}

p2p_cmd_reader& p2p_cmd_reader::read_uint32(std::uint32_t& value) {
    value = static_cast<std::uint32_t>(read_le(4));
    return *this;
}

p2p_cmd_reader& p2p_cmd_reader::read_uint64(std::uint64_t& value) {
    value = read_le(8);
    return *this;
}

std::uint32_t p2p_cmd_reader::read_length(const char* what) {
    std::uint32_t length = 0;
    read_uint32(length);
    if (length > left_) {
        throw std::runtime_error(std::string(what) + " length [" + std::to_string(length) +
                                 "] is greater than buffer size[" + std::to_string(left_) +
                                 "]! it's illegal!");
    }
    return length;
}

p2p_cmd_reader& p2p_cmd_reader::read_string(std::string& value) {
    const std::uint32_t length = read_length("string");
    value.assign(reinterpret_cast<const char*>(position_), length);
    advance(length);
    return *this;
}

p2p_cmd_reader& p2p_cmd_reader::read_cid(cid_bytes& cid) {
    const std::uint32_t length = read_length("cid");
    // A length that fits the data but not the field would overrun the identifier.
    if (length > cid.size()) {
        throw std::runtime_error("cid length [" + std::to_string(length) +
                                 "] is greater than cid size[" + std::to_string(cid.size()) +
                                 "]! it's illegal!");
    }
    cid.fill(0);
    std::memcpy(cid.data(), position_, length);
    advance(length);
    return *this;
}

p2p_cmd_reader& p2p_cmd_reader::skip(std::size_t size) {
    if (size > left_) {
        throw std::runtime_error("len [" + std::to_string(size) + "] is greater than buffer size[" +
                                 std::to_string(left_) + "]");
    }
    advance(size);
    return *this;
}

std::uint64_t p2p_cmd_reader::read_packed_value(std::size_t byte_count) {
    // A lead nibble may announce up to 15 bytes; a 64-bit value holds at most 8.
    if (byte_count > 8) {
        throw std::runtime_error("range value of [" + std::to_string(byte_count) +
                                 "] bytes is illegal!");
    }
    return read_le(byte_count);
}

p2p_cmd_reader& p2p_cmd_reader::read_range(p2p_range& range) {
    std::uint8_t lead = 0;
    read_uint8(lead);
    const std::size_t first_bytes = lead & 0x0F;
    const std::size_t second_bytes = lead >> 4;
    range.first = read_packed_value(first_bytes);
    range.second = second_bytes == 0 ? 0 : read_packed_value(second_bytes);
    return *this;
}

}  // namespace peerfeed
