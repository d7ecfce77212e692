// Tracks built from hand-made trak atoms: the sample-table rules and their damaged forms.

#include <gtest/gtest.h>

#include "core/movie.h"
#include "test_support.h"

namespace moovwright {
namespace {

using namespace test;

// A one-track movie from the given stbl tables (an stsd is added).
std::unique_ptr<MemoryMovie> OneTrack(const Bytes& tables, const char* handler = "vide",
                                      uint32_t timescale = 1000) {
    auto m =
        OpenMemoryMovie(MovieFile({Trak(1, handler, timescale, Join({SimpleStsd(), tables}))}));
    EXPECT_EQ(m->openResult, MW_OK);
    return m;
}

uint32_t LoadOneTrack(const Bytes& tables, uint32_t timescale = 1000) {
    return OneTrack(tables, "vide", timescale)->movie.LoadTracks();
}

std::vector<SampleInfo> Samples(const CZHDTrack& track) {
    std::vector<SampleInfo> out(track.sampleCount());
    for (uint32_t i = 0; i < track.sampleCount(); ++i) {
        EXPECT_EQ(track.GetSample(i, &out[i]), MW_OK);
    }
    return out;
}

TEST(TrackTables, PositionsFromChunkRuns) {
    // Two chunks of two samples, then one chunk of one sample.
    auto m = OneTrack(Join({Stts({{5, 40}}), Stsc({{1, 2, 1}, {3, 1, 1}}),
                            Stsz(0, 5, {10, 20, 30, 40, 50}), Stco({300, 400, 500})}));
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    ASSERT_EQ(m->movie.trackCount(), 1u);
    const auto samples = Samples(*m->movie.track(0));
    const uint64_t positions[] = {300, 310, 400, 430, 500};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(samples[i].position, positions[i]) << i;
        EXPECT_EQ(samples[i].size, (i + 1) * 10) << i;
        EXPECT_EQ(samples[i].sampleIndex, i);
    }
}

TEST(TrackTables, CommonSampleSize) {
    auto m = OneTrack(Join({Stts({{4, 40}}), Stsc({{1, 4, 1}}), Stsz(25, 4), Stco({200})}));
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    const auto samples = Samples(*m->movie.track(0));
    EXPECT_EQ(samples[3].position, 275u);
    EXPECT_EQ(samples[3].size, 25u);
}

TEST(TrackTables, Co64AloneAndStcoPreferred) {
    // A file that is 6 GiB long but whose moov comes first: only the header is in memory.
    const Bytes tables = Join({Stts({{2, 40}}), Stsc({{1, 1, 1}}), Stsz(0, 2, {10, 20}),
                               Co64({uint64_t{5} << 30, (uint64_t{5} << 30) + 100})});
    const Bytes bytes = MovieFile({Trak(1, "vide", 1000, Join({SimpleStsd(), tables}))}, {});
    auto file =
        std::make_unique<CZHDMemoryFileCtrl>(bytes.data(), bytes.size(), 0, uint64_t{6} << 30);
    CZHDMovie movie;
    ASSERT_EQ(movie.Open(file.get()), MW_OK);
    ASSERT_EQ(movie.LoadTracks(), MW_OK);
    SampleInfo info;
    ASSERT_EQ(movie.track(0)->GetSample(1, &info), MW_OK);
    EXPECT_EQ(info.position, (uint64_t{5} << 30) + 100);

    auto both = OneTrack(Join({Stts({{2, 40}}), Stsc({{1, 1, 1}}), Stsz(0, 2, {10, 20}),
                               Co64({uint64_t{5} << 30, 0}), Stco({100, 200})}));
    ASSERT_EQ(both->movie.LoadTracks(), MW_OK);
    ASSERT_EQ(both->movie.track(0)->GetSample(1, &info), MW_OK);
    EXPECT_EQ(info.position, 200u);
    EXPECT_EQ(both->movie.track(0)->atoms().co64, nullptr);
}

TEST(TrackTables, ChunkTableTooLongForMemoryLimitIsStillLoaded) {
    // 1.4 million chunks: a co64 above 10 MiB must still be decoded, or the track would read
    // as all zeros.
    const uint32_t chunks = 1'400'000;
    Bytes co64 = Join({U32(0), U32(chunks)});
    co64.resize(8 + 8 * size_t{chunks});
    for (uint32_t i = 0; i < chunks; ++i) {
        const uint64_t offset = 1000 + uint64_t{i};
        for (int b = 0; b < 8; ++b) {
            co64[8 + 8 * size_t{i} + static_cast<size_t>(b)] =
                static_cast<uint8_t>(offset >> (56 - 8 * b));
        }
    }
    const Bytes tables =
        Join({Stts({{chunks, 1}}), Stsc({{1, 1, 1}}), Stsz(1, chunks), Box("co64", {co64})});
    auto m = OpenMemoryMovie(MovieFile({Trak(1, "soun", 1000, Join({SimpleStsd("mp4a"), tables}))},
                                       Zeros(chunks + 2000)));
    ASSERT_EQ(m->openResult, MW_OK);
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    SampleInfo info;
    ASSERT_EQ(m->movie.track(0)->GetSample(chunks - 1, &info), MW_OK);
    EXPECT_EQ(info.position, 1000u + chunks - 1);
}

TEST(TrackTables, DecodingTimesAndDefaultDuration) {
    // One stts entry: decoding time = index × delta, nothing stored.
    auto one = OneTrack(Join({Stts({{4, 512}}), Stsc({{1, 4, 1}}), Stsz(1, 4), Stco({100})}));
    ASSERT_EQ(one->movie.LoadTracks(), MW_OK);
    const CZHDTrack& t1 = *one->movie.track(0);
    EXPECT_EQ(t1.defaultDuration(), 512u);
    EXPECT_EQ(Samples(t1)[3].decodingTime, 3 * 512);

    // The first entry covers all samples but a shorter last one (an AAC track's last frame):
    // its delta is the default duration, not the average.
    auto shortLast =
        OneTrack(Join({Stts({{9, 1024}, {1, 300}}), Stsc({{1, 10, 1}}), Stsz(1, 10), Stco({100})}));
    ASSERT_EQ(shortLast->movie.LoadTracks(), MW_OK);
    const CZHDTrack& t2 = *shortLast->movie.track(0);
    EXPECT_EQ(t2.defaultDuration(), 1024u);
    const auto s2 = Samples(t2);
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(s2[i].decodingTime, int64_t{i} * 1024) << i;
    }

