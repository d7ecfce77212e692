// Faults: verification proves the bytes and offsets of the output, large files get 64-bit
// offsets, and a job killed at any moment never costs the operator their file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "convert.h"
#include "core/file_ctrl.h"
#include "job_fixtures.h"
#include "job_record.h"
#include "layout_reader.h"

namespace moovwright::testing {
namespace {

namespace fs = std::filesystem;

// Writes the layout of `source` to `output` as the job's write pass does.
SampleChecksums write_layout_file(const fs::path& source, const fs::path& output,
                                  LayoutLimits limits = {},
                                  ChecksumScope scope = ChecksumScope::kEverySample) {
    LoadedMovie movie(source);
    const LayoutSource layout = LayoutSourceOf(movie.movie, movie.file);
    CZHDPosixFileCtrl out;
    EXPECT_EQ(out.Open(output.c_str(), true), MW_OK);
    JobControl control;
    SampleChecksums checksums;
    EXPECT_EQ(WriteStreamingLayout(layout, out, control, &checksums, limits, scope), MW_OK);
    EXPECT_EQ(out.Close(), MW_OK);
    return checksums;
}

uint32_t verify(const fs::path& source, const fs::path& output, const SampleChecksums& sums,
                ByteProof proof = ByteProof::kEverySample) {
    LoadedMovie a(source);
    CZHDPosixFileCtrl file;
    EXPECT_EQ(file.Open(output.c_str(), false), MW_OK);
    CZHDMovie b;
    EXPECT_EQ(b.Open(&file), MW_OK);
    JobControl control;
    return VerifyOutput(a.movie, b, output.string(), sums, control, proof);
}

class Verification : public ::testing::Test {
protected:
    void SetUp() override {
        source = clip_in(folder, "bframes_gop12", {});
        output = folder.file("out.mp4");
        checksums = write_layout_file(source, output);
        bytes = read_bytes(output);
    }
    // Offset in the output of sample `index` of track `t`, from the private index.
    uint64_t sample_position(uint32_t t, uint32_t index) {
        CZHDPosixFileCtrl file;
        EXPECT_EQ(file.Open(output.c_str(), false), MW_OK);
        CZHDMovie movie;
        EXPECT_EQ(movie.Open(&file), MW_OK);
        std::vector<std::unique_ptr<CZHDZhdTrack>> tracks;
        EXPECT_EQ(LoadLayoutTracks(*As<CZHDZqhdAtom>(movie.zqhd), file, tracks), MW_OK);
        SampleInfo info;
        EXPECT_EQ(tracks[t]->GetSample(index, &info), MW_OK);
        return info.position;
    }

