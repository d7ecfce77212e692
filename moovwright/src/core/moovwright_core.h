#pragma once
// The MP4 atom model and reader, in one include, for the code that builds on it (the layout
// writer and reader, the job) and for tests.
//
// Reading a source:
//
//   CZHDPosixFileCtrl file;                    // core/file_ctrl.h
//   file.Open(path, /*write=*/false);          // 0, or 1 / MW_E_POINTER / MW_E_FAIL
//   CZHDMovie movie;                           // core/movie.h
//   movie.Open(&file);                         // top level up to moov; 26 not an MP4
//   movie.LoadTracks();                        // one CZHDMp4Track per trak, file order
//   for (uint32_t t = 0; t < movie.trackCount(); ++t) {
//       const CZHDTrack& track = *movie.track(t);
//       SampleInfo s;                          // core/track.h
//       track.GetSample(i, &s);                // position, size, dts, cts, sync
//   }
//
// What a writer can rely on:
// - A loaded track is sound: at least one sample, non-zero timescale and default duration,
//   every sample's bytes inside the file, tables consistent with each other. index() is the
//   track's position in the movie's track list (not its tkhd track ID).
// - Times are int64 ticks of the track's timescale and never wrap. Without a decoding-time
//   array the decoding time of sample i is i × defaultDuration(); when the first stts entry
//   covers all samples or all but the last, defaultDuration() is that entry's delta.
// - syncSamples() is the only list of key frames to use (0-based, sorted, unique, inside the
//   track); hasSyncTable() tells whether the track had an stss at all.
// - track.atoms() points at the tkhd, mdhd, hdlr, stsd, the tables, vmhd/smhd and the trak
//   itself, all owned by movie.moov's tree. Copy them with CloneAtom (deep for stsd); write a
//   tree with Write (sizes are recomputed first). Tables are rebuilt from their entry
//   vectors when written, so resizing stco / co64 offsets or stsc entries is enough.
// - Writing refuses what would produce a broken file: an 8-byte header whose size needs 64
//   bits (11; set headerSize = 16 beforehand), a generic atom whose payload was too large to
//   load (2; copy such atoms from the source file instead). CZHDMdatAtom writes its header
//   only: the samples follow it.
// - Private layout atoms (core/layout_atoms.h) are read by type through CreateAtom; an sbix
//   needs SetEntryLayout(W, trackBits) from the spix before it is read.
// - CZHDPosixFileCtrl buffers writes: Close() (and Sync(), which also fsyncs) reports a
//   failed delayed write, so check their results. Seek and Tell work on a cached position.
//
// Every function returns a result code (core/result.h, values in moovwright/moovwright.h);
// MW_RETURN_IF_FAILED passes the first failure up. Nothing throws.

#include "core/atom.h"
#include "core/file_ctrl.h"
#include "core/header_atoms.h"
#include "core/layout_atoms.h"
#include "core/movie.h"
#include "core/result.h"
#include "core/table_atoms.h"
#include "core/track.h"