    // A first entry that covers every sample, followed by an empty one.
    auto extra =
        OneTrack(Join({Stts({{10, 1000}, {0, 7}}), Stsc({{1, 10, 1}}), Stsz(1, 10), Stco({100})}));
    ASSERT_EQ(extra->movie.LoadTracks(), MW_OK);
    EXPECT_EQ(extra->movie.track(0)->defaultDuration(), 1000u);

    // Otherwise the integer average, with the exact times kept per sample.
    auto mixed =
        OneTrack(Join({Stts({{5, 100}, {5, 201}}), Stsc({{1, 10, 1}}), Stsz(1, 10), Stco({100})}));
    ASSERT_EQ(mixed->movie.LoadTracks(), MW_OK);
    const CZHDTrack& t3 = *mixed->movie.track(0);
    EXPECT_EQ(t3.defaultDuration(), 150u);  // (500 + 1005) / 10
    const auto s3 = Samples(t3);
    EXPECT_EQ(s3[5].decodingTime, 500);
    EXPECT_EQ(s3[9].decodingTime, 500 + 4 * 201);
    EXPECT_EQ(t3.DurationMs(), 1500u);
}

TEST(TrackTables, CompositionTimes) {
    auto m = OneTrack(Join({Stts({{4, 100}}), Ctts({{1, 200}, {2, 0}, {1, 100}}), Stsc({{1, 4, 1}}),
                            Stsz(1, 4), Stco({100})}));
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    const auto s = Samples(*m->movie.track(0));
    EXPECT_EQ(s[0].compositionTime, 200);
    EXPECT_EQ(s[1].compositionTime, 100);
    EXPECT_EQ(s[3].compositionTime, 400);
    EXPECT_EQ(m->movie.track(0)->MaxStoredCompositionOffset(), 200u);

    // Offsets are unsigned and wrap at 2^32 in either version: 0xFFFFFF9C is 100 ticks
    // earlier, and counts as the largest stored offset.
    for (uint8_t version : {0, 1}) {
        auto wrapped = OneTrack(Join({Stts({{2, 100}}), Ctts({{1, 100}, {1, 0xFFFFFF9C}}, version),
                                      Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})}));
        ASSERT_EQ(wrapped->movie.LoadTracks(), MW_OK);
        const auto s1 = Samples(*wrapped->movie.track(0));
        EXPECT_EQ(s1[0].compositionTime, 100) << int(version);
        EXPECT_EQ(s1[1].compositionTime, 0) << int(version);
        EXPECT_EQ(wrapped->movie.track(0)->MaxStoredCompositionOffset(), 0xFFFFFF9Cu);
    }

    // Without ctts composition time equals decoding time.
    auto none = OneTrack(Join({Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})}));
    ASSERT_EQ(none->movie.LoadTracks(), MW_OK);
    EXPECT_EQ(Samples(*none->movie.track(0))[1].compositionTime, 100);
    EXPECT_FALSE(none->movie.track(0)->hasCompositionTimes());
}