    ScratchFolder folder;
    fs::path source;
    fs::path output;
    SampleChecksums checksums;
    std::vector<uint8_t> bytes;
};

TEST_F(Verification, PassesAFaithfulOutput) {
    EXPECT_EQ(verify(source, output, checksums), MW_OK);
}

TEST_F(Verification, ChangedSampleBytesFail) {
    bytes[sample_position(1, 40) + 3] ^= 0x5A;
    write_bytes(output, bytes);
    EXPECT_EQ(verify(source, output, checksums), MW_SAMPLE_POS_MISMATCH);
}

// The job keeps checksums of the spot-checked samples only: they are the ones it reads
// back, so a faithful output still passes and a change to any of them is still caught.
TEST_F(Verification, SpotCheckedChecksumsCatchChangesToTheSamplesReadBack) {
    const SampleChecksums spot = write_layout_file(source, output, {}, ChecksumScope::kSpotChecks);
    ASSERT_EQ(spot.size(), checksums.size());
    for (size_t t = 0; t < spot.size(); ++t) {
        const auto count = static_cast<uint32_t>(spot[t].size());
        for (uint32_t i = 0; i < count; ++i) {
            if (SpotChecked(i, count)) {
                EXPECT_EQ(spot[t][i], checksums[t][i]) << "track " << t << " sample " << i;
            }
        }
    }
    EXPECT_EQ(verify(source, output, spot, ByteProof::kSpotChecks), MW_OK);
    for (const bool last : {false, true}) {
        SCOPED_TRACE(last ? "last sample" : "first sample");
        std::vector<uint8_t> changed = bytes;
        const auto index = last ? static_cast<uint32_t>(spot[1].size() - 1) : 0u;
        changed[sample_position(1, index)] ^= 0x5A;
        write_bytes(output, changed);
        EXPECT_EQ(verify(source, output, spot, ByteProof::kSpotChecks), MW_SAMPLE_POS_MISMATCH);
    }
}

TEST_F(Verification, ChunkOffsetsThatDisagreeWithTheIndexFail) {
    // Point the video's fifth chunk one byte further: same tables, wrong place.
    const AtomSpan stco = find_atom(bytes, "moov/trak/mdia/minf/stbl/stco");
    ASSERT_NE(stco.size, 0u);
    uint8_t* entry = &bytes[stco.offset + 16 + 4 * 4];
    store_be32(entry, load_be32(entry) + 1);
    write_bytes(output, bytes);
    EXPECT_EQ(verify(source, output, checksums), MW_SAMPLE_POS_MISMATCH);
}

TEST_F(Verification, ChecksumsOfAnotherFileFail) {
    checksums[0][0] ^= 1;
    EXPECT_EQ(verify(source, output, checksums), MW_SAMPLE_POS_MISMATCH);
}

TEST_F(Verification, ACompositionOffsetTheIndexCannotHoldFails) {
    // Composition offsets that are not whole sample durations cannot be kept in the index:
    // reading it back gives other composition times.
    std::vector<uint8_t> patched = read_bytes(source);
    const AtomSpan ctts = find_atom(patched, "moov/trak/mdia/minf/stbl/ctts");
    ASSERT_NE(ctts.size, 0u);
    uint8_t* firstOffset = &patched[ctts.offset + 16 + 4];
    store_be32(firstOffset, load_be32(firstOffset) + 1);
    write_bytes(source, patched);
    const SampleChecksums sums = write_layout_file(source, output);
    EXPECT_EQ(verify(source, output, sums), MW_SAMPLE_CTS_MISMATCH);
}

TEST(LargeOutputs, GetSixtyFourBitOffsetsInsteadOfWrappedOnes) {
    // With the 32-bit limit lowered below the file's size, the writer must switch every
    // track to co64 and the mdat to a 64-bit size, exactly as it does at 4 GiB.
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {}, "original.mp4");
    const fs::path work = folder.file("clip.mp4");
    fs::copy_file(clip, work);
    JobHooks hooks;
    hooks.layout_limits.largest32BitValue = 20000;
    ASSERT_EQ(restructure(work, hooks), MW_OK);
    const std::vector<uint8_t> bytes = read_bytes(work);
    for (int t = 0; t < 2; ++t) {
        const AtomSpan trak = find_atom(bytes, "moov/trak", t);
        std::vector<AtomSpan> level = child_atoms(bytes, trak);
        for (const char* step : {"mdia", "minf", "stbl"}) {
            for (const AtomSpan& a : level) {
                if (a.type == step) {
                    level = child_atoms(bytes, a);
                    break;
                }
            }
        }
        std::vector<std::string> types;
        for (const AtomSpan& a : level)
            types.push_back(a.type);
        EXPECT_EQ(std::count(types.begin(), types.end(), "co64"), 1) << "track " << t;
        EXPECT_EQ(std::count(types.begin(), types.end(), "stco"), 0) << "track " << t;
    }
    const AtomSpan mdat = find_atom(bytes, "mdat");
    EXPECT_EQ(mdat.header, 16u);
    EXPECT_EQ(framemd5(work), framemd5(clip));
    EXPECT_EQ(ffprobe_errors(work), "");
}

// ---- killed jobs ----

// Runs a synchronous job on `path` in a child process and kills it after `delay`.
void run_and_kill(const fs::path& path, std::chrono::microseconds delay) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CMoovwright job;
        job.SetFile(path.c_str());
        job.Start();
        ::_exit(job.GetResult() == MW_OK ? 0 : 1);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST(KilledJobs, NeverLeaveTheSourceDamagedOrMissing) {
    ScratchFolder folder;
    const fs::path original = clip_in(
        folder, "kill_clip",
        [] {
            ClipOptions o;
            o.seconds = 6;
            o.width = 320;
            o.height = 240;
            return o;
        }(),
        "original.mp4");
    const std::vector<uint8_t> before = read_bytes(original);
    const fs::path work = folder.file("clip.mp4");

    // The restructured file, and how long a whole job takes here.
    fs::copy_file(original, work);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(restructure(work), MW_OK);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    const std::vector<uint8_t> after = read_bytes(work);

    std::mt19937 random(12345);
    std::uniform_int_distribution<int64_t> moment(0, whole.count());
    int original_seen = 0;
    int restructured_seen = 0;
    for (int run = 0; run < 24; ++run) {
        fs::copy_file(original, work, fs::copy_options::overwrite_existing);
        run_and_kill(work, std::chrono::microseconds(moment(random)));
        ASSERT_TRUE(fs::exists(work)) << "run " << run;
        const std::vector<uint8_t> now = read_bytes(work);
        if (now == before) {
            ++original_seen;
        } else {
            ASSERT_EQ(now, after) << "run " << run << ": neither the original nor the new file";
            ++restructured_seen;
        }
        // A killed job may leave its temporary file; it never replaces anything.
        for (const auto& entry : fs::directory_iterator(folder.path())) {
            if (entry.path().extension() == ".tmp")
                fs::remove(entry.path());
        }
    }
    EXPECT_EQ(original_seen + restructured_seen, 24);
    RecordProperty("original_seen", original_seen);
    RecordProperty("restructured_seen", restructured_seen);
    std::printf("killed jobs: %d left the original, %d the restructured file\n", original_seen,
                restructured_seen);
}

// A job killed after writing part of its temporary file leaves it behind; the next job (of
// any file) removes it, while files that only look like temporary names stay.
TEST(KilledJobs, LeftoverTemporaryFilesGoBeforeTheNextJob) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    const fs::path other = clip_in(folder, "bframes_gop12", {}, "other.mp4");
    write_bytes(folder.file("other.mp4_0.tmp"), {1, 2, 3});  // the operator's
    write_bytes(folder.file("clip.mp4_7.tmp"), {});          // the operator's, empty

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        JobHooks hooks;
        hooks.convert = [](const std::string&, const std::string& temp, JobControl&) -> uint32_t {
            write_bytes(temp, std::vector<uint8_t>(100000, 7));
            ::_exit(0);  // dies in the middle of the job
        };
        CMoovwright job(std::move(hooks));
        job.SetFile(clip.c_str());
        job.Start();
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(fs::exists(folder.file("clip.mp4_0.tmp"))) << "the kill left nothing behind";

