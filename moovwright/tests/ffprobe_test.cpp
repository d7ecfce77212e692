// Real files made by ffmpeg, read by the atom model and compared packet by packet with what
// ffprobe (an independent MP4 reader) reports for the same file.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "core/header_atoms.h"
#include "core/movie.h"
#include "core/table_atoms.h"
#include "ffmpeg_files.h"
#include "test_support.h"

namespace moovwright {
namespace {

using namespace test;

struct Packet {
    uint64_t position;
    uint32_t size;
    int64_t dts;
    int64_t pts;
    bool key;
};

// Packets per stream in decoding order, with the raw tables' times (edit lists ignored).
std::map<int, std::vector<Packet>> ProbePackets(const std::filesystem::path& path) {
    std::string out;
    const int status =
        Run("ffprobe -v error -ignore_editlist 1 -show_entries "
            "packet=stream_index,pts,dts,size,pos,flags -of compact=p=0 '" +
                path.string() + "'",
            &out);
    EXPECT_EQ(status, 0);
    std::map<int, std::vector<Packet>> streams;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> fields;
        std::istringstream parts(line);
        std::string part;
        while (std::getline(parts, part, '|')) {
            const auto eq = part.find('=');
            if (eq != std::string::npos) {
                fields[part.substr(0, eq)] = part.substr(eq + 1);
            }
        }
        Packet p{std::stoull(fields["pos"]), static_cast<uint32_t>(std::stoul(fields["size"])),
                 std::stoll(fields["dts"]), std::stoll(fields["pts"]), fields["flags"][0] == 'K'};
        streams[std::stoi(fields["stream_index"])].push_back(p);
    }
    return streams;
}

struct OpenedFile {
    CZHDPosixFileCtrl file;
    CZHDMovie movie;
};

std::unique_ptr<OpenedFile> OpenAndLoad(const std::filesystem::path& path) {
    auto opened = std::make_unique<OpenedFile>();
    EXPECT_EQ(opened->file.Open(path.c_str(), false), MW_OK);
    EXPECT_EQ(opened->movie.Open(&opened->file), MW_OK);
    EXPECT_EQ(opened->movie.LoadTracks(), MW_OK);
    return opened;
}

void ExpectSameAsProbe(const CZHDMovie& movie, const std::filesystem::path& path) {
    const auto streams = ProbePackets(path);
    ASSERT_EQ(movie.trackCount(), streams.size());
    for (const auto& [index, packets] : streams) {
        const CZHDTrack& track = *movie.track(static_cast<uint32_t>(index));
        ASSERT_EQ(track.sampleCount(), packets.size()) << "stream " << index;
        for (uint32_t i = 0; i < packets.size(); ++i) {
            SampleInfo s;
            ASSERT_EQ(track.GetSample(i, &s), MW_OK);
            const Packet& p = packets[i];
            ASSERT_EQ(s.position, p.position) << "stream " << index << " sample " << i;
            ASSERT_EQ(s.size, p.size) << "stream " << index << " sample " << i;
            ASSERT_EQ(s.decodingTime, p.dts) << "stream " << index << " sample " << i;
            ASSERT_EQ(s.compositionTime, p.pts) << "stream " << index << " sample " << i;
            ASSERT_EQ(s.sync == 1, p.key) << "stream " << index << " sample " << i;
        }
    }
}

class FfmpegFileTest : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override {
        if (FfmpegFiles().size() <= GetParam()) {
            GTEST_SKIP() << "ffmpeg with libx264 and aac is not available";
        }
    }
    const GeneratedFile& recipe() const { return FfmpegFiles()[GetParam()]; }
};

TEST_P(FfmpegFileTest, TablesAgreeWithFfprobe) {
    auto opened = OpenAndLoad(recipe().path);
    const CZHDMovie& movie = opened->movie;
    EXPECT_EQ(movie.kind, kMoviePlain);
    // moov first: the scan stops before the media data.
    EXPECT_EQ(movie.data == nullptr, recipe().moovFirst);
    ExpectSameAsProbe(movie, recipe().path);
}