TEST(TrackTables, SyncSamplesAreFilteredSortedAndUnique) {
    auto m = OneTrack(Join(
        {Stts({{6, 100}}), Stss({5, 1, 99, 5, 0, 3}), Stsc({{1, 6, 1}}), Stsz(1, 6), Stco({100})}));
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    const CZHDTrack& track = *m->movie.track(0);
    EXPECT_TRUE(track.hasSyncTable());
    EXPECT_EQ(track.syncSamples(), (std::vector<uint32_t>{0, 2, 4}));
    const auto s = Samples(track);
    const uint32_t expected[] = {1, 0, 1, 0, 1, 0};
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(s[i].sync, expected[i]) << i;
    }

    auto all = OneTrack(Join({Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})}));
    ASSERT_EQ(all->movie.LoadTracks(), MW_OK);
    EXPECT_FALSE(all->movie.track(0)->hasSyncTable());
    EXPECT_EQ(Samples(*all->movie.track(0))[1].sync, 1u);
}

TEST(TrackTables, TracksAreTheTrakChildrenInFileOrder) {
    const Bytes tables =
        Join({SimpleStsd(), Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})});
    const Bytes audio =
        Join({SimpleStsd("mp4a"), Stts({{3, 1024}}), Stsc({{1, 3, 1}}), Stsz(2, 3), Stco({200})});
    // The movie header's next track ID says 1 (a wrong value must not drop the audio) and the
    // track IDs are not 1 and 2.
    Bytes moov = Box("moov", {Mvhd(1000, 1), Trak(5, "vide", 600, tables), Box("udta", {Zeros(4)}),
                              Trak(9, "soun", 44100, audio)});
    auto m = OpenMemoryMovie(
        Join({Box("ftyp", {Text("isom"), U32(0)}), moov, Box("mdat", {Zeros(400)})}));
    ASSERT_EQ(m->openResult, MW_OK);
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    ASSERT_EQ(m->movie.trackCount(), 2u);
    EXPECT_EQ(m->movie.track(0)->index(), 0u);
    EXPECT_EQ(m->movie.track(0)->mediaKind(), kMediaVideo);
    EXPECT_EQ(m->movie.track(0)->atoms().tkhd->trackId, 5u);
    EXPECT_EQ(m->movie.track(1)->index(), 1u);
    EXPECT_EQ(m->movie.track(1)->mediaKind(), kMediaAudio);
    EXPECT_EQ(m->movie.track(1)->timescale(), 44100u);
    uint32_t value = 0;
    EXPECT_EQ(m->movie.track(1)->GetSampleCount(&value), MW_OK);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(m->movie.track(1)->GetSampleCount(nullptr), MW_NULL_POINTER);

    // A high next track ID does not invent tracks either.
    Bytes moov2 = Box("moov", {Mvhd(1000, 50), Trak(1, "vide", 600, tables)});
    auto m2 = OpenMemoryMovie(
        Join({Box("ftyp", {Text("isom"), U32(0)}), moov2, Box("mdat", {Zeros(400)})}));
    ASSERT_EQ(m2->movie.LoadTracks(), MW_OK);
    EXPECT_EQ(m2->movie.trackCount(), 1u);

    auto noMvhd =
        OpenMemoryMovie(Join({Box("ftyp", {}), Box("moov", {Trak(1, "vide", 600, tables)})}));
    EXPECT_EQ(noMvhd->movie.LoadTracks(), MW_ATOM_NOT_FOUND);
    auto noTracks = OpenMemoryMovie(Join({Box("ftyp", {}), Box("moov", {Mvhd(1000, 1)})}));
    EXPECT_EQ(noTracks->movie.LoadTracks(), MW_OK);
    EXPECT_EQ(noTracks->movie.trackCount(), 0u);
}