    EXPECT_EQ(restructure(other), MW_OK);
    EXPECT_EQ(folder.listing(), (std::vector<std::string>{"clip.mp4", "clip.mp4_7.tmp", "other.mp4",
                                                          "other.mp4_0.tmp"}));
    EXPECT_EQ(read_bytes(folder.file("other.mp4_0.tmp")), (std::vector<uint8_t>{1, 2, 3}));
    const fs::path records = folder.path() / "home" / "jobs";
    EXPECT_TRUE(!fs::exists(records) || fs::is_empty(records)) << "records of ended jobs stay";
}

// A record whose temporary file was replaced by another file (another inode) of the same
// name does not remove it.
TEST(KilledJobs, ARecordNeverRemovesAFileItDidNotCreate) {
    ScratchFolder folder;
    const fs::path records = folder.path() / "home" / "jobs";
    const fs::path look_alike = folder.file("clip.mp4_0.tmp");
    {
        JobRecord record(records);
        write_bytes(look_alike, {9});
        struct stat status {};
        ASSERT_EQ(::stat(look_alike.c_str(), &status), 0);
        record.Created(look_alike.string(), status.st_dev, status.st_ino + 1);
        // A running job's record is locked: nothing is removed while it lives.
        EXPECT_EQ(RemoveLeftoversOfDeadJobs(records), 0);
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(RemoveLeftoversOfDeadJobs(records) == 0 && fs::exists(look_alike) ? 0 : 1);
        int status_code = 0;
        ::waitpid(child, &status_code, 0);
        EXPECT_EQ(WEXITSTATUS(status_code), 0) << "another process removed a running job's file";
    }
    EXPECT_TRUE(fs::exists(look_alike));
}

}  // namespace
}  // namespace moovwright::testing
