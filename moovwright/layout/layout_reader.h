#pragma once
// Reads a file in the streaming layout back into tracks through its private index alone:
// one CZHDZhdTrack per zqtk, with positions and sizes from the sbix atoms, sync flags and
// composition times from their kyct children and decoding times from each track's default
// sample duration. Verification compares these tracks with the source's.
//
// Nothing in the index is trusted: every segment header is checked against its spix entry
// and the sample counts the tracks promise must match the samples the segments hold before
// any table is allocated, so a damaged index gives a result code, never a huge allocation.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/file_ctrl.h"
#include "core/layout_atoms.h"
#include "core/track.h"

namespace moovwright {

// A track of the streaming layout, built from its zqtk and filled from the segments.
class CZHDZhdTrack final : public CZHDTrack {
public:
    CZHDZhdTrack(uint32_t trackIndex, const CZHDZqhdAtom* zqhd, const CZHDSpixAtom* spix)
        : CZHDTrack(trackIndex), zqhd_(zqhd), spix_(spix) {}

    // `atom` must be a zqtk with stsd and spif children: else 1. A zero default sample
    // duration: 2. Allocates the tables the track's kyct atoms fill (zeroed).
    uint32_t Init(CZHDAtom* atom) override;

    const CZHDZqtkAtom* zqtk() const { return zqtk_; }
    const CZHDSpifAtom* spif() const { return spif_; }

    // Filling from segment k (used by LoadLayoutTracks).
    uint32_t SetSample(uint32_t index, uint64_t position, uint32_t size);
    uint32_t SetKeyAndComposition(uint32_t index, uint32_t sync, uint64_t offset);
    // Derives the list of sync samples once every segment is loaded.
    void FinishLoading();

private:
    const CZHDZqhdAtom* zqhd_;
    const CZHDSpixAtom* spix_;
    const CZHDZqtkAtom* zqtk_ = nullptr;
    const CZHDSpifAtom* spif_ = nullptr;
};

// Builds the tracks of a movie in the streaming layout from `zqhd` (with its zqtk and spix
// children as read from `file`) and loads every segment's index from `file`. Result codes:
// 1 a part of the index missing or out of place, 2 a zero default duration, 4 a track
// index, sample cursor or table beyond its bounds, 10 no spix, 12 too few bytes.
uint32_t LoadLayoutTracks(const CZHDZqhdAtom& zqhd, IZHDFileCtrl& file,
                          std::vector<std::unique_ptr<CZHDZhdTrack>>& tracks);

}  // namespace moovwright