TEST(TrackTables, Version1Headers) {
    const Bytes tables =
        Join({SimpleStsd(), Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})});
    const Bytes tkhd1 = Box("tkhd", {Bytes{1, 0, 0, 0}, U64(0), U64(0), U32(3), U32(0), U64(12345),
                                     Zeros(52), U16(1920), U16(0), U16(1080), U16(0)});
    const Bytes trak = Box(
        "trak",
        {tkhd1, Box("mdia", {Mdhd(90000, 1), Hdlr("vide"), Box("minf", {Box("stbl", {tables})})})});
    const Bytes mvhd1 =
        Box("mvhd", {Bytes{1, 0, 0, 0}, U64(0), U64(0), U32(600), U64(1), Zeros(76), U32(4)});
    auto m = OpenMemoryMovie(
        Join({Box("ftyp", {}), Box("moov", {mvhd1, trak}), Box("mdat", {Zeros(200)})}));
    ASSERT_EQ(m->openResult, MW_OK);
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    const CZHDTrack& track = *m->movie.track(0);
    EXPECT_EQ(track.timescale(), 90000u);
    EXPECT_EQ(track.atoms().tkhd->trackId, 3u);
    EXPECT_EQ(track.atoms().tkhd->duration, 12345u);
    EXPECT_EQ(track.atoms().tkhd->width, 1920u);
    EXPECT_EQ(track.atoms().tkhd->height, 1080u);
    EXPECT_EQ(std::string(track.atoms().mdhd->language.begin(), track.atoms().mdhd->language.end()),
              "eng");
    auto* mvhd = As<CZHDMvhdAtom>(m->movie.moov->Child("mvhd"));
    EXPECT_EQ(mvhd->timescale, 600u);
    EXPECT_EQ(mvhd->nextTrackId, 4u);

    // A version-1 mdhd needs its language bytes at 32-33.
    const Bytes shortMdhd = Box("mdhd", {Bytes{1, 0, 0, 0}, U64(0), U64(0), U32(90000), U64(0)});
    std::unique_ptr<CZHDAtom> atom;
    ASSERT_EQ(CreateAtom("mdhd", &atom), MW_OK);
    EXPECT_EQ(atom->Parse(shortMdhd.data(), shortMdhd.size(), 0, shortMdhd.size()),
              MW_NOT_ENOUGH_DATA);
}

