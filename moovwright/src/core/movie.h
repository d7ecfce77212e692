#pragma once
// CZHDMovie: one MP4 file in memory, its top-level atoms, its key atoms and its tracks.
//
// Open scans the top level: atoms are read one after another until moov has been read or
// the file ends, so in a file whose moov comes first the media data after it is not
// scanned. LoadTracks builds one CZHDMp4Track per trak child of moov, in file order.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/atom.h"
#include "core/track.h"

namespace moovwright {

enum MovieKind : uint32_t {
    kMovieUnknown = 0,
    kMoviePlain = 1,       // ftyp and moov, no zqhd
    kMovieStreaming = 2,   // ftyp and moov with a zqhd (layout flag 0)
    kMovieHeaderOnly = 3,  // a zqhd (layout flag 0) without ftyp
};

enum TrackMode : uint32_t {
    kTracksFromTrak = 0,
    kTracksFromZqtk = 1,
};

struct CZHDMovie {
    CZHDMovie() = default;
    CZHDMovie(const CZHDMovie&) = delete;
    CZHDMovie& operator=(const CZHDMovie&) = delete;

    // Reads the top level of `file` (which must stay open while the movie is used) and sets
    // the key atoms and the kind. First atom neither ftyp nor zqhd (or a file too short to
    // have one): 26; a kind other than the three above: 2.
    uint32_t Open(IZHDFileCtrl* file);
    // Builds the tracks from moov's trak children, in file order. No moov or mvhd: 10; the
    // first track that cannot be built gives its code. Zero traks: success, no tracks.
    uint32_t LoadTracks();
    // Adds a track built elsewhere (the streaming-layout reader); the movie owns it.
    uint32_t AddTrack(std::unique_ptr<CZHDTrack> track);

    uint32_t trackCount() const { return static_cast<uint32_t>(tracks.size()); }
    CZHDTrack* track(uint32_t i) const { return i < tracks.size() ? tracks[i].get() : nullptr; }

    // Key atoms: they point into `atoms` or into moov's children.
    CZHDAtom* ftyp = nullptr;
    CZHDAtom* moov = nullptr;
    CZHDAtom* zqhd = nullptr;
    CZHDAtom* data = nullptr;  // mdat, else zqdt
    CZHDAtom* free = nullptr;  // the trailing free atom of a written streaming file
    MovieKind kind = kMovieUnknown;
    TrackMode trackMode = kTracksFromTrak;
    IZHDFileCtrl* file = nullptr;  // not owned
    CZHDAtom::ChildList atoms;     // the top level, in file order
    std::vector<std::unique_ptr<CZHDTrack>> tracks;
    uint64_t fileSize = 0;

private:
    uint32_t ScanTopLevel();
    void FindKeyAtoms();
};

}  // namespace moovwright