TEST_P(FfmpegFileTest, TrackFacts) {
    auto opened = OpenAndLoad(recipe().path);
    const CZHDMovie& movie = opened->movie;
    for (uint32_t t = 0; t < movie.trackCount(); ++t) {
        const CZHDTrack& track = *movie.track(t);
        if (track.mediaKind() == kMediaVideo) {
            EXPECT_NE(track.atoms().stsd->Child("avc1"), nullptr);
            EXPECT_NE(track.atoms().stsd->Child("avc1")->Child("avcC"), nullptr);
            EXPECT_TRUE(track.hasSyncTable());
            EXPECT_EQ(track.hasCompositionTimes(), recipe().bFrames);
            EXPECT_EQ(track.defaultDuration(), track.timescale() / 25);
        } else {
            ASSERT_EQ(track.mediaKind(), kMediaAudio);
            CZHDAtom* mp4a = track.atoms().stsd->Child("mp4a");
            ASSERT_NE(mp4a, nullptr);
            auto* esds = As<CZHDEsdsAtom>(mp4a->Child("esds"));
            ASSERT_NE(esds, nullptr);
            EXPECT_TRUE(esds->hasDecoderConfig);
            EXPECT_EQ(esds->objectTypeIndication, 0x40);
            EXPECT_FALSE(esds->decoderSpecificInfo.empty());
            // AAC frames are 1024 samples; the last one is shorter.
            EXPECT_EQ(track.defaultDuration(), 1024u);
            EXPECT_GT(track.atoms().stts->entries.size(), 1u);
            EXPECT_FALSE(track.hasSyncTable());
        }
    }
}

// Every atom class writes back exactly what it read: the whole movie atom of a real file,
// read from disk or parsed from memory, is written out byte for byte.
TEST_P(FfmpegFileTest, MovieAtomRoundTrip) {
    auto opened = OpenAndLoad(recipe().path);
    const CZHDAtom& moov = *opened->movie.moov;
    const Bytes bytes = ReadFileBytes(recipe().path);
    const Bytes original(bytes.begin() + static_cast<long>(moov.position),
                         bytes.begin() + static_cast<long>(moov.position + moov.size));
    std::unique_ptr<CZHDAtom> copy;
    ASSERT_EQ(CloneAtom(moov, true, &copy), MW_OK);
    CZHDMemoryFileCtrl written;
    ASSERT_EQ(copy->Write(written), MW_OK);
    EXPECT_EQ(written.bytes(), original);

    CZHDContainerAtom parsed("moov");
    ASSERT_EQ(parsed.Parse(original.data(), original.size(), moov.position,
                           moov.position + original.size()),
              MW_OK);
    CZHDMemoryFileCtrl rewritten;
    ASSERT_EQ(parsed.Write(rewritten), MW_OK);
    EXPECT_EQ(rewritten.bytes(), original);
}

INSTANTIATE_TEST_SUITE_P(Files, FfmpegFileTest, ::testing::Range<size_t>(0, 5));

// A source with 64-bit chunk offsets: the moov of a moov-last file rewritten with co64
// tables (the media data does not move), read by both readers.
TEST(FfmpegCo64, SixtyFourBitChunkOffsets) {
    const auto& files = FfmpegFiles();
    if (files.empty()) {
        GTEST_SKIP() << "ffmpeg is not available";
    }
    const GeneratedFile& source = files[0];
    ASSERT_FALSE(source.moovFirst);
    auto opened = OpenAndLoad(source.path);
    CZHDAtom* moov = opened->movie.moov;
    for (uint32_t t = 0; t < opened->movie.trackCount(); ++t) {
        CZHDAtom* stbl = opened->movie.track(t)->atoms().stbl;
        CZHDAtom* found = nullptr;
        uint32_t index = 0;
        ASSERT_EQ(FindChild(stbl->children, "stco", 0, &found, &index), MW_OK);
        auto co64 = std::make_unique<CZHDCo64Atom>("co64");
        for (uint32_t offset : As<CZHDStcoAtom>(found)->entries) {
            co64->entries.push_back(offset);
        }
        stbl->children[index] = std::move(co64);
    }
    Bytes bytes = ReadFileBytes(source.path);
    bytes.resize(moov->position);
    CZHDMemoryFileCtrl written;
    ASSERT_EQ(written.Seek(moov->position), MW_OK);
    ASSERT_EQ(moov->Write(written), MW_OK);
    std::copy(bytes.begin(), bytes.end(), const_cast<uint8_t*>(written.bytes().data()));

    TempDir dir;
    const auto path = dir.path() / "co64.mp4";
    WriteFileBytes(path, written.bytes());
    auto reread = OpenAndLoad(path);
    for (uint32_t t = 0; t < reread->movie.trackCount(); ++t) {
        EXPECT_NE(reread->movie.track(t)->atoms().co64, nullptr);
        EXPECT_EQ(reread->movie.track(t)->atoms().stco, nullptr);
    }
    ExpectSameAsProbe(reread->movie, path);
}

}  // namespace
}  // namespace moovwright