TEST(TrackTables, NoDivisionByZero) {
    const Bytes good = Join({Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})});
    EXPECT_EQ(LoadOneTrack(Join({Stts({{2, 100}}), good}), 0), MW_FAIL);  // zero timescale
    EXPECT_EQ(LoadOneTrack(Join({Stts({{2, 0}}), good})), MW_FAIL);       // zero durations
    EXPECT_EQ(LoadOneTrack(Join({Stts({}), good})), MW_FAIL);             // no durations
    EXPECT_EQ(LoadOneTrack(Join({Stts({{0, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 0), Stco({100})})),
              MW_FAIL);  // no samples
}

TEST(TrackTables, MissingAtoms) {
    const Bytes stts = Stts({{2, 100}});
    const Bytes stsc = Stsc({{1, 2, 1}});
    const Bytes stsz = Stsz(1, 2);
    const Bytes stco = Stco({100});
    auto load = [](const Bytes& tables) {
        auto m = OpenMemoryMovie(MovieFile({Trak(1, "vide", 1000, tables)}));
        return m->movie.LoadTracks();
    };
    EXPECT_EQ(load(Join({stts, stsc, stsz, stco})), MW_ATOM_NOT_FOUND);  // no stsd
    EXPECT_EQ(load(Join({SimpleStsd(), stsc, stsz, stco})), MW_ATOM_NOT_FOUND);
    EXPECT_EQ(load(Join({SimpleStsd(), stts, stsz, stco})), MW_ATOM_NOT_FOUND);
    EXPECT_EQ(load(Join({SimpleStsd(), stts, stsc, stco})), MW_ATOM_NOT_FOUND);
    EXPECT_EQ(load(Join({SimpleStsd(), stts, stsc, stsz})), MW_FAIL);  // no chunk offsets
    auto noMdia = OpenMemoryMovie(MovieFile({Box("trak", {Tkhd(1, 0, 0)})}));
    EXPECT_EQ(noMdia->movie.LoadTracks(), MW_ATOM_NOT_FOUND);
}

TEST(TrackTables, ContradictoryTablesAreRefused) {
    // More samples than the chunks hold.
    EXPECT_EQ(
        LoadOneTrack(Join({Stts({{5, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 5), Stco({100, 200})})),
        MW_NOT_ENOUGH_DATA);
    // First chunk 0, first chunks not increasing, a run pointing past the chunk table.
    EXPECT_EQ(LoadOneTrack(Join({Stts({{2, 100}}), Stsc({{0, 2, 1}}), Stsz(1, 2), Stco({100})})),
              MW_OUT_OF_RANGE);
    EXPECT_EQ(LoadOneTrack(Join(
                  {Stts({{4, 100}}), Stsc({{2, 1, 1}, {1, 1, 1}}), Stsz(1, 4), Stco({100, 200})})),
              MW_FAIL);
    EXPECT_EQ(LoadOneTrack(Join(
                  {Stts({{4, 100}}), Stsc({{1, 1, 1}, {5, 1, 1}}), Stsz(1, 4), Stco({100, 200})})),
              MW_OUT_OF_RANGE);
    EXPECT_EQ(LoadOneTrack(Join({Stts({{2, 100}}), Stsc({}), Stsz(1, 2), Stco({100})})), MW_FAIL);
    // A sample beyond the end of the file.
    EXPECT_EQ(LoadOneTrack(Join(
                  {Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(0, 2, {10, 100000}), Stco({100})})),
              MW_NOT_ENOUGH_DATA);
    // A common size claiming four billion samples in a small file: refused before allocating.
    EXPECT_EQ(LoadOneTrack(Join({Stts({{0xFFFFFFFF, 1}}), Stsc({{1, 0xFFFFFFFF, 1}}),
                                 Stsz(1, 0xFFFFFFFF), Stco({100})})),
              MW_NOT_ENOUGH_DATA);
}

TEST(TrackTables, CountsAreCheckedAgainstTheirBytes) {
    // Tables are decoded when the movie is opened: a count its bytes cannot hold fails there.
    auto openWith = [](const Bytes& tables) {
        return OpenMemoryMovie(MovieFile({Trak(1, "vide", 1000, Join({SimpleStsd(), tables}))}))
            ->openResult;
    };
    const Bytes rest = Join({Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})});
    // stts claiming a million entries in 16 bytes.
    const Bytes badStts = Box("stts", {U32(0), U32(1'000'000), U32(2), U32(100)});
    EXPECT_EQ(openWith(Join({badStts, rest})), MW_NOT_ENOUGH_DATA);
    const Bytes badStsz = Box("stsz", {U32(0), U32(0), U32(3), U32(1), U32(2)});
    EXPECT_EQ(openWith(Join({Stts({{3, 100}}), Stsc({{1, 3, 1}}), badStsz, Stco({100})})),
              MW_NOT_ENOUGH_DATA);
    const Bytes badCo64 = Box("co64", {U32(0), U32(2), U64(100), U32(0)});
    EXPECT_EQ(openWith(Join({Stts({{2, 100}}), Stsc({{1, 1, 1}}), Stsz(1, 2), badCo64})),
              MW_NOT_ENOUGH_DATA);
    const Bytes badStss = Box("stss", {U32(0), U32(0x40000000), U32(1)});
    EXPECT_EQ(openWith(Join({Stts({{2, 100}}), badStss, rest})), MW_NOT_ENOUGH_DATA);
    const Bytes badStsc = Box("stsc", {U32(0), U32(2), U32(1), U32(1), U32(1)});
    EXPECT_EQ(openWith(Join({Stts({{2, 100}}), badStsc, Stsz(1, 2), Stco({100})})),
              MW_NOT_ENOUGH_DATA);
    const Bytes shortStsz = Box("stsz", {U32(0), U32(0)});
    EXPECT_EQ(openWith(Join({Stts({{2, 100}}), Stsc({{1, 2, 1}}), shortStsz, Stco({100})})),
              MW_NOT_ENOUGH_DATA);
}

TEST(TrackTables, GetSampleArguments) {
    auto m = OneTrack(Join({Stts({{2, 100}}), Stsc({{1, 2, 1}}), Stsz(1, 2), Stco({100})}));
    ASSERT_EQ(m->movie.LoadTracks(), MW_OK);
    SampleInfo info;
    EXPECT_EQ(m->movie.track(0)->GetSample(2, &info), MW_OUT_OF_RANGE);
    EXPECT_EQ(m->movie.track(0)->GetSample(0, nullptr), MW_NULL_POINTER);
    EXPECT_EQ(m->movie.track(5), nullptr);
}

}  // namespace
}  // namespace moovwright
