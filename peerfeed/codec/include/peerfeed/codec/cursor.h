#pragma once
// Primitive read and write cursors of the peer command codec. All integers are
// little-endian; every primitive checks the room first, then moves the position and both
// counters by the field's size, so a failed fixed-size primitive leaves the cursor where
// it was.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "peerfeed/codec/exceptions.h"

namespace peerfeed {

// The 20-byte content identifier (GCID) as it travels in a cid field.
inline constexpr std::size_t cid_size = 20;
using cid_bytes = std::array<std::uint8_t, cid_size>;

// 40 characters, two per byte in byte order, high nibble first, 0-9 and A-F.
std::string cid_to_hex(const cid_bytes& cid);

// Two unsigned 64-bit values in the packed range encoding: a lead byte n_b * 16 + n_a,
// then `first` in n_a bytes and `second` in n_b bytes, each the fewest bytes that hold it
// (at least one).
struct p2p_range {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    friend bool operator==(const p2p_range&, const p2p_range&) = default;
};

// Bytes the packed encoding of `range` takes.
std::size_t packed_range_size(const p2p_range& range);

// What both cursors keep: where the buffer starts, the position in it, the bytes left
// after the position and the bytes passed. `Exhausted` is thrown when a field needs more
// bytes than are left.
template <class Byte, class Exhausted>
class p2p_cmd_cursor {
public:
    Byte* start() const { return start_; }
    Byte* position() const { return position_; }

protected:
    p2p_cmd_cursor(Byte* buffer, std::size_t size)
        : start_(buffer), position_(buffer), left_(size) {}

    void need(std::size_t size) const {
        if (left_ < size) {
            throw Exhausted();
        }
    }
    void advance(std::size_t size) {
        position_ += size;
        left_ -= size;
        passed_ += size;
    }

    Byte* start_;
    Byte* position_;
    std::size_t left_;
    std::size_t passed_ = 0;
};

class p2p_cmd_writer : public p2p_cmd_cursor<std::uint8_t, p2p_cmd_exception_insufficient_write> {
public:
    p2p_cmd_writer(std::uint8_t* buffer, std::size_t room) : p2p_cmd_cursor(buffer, room) {}

    p2p_cmd_writer& write_uint8(std::uint8_t value);
    p2p_cmd_writer& write_uint32(std::uint32_t value);
    p2p_cmd_writer& write_uint64(std::uint64_t value);
    // uint32 length, then the bytes; the length is written before the room for the bytes
    // is checked.
    p2p_cmd_writer& write_string(const std::string& value);
    // Always length 20 and the 20 bytes.
    p2p_cmd_writer& write_cid(const cid_bytes& cid);
    p2p_cmd_writer& write_bytes(const std::uint8_t* data, std::size_t size);
    p2p_cmd_writer& write_range(const p2p_range& range);

    std::size_t room() const { return left_; }
    std::size_t written() const { return passed_; }

private:
    // The low `bytes` bytes of `value`, little-endian.
    p2p_cmd_writer& write_le(std::uint64_t value, std::size_t bytes);
};

class p2p_cmd_reader
    : public p2p_cmd_cursor<const std::uint8_t, p2p_cmd_exception_insufficient_read> {
public:
    p2p_cmd_reader(const std::uint8_t* buffer, std::size_t size) : p2p_cmd_cursor(buffer, size) {}

    p2p_cmd_reader& read_uint8(std::uint8_t& value);
    p2p_cmd_reader& read_uint32(std::uint32_t& value);
    p2p_cmd_reader& read_uint64(std::uint64_t& value);
    // A length beyond the bytes left is a std::runtime_error naming both numbers.
    p2p_cmd_reader& read_string(std::string& value);
    // Length 0 zeroes the field; a length beyond the bytes left, or one that does not fit
    // the 20-byte field, is a std::runtime_error.
    p2p_cmd_reader& read_cid(cid_bytes& cid);
    // Advances by `size` bytes; beyond the bytes left is a std::runtime_error.
    p2p_cmd_reader& skip(std::size_t size);
    p2p_cmd_reader& read_range(p2p_range& range);

    std::size_t left() const { return left_; }
    std::size_t consumed() const { return passed_; }

private:
    // A little-endian value of `bytes` bytes.
    std::uint64_t read_le(std::size_t bytes);
    // A uint32 length of a `what` field ("string", "cid"); one beyond the bytes left is a
    // std::runtime_error naming both numbers.
    std::uint32_t read_length(const char* what);
    std::uint64_t read_packed_value(std::size_t byte_count);
};

}  // namespace peerfeed
