#pragma once
// Tracks: a track's sample tables expanded into flat per-sample arrays.
//
// CZHDTrack holds the arrays and answers GetSample; CZHDMp4Track builds them from a trak
// atom (the tables of a plain MP4). A track of the streaming layout derives from CZHDTrack
// in the same way and fills the protected arrays from the private index.
//
// Times are in the track's timescale. Decoding times are index × default duration unless
// the track keeps a decoding-time array; composition times equal decoding times unless it
// keeps a composition-time array; every sample is a sync sample unless it keeps sync flags.

#include <cstdint>
#include <vector>

#include "core/atom.h"
#include "core/header_atoms.h"
#include "core/table_atoms.h"

namespace moovwright {

// What a track says about one sample.
struct SampleInfo {
    uint32_t trackIndex = 0;
    uint32_t sampleIndex = 0;
    uint64_t position = 0;  // file offset of the sample's first byte
    uint32_t size = 0;
    int64_t decodingTime = 0;
    int64_t compositionTime = 0;
    uint32_t sync = 0;  // 1: a sync (key) sample
};

// A composition offset as stored (ctts, kyct): 32 bits, unsigned, wrapping at 2^32 when
// added to a decoding time, so 2^32 - n moves a sample n ticks earlier.
inline int64_t WrappedOffsetTicks(uint64_t stored) {
    return int64_t{static_cast<int32_t>(static_cast<uint32_t>(stored))};
}
// The inverse: composition − decoding time as the 32-bit value that restores it.
inline uint32_t StoredCompositionOffset(const SampleInfo& sample) {
    return static_cast<uint32_t>(static_cast<uint64_t>(sample.compositionTime) -
                                 static_cast<uint64_t>(sample.decodingTime));
}

enum MediaKind : uint32_t {
    kMediaOther = 0,
    kMediaVideo = 1,
    kMediaAudio = 2,
};

// "vide" → video, "soun" or "snde" → audio, anything else → other.
MediaKind MediaKindOf(FourCC handlerType);

// The sync samples of a track as 0-based sample indices: entries outside 1..sampleCount are
// dropped and the rest sorted with duplicates removed. Everything that works with key frames
// (track loading, segment boundaries and counts, verification) uses this list, so they all
// agree on one set of key frames.
std::vector<uint32_t> SyncSampleIndices(const CZHDStssAtom& stss, uint32_t sampleCount);

// The atoms a track was built from (not owned; they belong to the movie's tree). Optional
// atoms are null when absent.
struct TrackAtoms {
    CZHDAtom* trak = nullptr;
    CZHDTkhdAtom* tkhd = nullptr;
    CZHDAtom* mdia = nullptr;
    CZHDMdhdAtom* mdhd = nullptr;
    CZHDHdlrAtom* hdlr = nullptr;
    CZHDAtom* minf = nullptr;
    CZHDAtom* vmhd = nullptr;
    CZHDAtom* smhd = nullptr;
    CZHDAtom* stbl = nullptr;
    CZHDStsdAtom* stsd = nullptr;
    CZHDSttsAtom* stts = nullptr;
    CZHDCttsAtom* ctts = nullptr;
    CZHDStssAtom* stss = nullptr;
    CZHDStscAtom* stsc = nullptr;
    CZHDStszAtom* stsz = nullptr;
    CZHDStcoAtom* stco = nullptr;
    CZHDCo64Atom* co64 = nullptr;
};

class CZHDTrack {
public:
    explicit CZHDTrack(uint32_t trackIndex) : trackIndex_(trackIndex) {}
    virtual ~CZHDTrack() = default;
    CZHDTrack(const CZHDTrack&) = delete;
    CZHDTrack& operator=(const CZHDTrack&) = delete;

    // Builds the tables from `atom`; each track class knows its atom type.
    virtual uint32_t Init(CZHDAtom* atom) = 0;

    // Index beyond the samples: 4; null out: 8; no position or size table: 1.
    uint32_t GetSample(uint32_t index, SampleInfo* out) const;

    // Getters in result-code form (null out: 8) and plain form.
    uint32_t GetIndex(uint32_t* out) const { return Get(trackIndex_, out); }
    uint32_t GetSampleCount(uint32_t* out) const { return Get(sampleCount_, out); }
    uint32_t GetTimescale(uint32_t* out) const { return Get(timescale_, out); }
    uint32_t GetSampleDuration(uint32_t* out) const { return Get(defaultDuration_, out); }
    uint32_t GetMediaKind(uint32_t* out) const { return Get(mediaKind_, out); }

    uint32_t index() const { return trackIndex_; }
    uint32_t sampleCount() const { return sampleCount_; }
    uint32_t timescale() const { return timescale_; }
    uint32_t defaultDuration() const { return defaultDuration_; }
    MediaKind mediaKind() const { return static_cast<MediaKind>(mediaKind_); }
    // Whether the track has a sync-sample table (otherwise every sample is a sync sample).
    bool hasSyncTable() const { return !syncFlags_.empty(); }
    // 0-based indices of the sync samples when the track has a sync-sample table.
    const std::vector<uint32_t>& syncSamples() const { return syncSamples_; }
    // Whether composition times differ from decoding times anywhere (a ctts was given).
    bool hasCompositionTimes() const { return !compositionTimes_.empty(); }
    // Largest composition − decoding time over all samples, taken as a 32-bit unsigned
    // offset (a negative one counts as 2^32 minus its size); 0 without composition times.
    uint32_t MaxStoredCompositionOffset() const;
    // Playing time in milliseconds: sample count × default duration × 1000 ÷ timescale.
    uint64_t DurationMs() const;

    const TrackAtoms& atoms() const { return atoms_; }

protected:
    static uint32_t Get(uint32_t value, uint32_t* out) {
        if (out == nullptr) {
            return MW_NULL_POINTER;
        }
        *out = value;
        return MW_OK;
    }

    uint32_t trackIndex_ = 0;
    uint32_t sampleCount_ = 0;
    uint32_t timescale_ = 0;
    uint32_t defaultDuration_ = 0;
    uint32_t mediaKind_ = kMediaOther;
    std::vector<uint64_t> positions_;
    std::vector<uint32_t> sizes_;
    std::vector<int64_t> decodingTimes_;     // empty: index × default duration
    std::vector<int64_t> compositionTimes_;  // empty: the decoding time
    std::vector<uint8_t> syncFlags_;         // empty: every sample is a sync sample
    std::vector<uint32_t> syncSamples_;
    TrackAtoms atoms_;
};

// A track of a plain MP4, built from its trak atom.
class CZHDMp4Track : public CZHDTrack {
public:
    // `trackIndex` is the track's position among the movie's traks; `fileSize` bounds where
    // samples may lie.
    CZHDMp4Track(uint32_t trackIndex, uint64_t fileSize)
        : CZHDTrack(trackIndex), fileSize_(fileSize) {}

    // Requires a trak with tkhd, mdia (mdhd, hdlr, minf (stbl (stsd, stts, stsc, stsz, and
    // stco or co64; stco wins over co64)))); missing: 10, neither chunk table: 1. No
    // samples, a zero timescale or a zero default duration: 1. Tables that contradict each
    // other or point outside the file: 1, 4 or 12. Not enough memory for the arrays: 3.
    uint32_t Init(CZHDAtom* atom) override;

private:
    uint32_t FindAtoms(CZHDAtom* trak);
    uint32_t CheckMemory() const;
    uint32_t BuildPositionsAndSizes();
    void BuildDecodingTimes();
    void BuildCompositionTimes();
    void BuildSyncFlags();

    uint64_t fileSize_;
};

}  // namespace moovwright
