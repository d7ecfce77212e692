// Opens a movie from arbitrary bytes, loads its tracks, reads every sample and writes a deep
// copy of its movie atom: every path a restructuring job takes through a source's header.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/file_ctrl.h"
#include "core/movie.h"

using namespace moovwright;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CZHDMemoryFileCtrl file(std::vector<uint8_t>(data, data + size));
    CZHDMovie movie;
    if (movie.Open(&file) != MW_OK) {
        return 0;
    }
    if (movie.LoadTracks() == MW_OK) {
        for (uint32_t t = 0; t < movie.trackCount(); ++t) {
            const CZHDTrack& track = *movie.track(t);
            SampleInfo info;
            for (uint32_t i = 0; i < track.sampleCount(); ++i) {
                if (track.GetSample(i, &info) != MW_OK || info.position + info.size > size) {
                    __builtin_trap();  // a loaded track must describe samples inside the file
                }
            }
            (void)track.MaxStoredCompositionOffset();
            (void)track.DurationMs();
        }
    }
    for (const auto& atom : movie.atoms) {
        std::unique_ptr<CZHDAtom> copy;
        if (CloneAtom(*atom, true, &copy) == MW_OK) {
            CZHDMemoryFileCtrl out;
            (void)copy->Write(out);
        }
    }
    return 0;
}
