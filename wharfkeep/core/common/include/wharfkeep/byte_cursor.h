#pragma once
// A bounds-checked forward reader of big-endian fields. A read past the end fails and
// leaves the cursor failed, so a parser can read a run of fields and test once.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "wharfkeep/byte_order.h"

namespace wharfkeep {

class ByteCursor {
public:
    explicit ByteCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return ok_ ? bytes_.size() - position_ : 0; }

    std::uint8_t u8() { return take(1) ? bytes_[position_ - 1] : 0; }
    std::uint16_t u16() { return take(2) ? read_be16(bytes_, position_ - 2) : 0; }
    std::uint32_t u32() { return take(4) ? read_be32(bytes_, position_ - 4) : 0; }
    // `n` bytes as text, of which at most `keep` are kept.
    std::string text(std::size_t n, std::size_t keep) {
        if (!take(n)) {
            return {};
        }
        const char* start = reinterpret_cast<const char*>(bytes_.data() + position_ - n);
        return std::string(start, n < keep ? n : keep);
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        return take(n) ? bytes_.subspan(position_ - n, n) : std::span<const std::uint8_t>();
    }
    void skip(std::size_t n) { take(n); }

private:
    bool take(std::size_t n) {
        if (!ok_ || n > bytes_.size() - position_) {
            ok_ = false;
            return false;
        }
        position_ += n;
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace wharfkeep
