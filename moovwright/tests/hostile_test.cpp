// Damaged and hostile files: truncated at every length, with bytes and size fields
// overwritten. Each must give a result code (checked here) without a crash, an out-of-bounds
// read or a runaway allocation (checked by the sanitizer builds).

#include <gtest/gtest.h>

#include <random>

#include "core/movie.h"
#include "ffmpeg_files.h"
#include "test_support.h"

namespace moovwright {
namespace {

using namespace test;

// Opens, loads the tracks, reads every sample and writes a deep copy of moov: what a job
// does with a source before touching its media.
uint32_t Exercise(const Bytes& bytes) {
    CZHDMemoryFileCtrl file(bytes);
    CZHDMovie movie;
    MW_RETURN_IF_FAILED(movie.Open(&file));
    MW_RETURN_IF_FAILED(movie.LoadTracks());
    for (uint32_t t = 0; t < movie.trackCount(); ++t) {
        const CZHDTrack& track = *movie.track(t);
        for (uint32_t i = 0; i < track.sampleCount(); ++i) {
            SampleInfo info;
            MW_RETURN_IF_FAILED(track.GetSample(i, &info));
            if (info.position + info.size > bytes.size()) {
                ADD_FAILURE() << "a sample outside the file was accepted";
            }
        }
    }
    std::unique_ptr<CZHDAtom> copy;
    MW_RETURN_IF_FAILED(CloneAtom(*movie.moov, true, &copy));
    CZHDMemoryFileCtrl out;
    return copy->Write(out);
}

Bytes SyntheticMovie() {
    const Bytes video = Join({SimpleStsd(), Stts({{5, 40}, {1, 20}}), Ctts({{2, 80}, {4, 0}}),
                              Stss({1, 4}), Stsc({{1, 2, 1}, {3, 1, 1}}),
                              Stsz(0, 6, {10, 20, 30, 40, 50, 60}), Stco({300, 400, 500, 600})});
    const Bytes audio =
        Join({SimpleStsd("mp4a"), Stts({{8, 1024}}), Stsc({{1, 8, 1}}), Stsz(12, 8), Co64({800})});
    return MovieFile({Trak(1, "vide", 1000, video), Trak(2, "soun", 44100, audio)}, Zeros(1200));
}

TEST(HostileFiles, SyntheticMovieIsSound) {
    EXPECT_EQ(Exercise(SyntheticMovie()), MW_OK);
}

TEST(HostileFiles, EveryTruncation) {
    const Bytes whole = SyntheticMovie();
    CZHDMemoryFileCtrl file(whole);
    CZHDMovie movie;
    ASSERT_EQ(movie.Open(&file), MW_OK);
    const size_t moovEnd = static_cast<size_t>(movie.moov->position + movie.moov->size);
    for (size_t length = 0; length < whole.size(); ++length) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
        const uint32_t result = Exercise(cut);
        // Cut inside the header atoms: never a success.
        if (length < moovEnd) {
            EXPECT_NE(result, MW_OK) << length;
        }
    }
}

// Overwrites bytes of the movie header with random values and with the size-like values
// that trip careless readers.
void Mutate(Bytes& bytes, size_t begin, size_t end, std::mt19937& random) {
    static const uint32_t kNasty[] = {0,          1,          2,          7,         8,
                                      0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0};
    std::uniform_int_distribution<size_t> where(begin, end - 4);
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
        const size_t at = where(random);
        if (random() % 2 == 0) {
            bytes[at] = static_cast<uint8_t>(random());
        } else {
            const Bytes value = U32(kNasty[random() % std::size(kNasty)]);
            std::copy(value.begin(), value.end(), bytes.begin() + static_cast<long>(at));
        }
    }
}

void MutateMany(const Bytes& original, size_t begin, size_t end, int rounds) {
    std::mt19937 random(20240611);
    int refused = 0;
    for (int round = 0; round < rounds; ++round) {
        Bytes mutant = original;
        Mutate(mutant, begin, end, random);
        if (Exercise(mutant) != MW_OK) {
            ++refused;
        }
    }
    // Most mutants are damaged in a way the reader must notice.
    EXPECT_GT(refused, 0);
}

TEST(HostileFiles, MutatedSyntheticHeaders) {
    const Bytes whole = SyntheticMovie();
    MutateMany(whole, 0, whole.size() - 1200, 3000);
}

TEST(HostileFiles, MutatedRealHeaders) {
    const auto& files = FfmpegFiles();
    if (files.empty()) {
        GTEST_SKIP() << "ffmpeg is not available";
    }
    for (const GeneratedFile& file : files) {
        if (!file.moovFirst) {
            continue;
        }
        const Bytes bytes = ReadFileBytes(file.path);
        ASSERT_EQ(Exercise(bytes), MW_OK) << file.name;
        CZHDMemoryFileCtrl memory(bytes);
        CZHDMovie movie;
        ASSERT_EQ(movie.Open(&memory), MW_OK);
        const size_t moovEnd = static_cast<size_t>(movie.moov->position + movie.moov->size);
        MutateMany(bytes, 0, moovEnd, 600);
    }
}

}  // namespace
}  // namespace moovwright
