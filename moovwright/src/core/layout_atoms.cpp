#include "core/layout_atoms.h"

#include <algorithm>
#include <limits>

#include "core/byte_order.h"

namespace moovwright {

namespace {

bool ValidWidth(uint32_t width) {
    return width >= 1 && width <= 8;
}

}  // namespace

// ---- zqhd ----

void CZHDZqhdAtom::MapFields(FieldMap& fields) {
    fields.LittleEndianWords(0, {&layoutFlag, &playingTime, &trackCount, &segmentCount});
    fields.Type(16, indexType);
}

// ---- zqtk ----

void CZHDZqtkAtom::MapFields(FieldMap& fields) {
    fields.LittleEndianWords(0, {&trackIndex, &width, &height, &sampleCount});
    fields.Type(16, handlerType);
    fields.LittleEndianWords(20, {&timescale, &defaultDuration, &kyctWidth, &keyBits});
}

// ---- spix / spif ----

uint32_t CZHDSpixAtom::DecodeData() {
    if (payload.size() < 8) {
        return MW_NOT_ENOUGH_DATA;
    }
    entryWidth = LoadLE32(&payload[0]);
    trackBits = LoadLE32(&payload[4]);
    if (!ValidWidth(entryWidth) || trackBits > 32 || trackBits > 8 * entryWidth) {
        return MW_UNSUPPORTED;
    }
    const size_t count = (payload.size() - 8) / 12;
    entries.resize(count);
    for (size_t k = 0; k < count; ++k) {
        entries[k] = {LoadLE64(&payload[8 + 12 * k]), LoadLE32(&payload[16 + 12 * k])};
    }
    return MW_OK;
}
uint32_t CZHDSpixAtom::EncodeData() {
    payload.assign(8 + 12 * entries.size(), 0);
    StoreLE32(&payload[0], entryWidth);
    StoreLE32(&payload[4], trackBits);
    for (size_t k = 0; k < entries.size(); ++k) {
        StoreLE64(&payload[8 + 12 * k], entries[k].offset);
        StoreLE32(&payload[16 + 12 * k], entries[k].size);
    }
    return MW_OK;
}

uint32_t CZHDSpifAtom::DecodeData() {
    const size_t count = payload.size() / 8;
    entries.resize(count);
    for (size_t k = 0; k < count; ++k) {
        entries[k] = {LoadLE32(&payload[8 * k]), LoadLE32(&payload[8 * k + 4])};
    }
    return MW_OK;
}
uint32_t CZHDSpifAtom::EncodeData() {
    payload.assign(8 * entries.size(), 0);
    for (size_t k = 0; k < entries.size(); ++k) {
        StoreLE32(&payload[8 * k], entries[k].firstSample);
        StoreLE32(&payload[8 * k + 4], entries[k].repeated);
    }
    return MW_OK;
}

// ---- sbix ----

uint32_t CZHDSbixAtom::SetEntryLayout(uint32_t entryWidth, uint32_t trackBits) {
    if (!ValidWidth(entryWidth) || trackBits > 32 || trackBits > 8 * entryWidth) {
        return MW_UNSUPPORTED;
    }
    width_ = entryWidth;
    trackBits_ = trackBits;
    return MW_OK;
}

uint32_t CZHDSbixAtom::ReadData(IZHDFileCtrl& file) {
    if (width_ == 0) {
        return MW_UNSUPPORTED;  // the entry layout must come from the spix first
    }
    MW_RETURN_IF_FAILED(LoadFixedPayload(file, kFixedSize));
    const uint64_t room = size - headerSize - kFixedSize;
    if (room / width_ < sampleCount) {
        return MW_NOT_ENOUGH_DATA;
    }
    return LoadFixedPayload(file, kFixedSize + uint64_t{sampleCount} * width_);
}
uint32_t CZHDSbixAtom::DecodeData() {
    if (payload.size() < kFixedSize) {
        return MW_NOT_ENOUGH_DATA;
    }
    segmentIndex = LoadLE32(&payload[0]);
    dataPosition = LoadLE64(&payload[4]);
    sampleCount = LoadLE32(&payload[12]);
    return MW_OK;
}
uint32_t CZHDSbixAtom::EncodeData() {
    EnsurePayload(payload, kFixedSize + size_t{sampleCount} * width_);
    StoreLE32(&payload[0], segmentIndex);
    StoreLE64(&payload[4], dataPosition);
    StoreLE32(&payload[12], sampleCount);
    return MW_OK;
}
uint32_t CZHDSbixAtom::Resize(uint32_t entryCount) {
    if (width_ == 0) {
        return MW_UNSUPPORTED;
    }
    sampleCount = entryCount;
    payload.assign(kFixedSize + size_t{entryCount} * width_, 0);
    return EncodeData();
}
uint64_t CZHDSbixAtom::RawEntry(uint32_t j) const {
    return LoadLE(&payload[kFixedSize + size_t{j} * width_], width_);
}
uint32_t CZHDSbixAtom::EntryTrack(uint32_t j) const {
    const uint32_t sizeBits = SizeBits();
    return sizeBits >= 64 ? 0 : static_cast<uint32_t>(RawEntry(j) >> sizeBits);
}
uint64_t CZHDSbixAtom::EntrySize(uint32_t j) const {
    const uint32_t sizeBits = SizeBits();
    const uint64_t raw = RawEntry(j);
    return sizeBits >= 64 ? raw : raw & ((uint64_t{1} << sizeBits) - 1);
}
uint32_t CZHDSbixAtom::SetEntry(uint32_t j, uint32_t track, uint64_t sampleSize) {
    if (j >= sampleCount || width_ == 0) {
        return MW_OUT_OF_RANGE;
    }
    const uint32_t sizeBits = SizeBits();
    if (sizeBits < 64 && (sampleSize >> sizeBits) != 0) {
        return MW_OUT_OF_RANGE;
    }
    if (trackBits_ < 32 && (uint64_t{track} >> trackBits_) != 0) {
        return MW_OUT_OF_RANGE;
    }
    const uint64_t value = sizeBits >= 64 ? sampleSize : (uint64_t{track} << sizeBits) | sampleSize;
    StoreLE(&payload[kFixedSize + size_t{j} * width_], width_, value);
    return MW_OK;
}

// ---- kyct ----

uint32_t CZHDKyctAtom::DecodeData() {
    if (payload.size() < 4) {
        return MW_NOT_ENOUGH_DATA;
    }
    trackIndex = LoadLE32(&payload[0]);
    return MW_OK;
}
uint32_t CZHDKyctAtom::EncodeData() {
    EnsurePayload(payload, 4);
    StoreLE32(&payload[0], trackIndex);
    return MW_OK;
}
uint32_t CZHDKyctAtom::EntryCount(uint32_t width) const {
    if (!ValidWidth(width) || payload.size() < 4) {
        return 0;
    }
    return static_cast<uint32_t>(
        std::min<size_t>((payload.size() - 4) / width, std::numeric_limits<uint32_t>::max()));
}
uint32_t CZHDKyctAtom::GetEntry(uint32_t j, uint32_t width, uint64_t* value) const {
    if (value == nullptr) {
        return MW_NULL_POINTER;
    }
    if (j >= EntryCount(width)) {
        return MW_OUT_OF_RANGE;
    }
    *value = LoadLE(&payload[4 + size_t{j} * width], width);
    return MW_OK;
}
uint32_t CZHDKyctAtom::Resize(uint32_t count, uint32_t width) {
    if (!ValidWidth(width)) {
        return MW_UNSUPPORTED;
    }
    payload.assign(4 + size_t{count} * width, 0);
    return EncodeData();
}
uint32_t CZHDKyctAtom::SetEntry(uint32_t j, uint32_t width, uint64_t value) {
    if (j >= EntryCount(width)) {
        return MW_OUT_OF_RANGE;
    }
    StoreLE(&payload[4 + size_t{j} * width], width, value);
    return MW_OK;
}

}  // namespace moovwright
