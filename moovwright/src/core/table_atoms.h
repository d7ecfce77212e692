#pragma once
// The sample tables of a track: decoding-time deltas (stts), composition offsets (ctts),
// sync samples (stss), sample-to-chunk runs (stsc), sample sizes (stsz) and chunk offsets
// (stco, co64).
//
// These atoms are always loaded and decoded, whatever their size: a track cannot be used
// without them. Every entry count is checked against the bytes that hold the entries before
// anything is allocated (a count the payload cannot hold: 12). Writing rebuilds the payload
// from the entries (keeping the version and flags), so a table changed in memory is written
// with its new length.

#include "core/atom.h"

namespace moovwright {

// Base of the tables: loads the whole payload regardless of kMaxLoadedPayload and keeps the
// version and flags.
class CZHDTableAtom : public CZHDAtom {
public:
    using CZHDAtom::CZHDAtom;
    uint32_t ReadData(IZHDFileCtrl& file) override;
    uint32_t UpdateDataSize() override;

    uint8_t version() const { return versionAndFlags[0]; }
    std::array<uint8_t, 4> versionAndFlags{};

protected:
    // Checks the version/flags and entry-count words and that `count` entries of
    // `entryBytes` each fit after `headerBytes` bytes of payload.
    uint32_t CheckCount(size_t headerBytes, size_t entryBytes, uint32_t* count);
    // Starts a rebuilt payload: version/flags, then `count`.
    void BeginPayload(size_t totalBytes, uint32_t count);
};

struct SttsEntry {
    uint32_t count;
    uint32_t delta;
};
class CZHDSttsAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<SttsEntry> entries;
};

// Offsets are 32-bit unsigned in both versions; added to a decoding time they wrap at 2^32,
// which is how a version-1 table's negative offsets come out.
struct CttsEntry {
    uint32_t count;
    uint32_t offset;
};
class CZHDCttsAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<CttsEntry> entries;
};

// 1-based sample numbers as stored; see SyncSampleIndices for the cleaned-up list.
class CZHDStssAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<uint32_t> entries;
};

struct StscEntry {
    uint32_t firstChunk;  // 1-based
    uint32_t samplesPerChunk;
    uint32_t sampleDescriptionIndex;
};
class CZHDStscAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<StscEntry> entries;
};

// A common size for every sample (commonSize != 0, no per-sample entries) or one size per
// sample.
class CZHDStszAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    uint32_t SizeOf(uint32_t sample) const { return commonSize != 0 ? commonSize : sizes[sample]; }
    uint32_t commonSize = 0;
    uint32_t sampleCount = 0;
    std::vector<uint32_t> sizes;
};

class CZHDStcoAtom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<uint32_t> offsets;
};

class CZHDCo64Atom : public CZHDTableAtom {
public:
    using CZHDTableAtom::CZHDTableAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override;
    std::vector<uint64_t> offsets;
};

}  // namespace moovwright
