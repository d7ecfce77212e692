#pragma once
// The private atoms of the streaming layout. Their payload integers are little-endian.
//
//   zqhd  layout header (20 bytes), children: one zqtk per track, then spix
//   zqtk  track header (36 bytes), children: stsd, spif
//   spix  segment index: entry width W, trackBits, then (uint64 offset, uint32 size) per
//         segment of its sbix atom
//   spif  per track: (first sample, first sample) per segment
//   sbix  one per segment, in the media data in front of the segment's samples: segment
//         index, position of the first sample byte, n, then n entries of W bytes each
//         (track index in the high trackBits of 8W bits, sample size below); children: one
//         kyct per track that has key/composition data
//   kyct  per track and segment: track index, then one entry of V bytes per sample (sync
//         flag in the high keyBits bits, composition offset in default durations below)
//
// These atoms are never cloned (CloneAtom gives 2).

#include "core/atom.h"

namespace moovwright {

class CZHDZqhdAtom : public CZHDFixedPartAtom<20, true> {
public:
    using CZHDFixedPartAtom<20, true>::CZHDFixedPartAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    uint32_t layoutFlag = 0;   // 0 in every file of this layout
    uint32_t playingTime = 0;  // whole seconds
    uint32_t trackCount = 0;
    uint32_t segmentCount = 0;
    FourCC indexType{"sbix"};

protected:
    void MapFields(FieldMap& fields) override;
};

class CZHDZqtkAtom : public CZHDFixedPartAtom<36, true> {
public:
    using CZHDFixedPartAtom<36, true>::CZHDFixedPartAtom;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    uint32_t trackIndex = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sampleCount = 0;
    FourCC handlerType;
    uint32_t timescale = 0;
    uint32_t defaultDuration = 0;
    uint32_t kyctWidth = 0;  // V in bytes; 0: the track has no kyct atoms
    uint32_t keyBits = 0;

protected:
    void MapFields(FieldMap& fields) override;
};

struct SpixEntry {
    uint64_t offset;  // of the segment's sbix atom
    uint32_t size;    // of that sbix atom
};
class CZHDSpixAtom : public CZHDWholePayloadAtom {
public:
    using CZHDWholePayloadAtom::CZHDWholePayloadAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    uint32_t entryWidth = 0;  // W, 1 to 8
    uint32_t trackBits = 0;
    std::vector<SpixEntry> entries;
};

struct SpifEntry {
    uint32_t firstSample;
    uint32_t repeated;  // the same value again
};
class CZHDSpifAtom : public CZHDWholePayloadAtom {
public:
    using CZHDWholePayloadAtom::CZHDWholePayloadAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    std::vector<SpifEntry> entries;
};

// The entries stay in the payload and are reached through the accessors; the entry width
// and trackBits come from the spix and must be set before the atom is read or resized.
class CZHDSbixAtom : public CZHDWholePayloadAtom {
public:
    static constexpr uint64_t kFixedSize = 16;
    using CZHDWholePayloadAtom::CZHDWholePayloadAtom;
    // W bytes per entry (1 to 8) and the bits of the track index; anything else: 2.
    uint32_t SetEntryLayout(uint32_t entryWidth, uint32_t trackBits);
    uint32_t ReadData(IZHDFileCtrl& file) override;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    // n entries, zeroed.
    uint32_t Resize(uint32_t entryCount);
    uint32_t EntryCount() const { return sampleCount; }
    // Track index and sample size of entry j (j < EntryCount()).
    uint32_t EntryTrack(uint32_t j) const;
    uint64_t EntrySize(uint32_t j) const;
    // A track index or size that does not fit its bits: 4.
    uint32_t SetEntry(uint32_t j, uint32_t track, uint64_t sampleSize);

    uint32_t segmentIndex = 0;
    uint64_t dataPosition = 0;  // the segment's first sample byte
    uint32_t sampleCount = 0;   // n

private:
    uint64_t RawEntry(uint32_t j) const;
    uint32_t SizeBits() const { return 8 * width_ - trackBits_; }

    uint32_t width_ = 0;
    uint32_t trackBits_ = 0;
};

// The entries stay in the payload; their width V is the track's (zqtk kyctWidth).
class CZHDKyctAtom : public CZHDWholePayloadAtom {
public:
    using CZHDWholePayloadAtom::CZHDWholePayloadAtom;
    uint32_t DecodeData() override;
    uint32_t EncodeData() override;
    std::unique_ptr<CZHDAtom> CloneSelf() const override { return nullptr; }

    // Entries of `width` bytes (1 to 8) held: (payload - 4) / width.
    uint32_t EntryCount(uint32_t width) const;
    // Entry j as the little-endian value of its `width` bytes; j beyond the entries: 4.
    uint32_t GetEntry(uint32_t j, uint32_t width, uint64_t* value) const;
    // Makes room for `count` zeroed entries of `width` bytes.
    uint32_t Resize(uint32_t count, uint32_t width);
    uint32_t SetEntry(uint32_t j, uint32_t width, uint64_t value);

    uint32_t trackIndex = 0;
};

}  // namespace moovwright
