// The streaming layout as the writer lays it out and the reader reads it back, on files
// made with ffmpeg, and the reader's refusal of damaged indexes.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/movie.h"
#include "layout_format.h"
#include "layout_reader.h"
#include "layout_writer.h"
#include "media_fixtures.h"

namespace moovwright::testing {
namespace {

namespace fs = std::filesystem;

struct Movie {
    CZHDPosixFileCtrl file;
    CZHDMovie movie;
    explicit Movie(const fs::path& path, bool tracks = true) {
        EXPECT_EQ(file.Open(path.c_str(), false), MW_OK);
        EXPECT_EQ(movie.Open(&file), MW_OK);
        if (tracks) {
            EXPECT_EQ(movie.LoadTracks(), MW_OK);
        }
    }
    const CZHDZqhdAtom& zqhd() const { return *As<CZHDZqhdAtom>(movie.zqhd); }
};

uint32_t write_layout(const fs::path& source, const fs::path& output, JobControl& control) {
    Movie in(source);
    const LayoutSource layout = LayoutSourceOf(in.movie, in.file);
    CZHDPosixFileCtrl out;
    EXPECT_EQ(out.Open(output.c_str(), true), MW_OK);
    const uint32_t result = WriteStreamingLayout(layout, out, control, nullptr);
    EXPECT_EQ(out.Close(), MW_OK);
    return result;
}

class LayoutFile : public ::testing::Test {
protected:
    void Make(ClipOptions options) {
        source = folder.file("source.mp4");
        output = folder.file("layout.mp4");
        make_clip(options, source);
        JobControl control;
        ASSERT_EQ(write_layout(source, output, control), MW_OK);
    }

    // Every segment's index atom as the file holds it.
    std::vector<std::unique_ptr<CZHDSbixAtom>> Segments(const Movie& m) {
        const auto* spix = As<CZHDSpixAtom>(m.zqhd().Child("spix"));
        std::vector<std::unique_ptr<CZHDSbixAtom>> segments;
        for (const SpixEntry& entry : spix->entries) {
            auto sbix = std::make_unique<CZHDSbixAtom>(FourCC("sbix"));
            EXPECT_EQ(sbix->SetEntryLayout(spix->entryWidth, spix->trackBits), MW_OK);
            auto& file = const_cast<CZHDPosixFileCtrl&>(m.file);
            EXPECT_EQ(sbix->Read(file, entry.offset), MW_OK);
            EXPECT_EQ(sbix->size, entry.size);
            segments.push_back(std::move(sbix));
        }
        return segments;
    }

