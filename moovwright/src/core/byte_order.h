#pragma once
// Fixed-width integers in and out of byte buffers. Standard MP4 atoms are big-endian; the
// private streaming-layout atoms are little-endian.

#include <cstddef>
#include <cstdint>

namespace moovwright {

inline uint16_t LoadBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t LoadBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t LoadBE64(const uint8_t* p) {
    return (uint64_t{LoadBE32(p)} << 32) | LoadBE32(p + 4);
}
inline void StoreBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void StoreBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void StoreBE64(uint8_t* p, uint64_t v) {
    StoreBE32(p, static_cast<uint32_t>(v >> 32));
    StoreBE32(p + 4, static_cast<uint32_t>(v));
}

// Big-endian values of `width` bytes (1 to 8).
inline uint64_t LoadBE(const uint8_t* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}
inline void StoreBE(uint8_t* p, size_t width, uint64_t v) {
    for (size_t i = width; i > 0; --i, v >>= 8) {
        p[i - 1] = static_cast<uint8_t>(v);
    }
}

// Little-endian values of `width` bytes (1 to 8).
inline uint64_t LoadLE(const uint8_t* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = width; i > 0; --i) {
        v = (v << 8) | p[i - 1];
    }
    return v;
}
inline void StoreLE(uint8_t* p, size_t width, uint64_t v) {
    for (size_t i = 0; i < width; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline uint32_t LoadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(LoadLE(p, 4));
}
inline uint64_t LoadLE64(const uint8_t* p) {
    return LoadLE(p, 8);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
    StoreLE(p, 4, v);
}
inline void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE(p, 8, v);
}

}  // namespace moovwright
