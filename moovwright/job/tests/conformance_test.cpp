// Files as ffmpeg makes them restructure with result 0 into files that decode to exactly
// the same frames, that ffprobe reads without complaint and whose private index gives back
// the source's tables; each refusal comes from a real file and leaves it untouched.

#include <gtest/gtest.h>

#include <filesystem>

#include "job_fixtures.h"
#include "layout_reader.h"

namespace moovwright::testing {
namespace {

namespace fs = std::filesystem;

struct ConformanceCase {
    std::string name;
    ClipOptions options;
    bool co64 = false;
};

class Conformance : public ::testing::TestWithParam<ConformanceCase> {};

ClipOptions with(std::function<void(ClipOptions&)> change) {
    ClipOptions options;
    change(options);
    return options;
}

void expect_same_tables(const CZHDTrack& source, const CZHDTrack& output) {
    ASSERT_EQ(source.sampleCount(), output.sampleCount());
    EXPECT_EQ(source.timescale(), output.timescale());
    EXPECT_EQ(source.mediaKind(), output.mediaKind());
    SampleInfo a;
    SampleInfo b;
    for (uint32_t i = 0; i < source.sampleCount(); ++i) {
        ASSERT_EQ(source.GetSample(i, &a), MW_OK);
        ASSERT_EQ(output.GetSample(i, &b), MW_OK);
        ASSERT_EQ(a.size, b.size) << "sample " << i;
        ASSERT_EQ(a.decodingTime, b.decodingTime) << "sample " << i;
        ASSERT_EQ(a.compositionTime, b.compositionTime) << "sample " << i;
        ASSERT_EQ(a.sync, b.sync) << "sample " << i;
    }
}

TEST_P(Conformance, RestructuresToTheSameFramesAndTables) {
    const ConformanceCase& c = GetParam();
    ScratchFolder folder;
    fs::path clip = clip_in(folder, c.name, c.options, "original.mp4");
    if (c.co64) {
        convert_chunk_offsets_to_64_bit(clip, folder.file("co64.mp4"));
        fs::rename(folder.file("co64.mp4"), clip);
        ASSERT_NE(find_atom(read_bytes(clip), "moov/trak/mdia/minf/stbl/co64").size, 0u);
    }
    const fs::path work = folder.file("clip.mp4");
    fs::copy_file(clip, work);

    ASSERT_EQ(restructure(work), MW_OK);
    EXPECT_EQ(folder.listing(), (std::vector<std::string>{"clip.mp4", "original.mp4"}));
    EXPECT_EQ(framemd5(work), framemd5(clip));
    EXPECT_EQ(ffprobe_errors(work), "");

    // The moov now comes first, and the layout's index is there.
    const std::vector<uint8_t> bytes = read_bytes(work);
    const AtomSpan moov = find_atom(bytes, "moov");
    ASSERT_NE(moov.size, 0u);
    EXPECT_LT(moov.offset, find_atom(bytes, "mdat").offset);
    EXPECT_NE(find_atom(bytes, "moov/zqhd").size, 0u);

    LoadedMovie source(clip);
    LoadedMovie output(work);
    const auto* zqhd = As<CZHDZqhdAtom>(output.movie.zqhd);
    ASSERT_NE(zqhd, nullptr);
    std::vector<std::unique_ptr<CZHDZhdTrack>> indexed;
    ASSERT_EQ(LoadLayoutTracks(*zqhd, output.file, indexed), MW_OK);
    ASSERT_EQ(indexed.size(), source.movie.tracks.size());
    for (size_t t = 0; t < indexed.size(); ++t) {
        expect_same_tables(*source.movie.tracks[t], *indexed[t]);
        expect_same_tables(*source.movie.tracks[t], *output.movie.tracks[t]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    FfmpegFiles, Conformance,
    ::testing::Values(ConformanceCase{"bframes_gop12", {}},
                      ConformanceCase{"no_bframes_gop25", with([](ClipOptions& o) {
                                          o.bframes = false;
                                          o.gop = 25;
                                      })},
                      ConformanceCase{"bframes_gop50_moov_first", with([](ClipOptions& o) {
                                          o.gop = 50;
                                          o.seconds = 4;
                                          o.moov_first = true;
                                      })},
                      ConformanceCase{"gop7_30fps_48k", with([](ClipOptions& o) {
                                          o.gop = 7;
                                          o.fps = 30;
                                          o.sample_rate = 48000;
                                      })},
                      ConformanceCase{"video_only", with([](ClipOptions& o) { o.audio = ""; })},
                      ConformanceCase{"negative_cts_offsets",
                                      with([](ClipOptions& o) { o.negative_cts = true; })},
                      ConformanceCase{"co64_source", {}, true}),
    [](const auto& info) { return info.param.name; });

// A version-1 ctts with negative offsets (stored as values of 2^31 and above) restructures:
// the offsets wrap back at 32 bits when the private index is read.
TEST(Conformance, NegativeCompositionOffsetsAreStoredAsWrappedValues) {
    ClipOptions options;
    options.negative_cts = true;
    const std::vector<uint8_t> bytes = read_bytes(cached_clip("negative_cts_offsets", options));
    const AtomSpan ctts = find_atom(bytes, "moov/trak/mdia/minf/stbl/ctts");
    ASSERT_NE(ctts.size, 0u);
    EXPECT_EQ(bytes[ctts.offset + 8], 1) << "version";
    bool has_negative = false;
    const uint32_t entries = load_be32(&bytes[ctts.offset + 12]);
    for (uint32_t i = 0; i < entries && 16 + 8 * (i + 1) <= ctts.size; ++i)
        has_negative |= load_be32(&bytes[ctts.offset + 16 + 8 * i + 4]) >= 0x80000000u;
    EXPECT_TRUE(has_negative) << "ffmpeg wrote no negative offset; the case tests nothing";
}

// The bytes of the child atom at `path` below the `index`-th trak (or the moov itself).
std::vector<uint8_t> atom_bytes(const std::vector<uint8_t>& file, int trak,
                                const std::vector<std::string>& path) {
    AtomSpan at = find_atom(file, trak < 0 ? "moov" : "moov/trak", trak < 0 ? 0 : trak);
    for (const std::string& step : path) {
        AtomSpan next;
        for (const AtomSpan& child : child_atoms(file, at)) {
            if (child.type == step && next.size == 0)
                next = child;
        }
        if (next.size == 0)
            return {};
        at = next;
    }
    return {file.begin() + static_cast<long>(at.offset),
            file.begin() + static_cast<long>(at.offset + at.size)};
}

TEST(Conformance, KeepsEditListsDataReferencesSampleGroupsAndUserData) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {}, "original.mp4");
    const fs::path work = folder.file("clip.mp4");
    fs::copy_file(clip, work);
    ASSERT_EQ(restructure(work), MW_OK);
    const std::vector<uint8_t> before = read_bytes(clip);
    const std::vector<uint8_t> after = read_bytes(work);
    for (int trak = 0; trak < 2; ++trak) {
        for (const std::vector<std::string>& path :
             std::vector<std::vector<std::string>>{{"edts"}, {"mdia", "minf", "dinf"}}) {
            const std::vector<uint8_t> original = atom_bytes(before, trak, path);
            ASSERT_FALSE(original.empty()) << path.back();
            EXPECT_EQ(atom_bytes(after, trak, path), original) << path.back();
        }
    }
    // ffmpeg marks AAC priming with a roll sample group.
    for (const char* group : {"sgpd", "sbgp"}) {
        const std::vector<uint8_t> original =
            atom_bytes(before, 1, {"mdia", "minf", "stbl", group});
        ASSERT_FALSE(original.empty()) << group;
        EXPECT_EQ(atom_bytes(after, 1, {"mdia", "minf", "stbl", group}), original);
    }
    const std::vector<uint8_t> udta = atom_bytes(before, -1, {"udta"});
    ASSERT_FALSE(udta.empty());
    EXPECT_EQ(atom_bytes(after, -1, {"udta"}), udta);
}

// ---- refusals ----

struct RefusalCase {
    std::string name;
    ClipOptions options;
    uint32_t expected;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, LeavesTheFileUntouched) {
    const RefusalCase& c = GetParam();
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, c.name, c.options);
    const std::vector<uint8_t> before = read_bytes(clip);
    EXPECT_EQ(restructure(clip), c.expected);
    EXPECT_EQ(read_bytes(clip), before);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"});
}

INSTANTIATE_TEST_SUITE_P(
    FfmpegFiles, Refusal,
    ::testing::Values(
        RefusalCase{"three_tracks", with([](ClipOptions& o) { o.audio_tracks = 2; }),
                    MW_TOO_MANY_TRACKS},
        RefusalCase{"hevc", with([](ClipOptions& o) { o.video = "hevc"; }), MW_VIDEO_NOT_AVC1},
        RefusalCase{"mp3", with([](ClipOptions& o) { o.audio = "mp3"; }), MW_AUDIO_NOT_AAC},
        RefusalCase{"audio_15_percent_short", with([](ClipOptions& o) { o.audio_seconds = 1.7; }),
                    MW_DURATION_MISMATCH},
        RefusalCase{"variable_frame_rate", with([](ClipOptions& o) {
                        o.variable_frame_rate = true;
                        o.audio = "";
                    }),
                    MW_VARIABLE_FRAME_RATE},
        RefusalCase{"all_key_frames", with([](ClipOptions& o) { o.video = "intra"; }), MW_FAIL},
        RefusalCase{"audio_only", with([](ClipOptions& o) { o.video = ""; }), MW_FAIL},
        RefusalCase{"matroska", with([](ClipOptions& o) { o.format = "matroska"; }), MW_NOT_MP4}),
    [](const auto& info) { return info.param.name; });

TEST(Refusal, DurationsWithinTenPercentPass) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "audio_7_percent_short",
                                  with([](ClipOptions& o) { o.audio_seconds = 1.85; }));
    EXPECT_EQ(restructure(clip), MW_OK);
}