    ScratchFolder folder;
    fs::path source;
    fs::path output;
};

TEST_F(LayoutFile, SingleTrackEntriesHoldOnlySampleSizes) {
    ClipOptions options;
    options.audio = "";
    Make(options);
    Movie in(source);
    Movie out(output);
    const auto* spix = As<CZHDSpixAtom>(out.zqhd().Child("spix"));
    ASSERT_NE(spix, nullptr);
    EXPECT_EQ(spix->trackBits, 0u);
    uint32_t largest = 0;
    SampleInfo info;
    for (uint32_t i = 0; i < in.movie.tracks[0]->sampleCount(); ++i) {
        ASSERT_EQ(in.movie.tracks[0]->GetSample(i, &info), MW_OK);
        largest = std::max(largest, info.size);
    }
    EXPECT_EQ(spix->entryWidth, layout::entry_width_for_bits(layout::bit_length(largest)));
    uint32_t index = 0;
    for (const auto& sbix : Segments(out)) {
        for (uint32_t j = 0; j < sbix->EntryCount(); ++j, ++index) {
            ASSERT_EQ(in.movie.tracks[0]->GetSample(index, &info), MW_OK);
            EXPECT_EQ(sbix->EntryTrack(j), 0u);
            EXPECT_EQ(sbix->EntrySize(j), info.size);
        }
    }
    EXPECT_EQ(index, in.movie.tracks[0]->sampleCount());
}

TEST_F(LayoutFile, KeyFlagsWithoutCompositionOffsetsAndTracksWithoutEither) {
    ClipOptions options;
    options.bframes = false;
    Make(options);
    Movie in(source);
    Movie out(output);
    const auto* video = As<CZHDZqtkAtom>(out.zqhd().Child("zqtk", 0));
    const auto* audio = As<CZHDZqtkAtom>(out.zqhd().Child("zqtk", 1));
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->keyBits, 1u);
    EXPECT_EQ(video->kyctWidth, 1u);
    EXPECT_EQ(audio->keyBits, 0u);
    EXPECT_EQ(audio->kyctWidth, 0u);
    const auto& sync = in.movie.tracks[0]->syncSamples();
    for (const auto& sbix : Segments(out)) {
        ASSERT_EQ(sbix->children.size(), 1u);  // the video's kyct only
        const auto* kyct = As<CZHDKyctAtom>(sbix->children[0].get());
        ASSERT_NE(kyct, nullptr);
        EXPECT_EQ(kyct->trackIndex, 0u);
        // Each segment starts at a key frame: 0x80, then 0x00 for the other frames.
        uint64_t entry = 0;
        ASSERT_EQ(kyct->GetEntry(0, 1, &entry), MW_OK);
        EXPECT_EQ(entry, 0x80u);
        for (uint32_t j = 1; j < kyct->EntryCount(1); ++j) {
            ASSERT_EQ(kyct->GetEntry(j, 1, &entry), MW_OK);
            EXPECT_EQ(entry, 0x00u);
        }
    }
    EXPECT_EQ(out.zqhd().segmentCount, sync.size());
    std::vector<std::unique_ptr<CZHDZhdTrack>> tracks;
    ASSERT_EQ(LoadLayoutTracks(out.zqhd(), out.file, tracks), MW_OK);
    SampleInfo info;
    for (uint32_t i = 0; i < tracks[1]->sampleCount(); ++i) {
        ASSERT_EQ(tracks[1]->GetSample(i, &info), MW_OK);
        EXPECT_EQ(info.sync, 1u);
        EXPECT_EQ(info.compositionTime, info.decodingTime);
    }
}

TEST_F(LayoutFile, SegmentsInterleaveInTimeOrderFromTheFirstSample) {
    Make({});
    Movie in(source);
    Movie out(output);
    const auto& tracks = in.movie.tracks;
    const auto* spif0 = As<CZHDSpifAtom>(out.zqhd().Child("zqtk", 0)->Child("spif"));
    const auto* spif1 = As<CZHDSpifAtom>(out.zqhd().Child("zqtk", 1)->Child("spif"));
    EXPECT_EQ(spif0->entries[0].firstSample, 0u);
    EXPECT_EQ(spif1->entries[0].firstSample, 0u);
    const auto& sync = tracks[0]->syncSamples();
    std::vector<uint32_t> cursor(2, 0);
    const auto segments = Segments(out);
    ASSERT_EQ(segments.size(), sync.size());
    for (uint32_t k = 0; k < segments.size(); ++k) {
        EXPECT_EQ(spif0->entries[k].firstSample, cursor[0]);
        EXPECT_EQ(spif0->entries[k].repeated, cursor[0]);
        EXPECT_EQ(spif1->entries[k].firstSample, cursor[1]);
        if (k > 0) {
            EXPECT_EQ(cursor[0], sync[k]) << "segment " << k;
        }
        uint64_t lastTime = 0;
        int lastTrack = -1;
        for (uint32_t j = 0; j < segments[k]->EntryCount(); ++j) {
            const uint32_t t = segments[k]->EntryTrack(j);
            ASSERT_LT(t, 2u);
            const CZHDTrack& track = *tracks[t];
            const uint64_t ms =
                uint64_t{cursor[t]} * track.defaultDuration() * 1000 / track.timescale();
            // Time order, and on equal times the lower track first.
            EXPECT_TRUE(ms > lastTime || (ms == lastTime && static_cast<int>(t) >= lastTrack))
                << "segment " << k << " entry " << j;
            lastTime = ms;
            lastTrack = static_cast<int>(t);
            ++cursor[t];
        }
    }
    // The last segment takes everything that is left.
    EXPECT_EQ(cursor[0], tracks[0]->sampleCount());
    EXPECT_EQ(cursor[1], tracks[1]->sampleCount());
    // The free atom closes the file.
    const std::vector<uint8_t> bytes = read_bytes(output);
    const AtomSpan free = find_atom(bytes, "free");
    EXPECT_EQ(free.size, 72u);
    EXPECT_EQ(free.offset + free.size, bytes.size());
}

TEST_F(LayoutFile, NoSyncSampleTableWritesNothing) {
    ClipOptions options;
    options.video = "intra";
    source = folder.file("source.mp4");
    output = folder.file("layout.mp4");
    make_clip(options, source);
    JobControl control;
    EXPECT_EQ(write_layout(source, output, control), MW_FAIL);
    EXPECT_EQ(fs::file_size(output), 0u);
}

TEST_F(LayoutFile, CancelStopsBetweenSamples) {
    source = folder.file("source.mp4");
    output = folder.file("layout.mp4");
    make_clip({}, source);
    JobControl control;
    uint64_t seen = 0;
    control.on_sample_written = [&](uint64_t written) {
        seen = written;
        if (written == 5)
            control.request_cancel();
    };
    EXPECT_EQ(write_layout(source, output, control), MW_CANCELLED);
    EXPECT_EQ(seen, 5u);
}

// ---- damaged indexes ----

class DamagedIndex : public LayoutFile {
protected:
    void SetUp() override {
        Make({});
        bytes = read_bytes(output);
    }
    uint32_t Load() {
        write_bytes(output, bytes);
        Movie out(output, false);
        std::vector<std::unique_ptr<CZHDZhdTrack>> tracks;
        return LoadLayoutTracks(out.zqhd(), out.file, tracks);
    }
    uint64_t Offset(const std::string& path, int index = 0) {
        const AtomSpan atom = find_atom(bytes, path, index);
        EXPECT_NE(atom.size, 0u) << path;
        return atom.offset;
    }
    std::vector<uint8_t> bytes;
};

TEST_F(DamagedIndex, IntactIndexLoads) {
    EXPECT_EQ(Load(), MW_OK);
}

TEST_F(DamagedIndex, SampleCountsTheSegmentsDoNotHoldAreRefusedBeforeAllocating) {
    // A sample count of four billion would need tens of gigabytes of tables.
    store_be32(&bytes[Offset("moov/zqhd/zqtk") + 8 + 12], 0xFFFFFFFF);
    EXPECT_EQ(Load(), MW_OUT_OF_RANGE);
}

TEST_F(DamagedIndex, SegmentOutOfPlace) {
    Movie out(output);
    const SpixEntry second = As<CZHDSpixAtom>(out.zqhd().Child("spix"))->entries[1];
    bytes[second.offset + 8] = 7;  // segment index 1 claims to be 7
    EXPECT_EQ(Load(), MW_FAIL);
}

TEST_F(DamagedIndex, SegmentTableShorterThanTheSegmentCount) {
    const uint64_t zqhd = Offset("moov/zqhd");
    store_be32(&bytes[zqhd + 8 + 12], load_be32(&bytes[zqhd + 8 + 12]) + 0x01000000);  // LE +1
    EXPECT_EQ(Load(), MW_OUT_OF_RANGE);
}

TEST_F(DamagedIndex, EntriesOfTheWrongTrack) {
    Movie out(output);
    const auto* spix = As<CZHDSpixAtom>(out.zqhd().Child("spix"));
    // The first entry of segment 0 moves to the other track: that track's entries no
    // longer fit its range of samples.
    const uint64_t entry = spix->entries[0].offset + 8 + 16;
    bytes[entry + spix->entryWidth - 1] |= 0x80;
    EXPECT_EQ(Load(), MW_OUT_OF_RANGE);
}

TEST_F(DamagedIndex, ZeroDefaultDuration) {
    const uint64_t zqtk = Offset("moov/zqhd/zqtk");
    store_be32(&bytes[zqtk + 8 + 24], 0);
    EXPECT_EQ(Load(), MW_UNSUPPORTED);
}

}  // namespace
}  // namespace moovwright::testing
