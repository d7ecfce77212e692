#pragma once
// Writes a movie in the streaming layout: ftyp, then the moov (mvhd, the private index
// zqhd, one trak per track with every sample in a chunk of its own), then the mdat with
// the samples of all tracks interleaved in time order and grouped into segments that start
// at the key frames of the reference track (the first track with a sync-sample table),
// each segment led by its sbix index, and a closing free atom.
//
// Besides the tables the layout needs, each trak keeps the source's edit list (edts), data
// references (dinf) and per-sample groups and dependencies (sdtp, sgpd, sbgp), and the moov
// keeps the source's first udta and meta, so that playback timing, the operator's titles
// and chapters survive the rewrite.
//
// An output that reaches 4 GiB gets 64-bit chunk offsets (co64) in every track and a 64-bit
// media-data size where needed; no offset or size is ever wrapped.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/atom.h"
#include "core/file_ctrl.h"
#include "core/movie.h"
#include "core/track.h"
#include "job_control.h"

namespace moovwright {

// The movie to rewrite: its atoms and tracks as the reader loaded them from the traks, and
// the open source file the samples are copied from.
struct LayoutSource {
    const CZHDAtom* ftyp = nullptr;
    const CZHDAtom* moov = nullptr;
    std::vector<const CZHDTrack*> tracks;  // in track order
    IZHDFileCtrl* file = nullptr;
};

// The layout source of a movie whose tracks are loaded and whose samples are read from
// `file`.
LayoutSource LayoutSourceOf(const CZHDMovie& movie, IZHDFileCtrl& file);

// A checksum of every sample as it was copied (XXH3, 64 bits), per track and sample index;
// verification reads the output back and compares.
using SampleChecksums = std::vector<std::vector<uint64_t>>;
uint64_t SampleChecksum(const uint8_t* bytes, size_t length);

// Which samples get a checksum: all of them, or only those a spot check reads back (the
// others are left 0), which spares hashing every byte of a large file for a few reads.
enum class ChecksumScope { kEverySample, kSpotChecks };
// Whether sample `index` of a track of `count` samples is spot checked: the first and the
// last, and about 16 evenly spread between them, but never more than one in 256.
bool SpotChecked(uint32_t index, uint32_t count);

// Writes the layout to `output` (open for writing, at offset 0). Result codes: 1 no track
// with a sync-sample table or a segment index too large for its atom, 2 a track without a
// default sample duration, 8 no ftyp, 12 a short read of the source, 25 cancelled through
// `control`; anything the file or the atom model returns.
uint32_t WriteStreamingLayout(const LayoutSource& source, IZHDFileCtrl& output, JobControl& control,
                              SampleChecksums* checksums, const LayoutLimits& limits = {},
                              ChecksumScope scope = ChecksumScope::kEverySample);

}  // namespace moovwright
