#include "core/table_atoms.h"

#include <algorithm>

#include "core/byte_order.h"

namespace moovwright {

namespace {

template <class T>
std::unique_ptr<CZHDAtom> CopyOf(const T& atom) {
    return std::make_unique<T>(atom);
}

}  // namespace

uint32_t CZHDTableAtom::ReadData(IZHDFileCtrl& file) {
    dataSize = size - headerSize;
    MW_RETURN_IF_FAILED(LoadPayload(file, dataSize));
    return DecodeData();
}

uint32_t CZHDTableAtom::UpdateDataSize() {
    MW_RETURN_IF_FAILED(EncodeData());
    dataSize = payload.size();
    return MW_OK;
}

uint32_t CZHDTableAtom::CheckCount(size_t headerBytes, size_t entryBytes, uint32_t* count) {
    if (payload.size() < headerBytes) {
        return MW_NOT_ENOUGH_DATA;
    }
    std::copy(payload.begin(), payload.begin() + 4, versionAndFlags.begin());
    *count = LoadBE32(&payload[headerBytes - 4]);
    if ((payload.size() - headerBytes) / entryBytes < *count) {
        return MW_NOT_ENOUGH_DATA;
    }
    return MW_OK;
}

void CZHDTableAtom::BeginPayload(size_t totalBytes, uint32_t count) {
    payload.assign(totalBytes, 0);
    std::copy(versionAndFlags.begin(), versionAndFlags.end(), payload.begin());
    StoreBE32(&payload[4], count);
}

// ---- stts / ctts ----

uint32_t CZHDSttsAtom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 8, &count));
    entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        entries[i] = {LoadBE32(&payload[8 + 8 * size_t{i}]),
                      LoadBE32(&payload[12 + 8 * size_t{i}])};
    }
    return MW_OK;
}
uint32_t CZHDSttsAtom::EncodeData() {
    BeginPayload(8 + 8 * entries.size(), static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        StoreBE32(&payload[8 + 8 * i], entries[i].count);
        StoreBE32(&payload[12 + 8 * i], entries[i].delta);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDSttsAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDCttsAtom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 8, &count));
    entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        entries[i] = {LoadBE32(&payload[8 + 8 * size_t{i}]),
                      LoadBE32(&payload[12 + 8 * size_t{i}])};
    }
    return MW_OK;
}
uint32_t CZHDCttsAtom::EncodeData() {
    BeginPayload(8 + 8 * entries.size(), static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        StoreBE32(&payload[8 + 8 * i], entries[i].count);
        StoreBE32(&payload[12 + 8 * i], entries[i].offset);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDCttsAtom::CloneSelf() const {
    return CopyOf(*this);
}

// ---- stss / stco / co64 ----

uint32_t CZHDStssAtom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 4, &count));
    entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        entries[i] = LoadBE32(&payload[8 + 4 * size_t{i}]);
    }
    return MW_OK;
}
uint32_t CZHDStssAtom::EncodeData() {
    BeginPayload(8 + 4 * entries.size(), static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        StoreBE32(&payload[8 + 4 * i], entries[i]);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDStssAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDStcoAtom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 4, &count));
    offsets.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = LoadBE32(&payload[8 + 4 * size_t{i}]);
    }
    return MW_OK;
}
uint32_t CZHDStcoAtom::EncodeData() {
    BeginPayload(8 + 4 * offsets.size(), static_cast<uint32_t>(offsets.size()));
    for (size_t i = 0; i < offsets.size(); ++i) {
        StoreBE32(&payload[8 + 4 * i], offsets[i]);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDStcoAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDCo64Atom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 8, &count));
    offsets.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = LoadBE64(&payload[8 + 8 * size_t{i}]);
    }
    return MW_OK;
}
uint32_t CZHDCo64Atom::EncodeData() {
    BeginPayload(8 + 8 * offsets.size(), static_cast<uint32_t>(offsets.size()));
    for (size_t i = 0; i < offsets.size(); ++i) {
        StoreBE64(&payload[8 + 8 * i], offsets[i]);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDCo64Atom::CloneSelf() const {
    return CopyOf(*this);
}

// ---- stsc / stsz ----

uint32_t CZHDStscAtom::DecodeData() {
    uint32_t count = 0;
    MW_RETURN_IF_FAILED(CheckCount(8, 12, &count));
    entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = &payload[8 + 12 * size_t{i}];
        entries[i] = {LoadBE32(e), LoadBE32(e + 4), LoadBE32(e + 8)};
    }
    return MW_OK;
}
uint32_t CZHDStscAtom::EncodeData() {
    BeginPayload(8 + 12 * entries.size(), static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = &payload[8 + 12 * i];
        StoreBE32(e, entries[i].firstChunk);
        StoreBE32(e + 4, entries[i].samplesPerChunk);
        StoreBE32(e + 8, entries[i].sampleDescriptionIndex);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDStscAtom::CloneSelf() const {
    return CopyOf(*this);
}

uint32_t CZHDStszAtom::DecodeData() {
    if (payload.size() < 12) {
        return MW_NOT_ENOUGH_DATA;
    }
    std::copy(payload.begin(), payload.begin() + 4, versionAndFlags.begin());
    commonSize = LoadBE32(&payload[4]);
    sampleCount = LoadBE32(&payload[8]);
    sizes.clear();
    if (commonSize != 0) {
        return MW_OK;
    }
    if ((payload.size() - 12) / 4 < sampleCount) {
        return MW_NOT_ENOUGH_DATA;
    }
    sizes.resize(sampleCount);
    for (uint32_t i = 0; i < sampleCount; ++i) {
        sizes[i] = LoadBE32(&payload[12 + 4 * size_t{i}]);
    }
    return MW_OK;
}
uint32_t CZHDStszAtom::EncodeData() {
    const size_t perSample = commonSize != 0 ? 0 : sizes.size();
    payload.assign(12 + 4 * perSample, 0);
    std::copy(versionAndFlags.begin(), versionAndFlags.end(), payload.begin());
    StoreBE32(&payload[4], commonSize);
    StoreBE32(&payload[8], commonSize != 0 ? sampleCount : static_cast<uint32_t>(sizes.size()));
    for (size_t i = 0; i < perSample; ++i) {
        StoreBE32(&payload[12 + 4 * i], sizes[i]);
    }
    return MW_OK;
}
std::unique_ptr<CZHDAtom> CZHDStszAtom::CloneSelf() const {
    return CopyOf(*this);
}

}  // namespace moovwright
