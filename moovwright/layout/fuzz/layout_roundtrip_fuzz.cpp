// Arbitrary bytes as a movie: a file in the streaming layout has its index loaded and every
// sample looked up; a plain MP4 is written into the layout in memory and read back.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/movie.h"
#include "layout_reader.h"
#include "layout_writer.h"

namespace {

using namespace moovwright;

void read_layout(IZHDFileCtrl& file, const CZHDMovie& movie) {
    const auto* zqhd = As<CZHDZqhdAtom>(movie.zqhd);
    if (zqhd == nullptr)
        return;
    std::vector<std::unique_ptr<CZHDZhdTrack>> tracks;
    if (LoadLayoutTracks(*zqhd, file, tracks) != MW_OK)
        return;
    SampleInfo info;
    for (const auto& track : tracks) {
        for (uint32_t i = 0; i < track->sampleCount(); ++i)
            track->GetSample(i, &info);
    }
}

void write_and_read_back(CZHDMemoryFileCtrl& file, CZHDMovie& movie) {
    if (movie.kind != kMoviePlain || movie.LoadTracks() != MW_OK)
        return;
    LayoutSource source{movie.ftyp, movie.moov, {}, &file};
    for (const auto& track : movie.tracks)
        source.tracks.push_back(track.get());
    CZHDMemoryFileCtrl output;
    JobControl control;
    SampleChecksums checksums;
    if (WriteStreamingLayout(source, output, control, &checksums) != MW_OK)
        return;
    CZHDMemoryFileCtrl written(output.bytes());
    CZHDMovie reread;
    if (reread.Open(&written) == MW_OK)
        read_layout(written, reread);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CZHDMemoryFileCtrl file(std::vector<uint8_t>(data, data + size));
    CZHDMovie movie;
    if (movie.Open(&file) != MW_OK)
        return 0;
    read_layout(file, movie);
    write_and_read_back(file, movie);
    return 0;
}
