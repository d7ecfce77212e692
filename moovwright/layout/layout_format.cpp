#include "layout_format.h"

namespace moovwright::layout {

namespace {

uint64_t low_mask(uint32_t bits) {
    return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
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

}  // namespace moovwright::layout
