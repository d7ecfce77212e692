#pragma once
// Builders for hand-made media files in the tests: big-endian fields and MP4 boxes.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace wharfkeep::test {

using Bytes = std::vector<std::uint8_t>;

inline void put_be16(Bytes& out, std::uint16_t v) {
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}
inline void put_be32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(std::uint8_t(v >> shift));
    }
}
inline void put_be64(Bytes& out, std::uint64_t v) {
    put_be32(out, std::uint32_t(v >> 32));
    put_be32(out, std::uint32_t(v));
}
inline void put_le32(Bytes& out, std::uint32_t v) {
    for (int shift = 0; shift <= 24; shift += 8) {
        out.push_back(std::uint8_t(v >> shift));
    }
}
inline void put_text(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}
inline void put_bytes(Bytes& out, const Bytes& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

inline std::uint32_t get_be32(const Bytes& in, std::size_t at) {
    return (std::uint32_t(in[at]) << 24) | (std::uint32_t(in[at + 1]) << 16) |
           (std::uint32_t(in[at + 2]) << 8) | in[at + 3];
}

// A box with an 8-byte header around the concatenated parts.
inline Bytes box(std::string_view type, std::initializer_list<Bytes> parts = {}) {
    Bytes body;
    for (const Bytes& part : parts) {
        put_bytes(body, part);
    }
    Bytes out;
    put_be32(out, std::uint32_t(8 + body.size()));
    put_text(out, type);
    put_bytes(out, body);
    return out;
}

// A box of exactly `size` bytes whose payload is zeros.
inline Bytes padding_box(std::string_view type, std::uint32_t size) {
    Bytes out;
    put_be32(out, size);
    put_text(out, type);
    out.resize(size, 0);
    return out;
}

inline Bytes ftyp() {
    Bytes payload;
    put_text(payload, "isom");
    put_be32(payload, 0x200);
    put_text(payload, "isomavc1");
    return box("ftyp", {payload});
}

// What mvhd and mdhd begin with: version and flags, creation and modification times (0),
// timescale and duration; the times and the duration take 64 bits in version 1.
inline Bytes timed_header_start(std::uint32_t timescale, std::uint64_t duration, bool version1) {
    Bytes payload;
    payload.push_back(version1 ? 1 : 0);
    payload.insert(payload.end(), 3, 0);
    if (version1) {
        put_be64(payload, 0);
        put_be64(payload, 0);
        put_be32(payload, timescale);
        put_be64(payload, duration);
    } else {
        put_be32(payload, 0);
        put_be32(payload, 0);
        put_be32(payload, timescale);
        put_be32(payload, std::uint32_t(duration));
    }
    return payload;
}

// mvhd version 0 (100-byte payload) or version 1 (112 bytes).
inline Bytes mvhd(std::uint32_t timescale, std::uint64_t duration, bool version1 = false) {
    Bytes payload = timed_header_start(timescale, duration, version1);
    payload.resize(version1 ? 112 : 100, 0);
    return box("mvhd", {payload});
}

inline Bytes mdhd(std::uint32_t timescale, bool version1 = false) {
    Bytes payload = timed_header_start(timescale, 0, version1);
    put_be16(payload, 0x55C4);  // "und"
    put_be16(payload, 0);
    return box("mdhd", {payload});
}

struct SttsEntry {
    std::uint32_t count, delta;
};

// A sample table: version/flags 0, the entry count, then each entry as `put` writes it.
template <class Entry, class Put>
Bytes sample_table(std::string_view type, std::initializer_list<Entry> entries, Put put) {
    Bytes payload(4, 0);
    put_be32(payload, std::uint32_t(entries.size()));
    for (const Entry& entry : entries) {
        put(payload, entry);
    }
    return box(type, {payload});
}

inline Bytes stts(std::initializer_list<SttsEntry> entries) {
    return sample_table("stts", entries, [](Bytes& out, const SttsEntry& entry) {
        put_be32(out, entry.count);
        put_be32(out, entry.delta);
    });
}

inline Bytes stco(std::initializer_list<std::uint32_t> offsets) {
    return sample_table("stco", offsets, put_be32);
}

inline Bytes co64(std::initializer_list<std::uint64_t> offsets) {
    return sample_table("co64", offsets, put_be64);
}

// A trak whose stbl holds the given tables.
inline Bytes trak(const Bytes& media_header, std::initializer_list<Bytes> tables) {
    Bytes stbl;
    for (const Bytes& table : tables) {
        put_bytes(stbl, table);
    }
    return box("trak", {box("mdia", {media_header, box("minf", {box("stbl", {stbl})})})});
}

// A layout header box: layout flag, playing time in seconds, track count, segment count.
inline Bytes zqhd(std::uint32_t flag, std::uint32_t seconds, std::uint32_t size = 28) {
    Bytes out;
    put_be32(out, size);
    put_text(out, "zqhd");
    put_le32(out, flag);
    put_le32(out, seconds);
    put_le32(out, 1);
    put_le32(out, 1);
    put_text(out, "sbix");
    out.resize(size, 0);
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        put_bytes(out, part);
    }
    return out;
}

}  // namespace wharfkeep::test
