#include "core/table_atoms.h"

#include <algorithm>

#include "core/byte_order.h"

namespace moovwright {

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

// ---- stsz ----

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
    return std::make_unique<CZHDStszAtom>(*this);
}

}  // namespace moovwright