TEST(Refusal, TrackWithSeveralSampleDescriptions) {
    // The layout keeps one description per track: a track whose chunks switch between
    // descriptions would be rewritten wrong, so it is refused.
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    std::vector<uint8_t> bytes = read_bytes(clip);
    const AtomSpan stsc = find_atom(bytes, "moov/trak/mdia/minf/stbl/stsc", 0);
    const AtomSpan audioTrak = find_atom(bytes, "moov/trak", 1);
    AtomSpan audioStsc;
    // The audio track's stsc has many runs; mark the second run as description 2.
    std::vector<AtomSpan> level = child_atoms(bytes, audioTrak);
    for (const char* step : {"mdia", "minf", "stbl", "stsc"}) {
        AtomSpan next;
        for (const AtomSpan& a : level) {
            if (a.type == step)
                next = a;
        }
        ASSERT_NE(next.size, 0u) << step;
        audioStsc = next;
        level = child_atoms(bytes, next);
    }
    ASSERT_NE(stsc.offset, audioStsc.offset);
    ASSERT_GE(load_be32(&bytes[audioStsc.offset + 12]), 2u);
    store_be32(&bytes[audioStsc.offset + 16 + 12 + 8], 2);
    write_bytes(clip, bytes);
    EXPECT_EQ(restructure(clip), MW_UNSUPPORTED);
    EXPECT_EQ(read_bytes(clip), bytes);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"});
}

}  // namespace
}  // namespace moovwright::testing
