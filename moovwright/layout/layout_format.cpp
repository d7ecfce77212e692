#include "layout_format.h"

#include <moovwright/moovwright.h>

#include <algorithm>

namespace moovwright::layout {

uint64_t load_le(const uint8_t* bytes, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = width; i-- > 0;)
        value = (value << 8) | bytes[i];
    return value;
}

void store_le(uint8_t* bytes, unsigned width, uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

namespace {

uint64_t low_mask(uint32_t bits) {
    return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
}

void store_type(uint8_t* bytes, const std::array<uint8_t, 4>& type) {
    std::copy(type.begin(), type.end(), bytes);
}

std::array<uint8_t, 4> load_type(const uint8_t* bytes) {
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace

bool PackedEntryFormat::fits(uint64_t high, uint64_t low) const {
    return high <= low_mask(high_bits_) && low <= low_mask(low_bits());
}

uint64_t PackedEntryFormat::pack(uint64_t high, uint64_t low) const {
    const uint32_t shift = low_bits();
    const uint64_t high_part = shift >= 64 ? 0 : (high & low_mask(high_bits_)) << shift;
    return high_part | (low & low_mask(shift));
}

uint64_t PackedEntryFormat::high(uint64_t entry) const {
    const uint32_t shift = low_bits();
    return shift >= 64 ? 0 : (entry >> shift) & low_mask(high_bits_);
}

uint64_t PackedEntryFormat::low(uint64_t entry) const {
    return entry & low_mask(low_bits());
}

void encode_zqhd(const ZqhdFields& fields, std::span<uint8_t, kZqhdPayloadSize> out) {
    store_le(&out[0], 4, fields.layout_flag);
    store_le(&out[4], 4, fields.playing_seconds);
    store_le(&out[8], 4, fields.track_count);
    store_le(&out[12], 4, fields.segment_count);
    store_type(&out[16], fields.index_type);
}

uint32_t decode_zqhd(std::span<const uint8_t> payload, ZqhdFields& fields) {
    if (payload.size() < kZqhdPayloadSize)
        return MW_NOT_ENOUGH_DATA;
    fields.layout_flag = load_le32(&payload[0]);
    fields.playing_seconds = load_le32(&payload[4]);
    fields.track_count = load_le32(&payload[8]);
    fields.segment_count = load_le32(&payload[12]);
    fields.index_type = load_type(&payload[16]);
    return MW_OK;
}

void encode_zqtk(const ZqtkFields& fields, std::span<uint8_t, kZqtkPayloadSize> out) {
    store_le(&out[0], 4, fields.track_index);
    store_le(&out[4], 4, fields.width);
    store_le(&out[8], 4, fields.height);
    store_le(&out[12], 4, fields.sample_count);
    store_type(&out[16], fields.handler_type);
    store_le(&out[20], 4, fields.timescale);
    store_le(&out[24], 4, fields.sample_duration);
    store_le(&out[28], 4, fields.kyct_width);
    store_le(&out[32], 4, fields.key_bits);
}

uint32_t decode_zqtk(std::span<const uint8_t> payload, ZqtkFields& fields) {
    if (payload.size() < kZqtkPayloadSize)
        return MW_NOT_ENOUGH_DATA;
    fields.track_index = load_le32(&payload[0]);
    fields.width = load_le32(&payload[4]);
    fields.height = load_le32(&payload[8]);
    fields.sample_count = load_le32(&payload[12]);
    fields.handler_type = load_type(&payload[16]);
    fields.timescale = load_le32(&payload[20]);
    fields.sample_duration = load_le32(&payload[24]);
    fields.kyct_width = load_le32(&payload[28]);
    fields.key_bits = load_le32(&payload[32]);
    return MW_OK;
}

size_t spix_payload_size(size_t segment_count) {
    return kSpixHeaderSize + kSpixEntrySize * segment_count;
}

void encode_spix(const SpixFields& fields, std::span<uint8_t> out) {
    store_le(&out[0], 4, fields.entry_width);
    store_le(&out[4], 4, fields.track_bits);
    size_t at = kSpixHeaderSize;
    for (const SpixEntry& entry : fields.entries) {
        store_le(&out[at], 8, entry.sbix_offset);
        store_le(&out[at + 8], 4, entry.sbix_size);
        at += kSpixEntrySize;
    }
}

uint32_t decode_spix(std::span<const uint8_t> payload, SpixFields& fields) {
    if (payload.size() < kSpixHeaderSize)
        return MW_NOT_ENOUGH_DATA;
    fields.entry_width = load_le32(&payload[0]);
    fields.track_bits = load_le32(&payload[4]);
    const size_t count = (payload.size() - kSpixHeaderSize) / kSpixEntrySize;
    fields.entries.resize(count);
    size_t at = kSpixHeaderSize;
    for (SpixEntry& entry : fields.entries) {
        entry.sbix_offset = load_le(&payload[at], 8);
        entry.sbix_size = load_le32(&payload[at + 8]);
        at += kSpixEntrySize;
    }
    return MW_OK;
}

void encode_spif(std::span<const uint32_t> first_samples, std::span<uint8_t> out) {
    size_t at = 0;
    for (uint32_t first : first_samples) {
        store_le(&out[at], 4, first);
        store_le(&out[at + 4], 4, first);
        at += kSpifEntrySize;
    }
}

uint32_t decode_spif(std::span<const uint8_t> payload, std::vector<uint32_t>& first_samples) {
    const size_t count = payload.size() / kSpifEntrySize;
    first_samples.resize(count);
    for (size_t k = 0; k < count; ++k)
        first_samples[k] = load_le32(&payload[k * kSpifEntrySize]);
    return MW_OK;
}

void encode_sbix_header(const SbixHeader& header, std::span<uint8_t, kSbixHeaderSize> out) {
    store_le(&out[0], 4, header.segment_index);
    store_le(&out[4], 8, header.data_position);
    store_le(&out[12], 4, header.sample_count);
}

uint32_t decode_sbix_header(std::span<const uint8_t> payload, SbixHeader& header) {
    if (payload.size() < kSbixHeaderSize)
        return MW_NOT_ENOUGH_DATA;
    header.segment_index = load_le32(&payload[0]);
    header.data_position = load_le(&payload[4], 8);
    header.sample_count = load_le32(&payload[12]);
    return MW_OK;
}

}  // namespace moovwright::layout
