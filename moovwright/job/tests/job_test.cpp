// The job around the conversion: temporary names, the replacement of the source, the
// interface's states and threads, cancellation and the advise calls.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "convert.h"
#include "core/result.h"
#include "job_fixtures.h"
#include "platform/manual_reset_event.h"

namespace moovwright::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RecordingAdvise final : public IStreamAdvise {
public:
    uint32_t OnStreamDone() override { return Finish(MW_OK); }
    uint32_t OnStreamError(uint32_t result) override { return Finish(result); }
    bool WaitFor(std::chrono::milliseconds timeout) { return done.wait_for(timeout); }

    std::atomic<uint32_t> result{~0u};
    std::atomic<int> calls{0};
    std::thread::id thread;
    std::function<void()> onCall;
    platform::ManualResetEvent done;

private:
    uint32_t Finish(uint32_t code) {
        thread = std::this_thread::get_id();
        result = code;
        ++calls;
        if (onCall)
            onCall();
        done.set();
        return 0;
    }
};

TEST(JobInterface, ErrorTextsAndSynchronousCancel) {
    CMoovwright job;
    EXPECT_STREQ(job.GetErrorText(MW_OK), "成功");
    EXPECT_STREQ(job.GetErrorText(MW_SAMPLE_POS_MISMATCH), "sample pos不一致");
    EXPECT_STREQ(job.GetErrorText(99), "未知错误");
    EXPECT_EQ(job.Cancel(), MW_E_FAIL);  // synchronous by default
    EXPECT_EQ(job.SetFile(nullptr), MW_E_POINTER);
    EXPECT_EQ(job.SetSync(0), MW_OK);
    EXPECT_EQ(job.Cancel(), MW_OK);  // nothing running: no effect
}

TEST(JobInterface, TemporaryNameSkipsOnesInUse) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    write_bytes(folder.file("clip.mp4_0.tmp"), {1, 2, 3});
    std::string used;
    JobHooks hooks;
    hooks.convert = [&](const std::string& source, const std::string& temp, JobControl& control) {
        used = temp;
        return convert_to_streaming_layout(source, temp, control);
    };
    EXPECT_EQ(restructure(clip, hooks), MW_OK);
    EXPECT_EQ(used, folder.file("clip.mp4_1.tmp").string());
    // Someone else's file is left alone.
    EXPECT_EQ(read_bytes(folder.file("clip.mp4_0.tmp")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(folder.listing(), (std::vector<std::string>{"clip.mp4", "clip.mp4_0.tmp"}));
}

TEST(JobInterface, FailedReplacementKeepsTheSourceAndRemovesTheTemporaryFile) {
    for (const char* failing : {"fsync", "rename"}) {
        ScratchFolder folder;
        const fs::path clip = clip_in(folder, "bframes_gop12", {});
        const std::vector<uint8_t> before = read_bytes(clip);
        JobHooks hooks;
        hooks.replace_fault = [&](std::string_view step) { return step == failing; };
        EXPECT_EQ(restructure(clip, hooks), MW_FAIL) << failing;
        EXPECT_EQ(read_bytes(clip), before) << failing;
        EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"}) << failing;
    }
}

// A source written to while it is being restructured is left as it is now: the job gives up
// with 1 instead of replacing it with a copy of what it read before.
TEST(JobInterface, ASourceChangedDuringTheJobIsNotReplaced) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> changes = {
        {"appended",
         [](const fs::path& source) {
             std::vector<uint8_t> bytes = read_bytes(source);
             bytes.insert(bytes.end(), {'m', 'o', 'r', 'e'});
             write_bytes(source, bytes);
         }},
        {"overwritten in the middle, same size",
         [](const fs::path& source) {
             std::vector<uint8_t> bytes = read_bytes(source);
             bytes[bytes.size() / 2] ^= 0xFF;
             write_bytes(source, bytes);
         }},
        {"replaced by another file",
         [](const fs::path& source) {
             const std::vector<uint8_t> bytes = read_bytes(source);
             fs::remove(source);
             write_bytes(source, bytes);
         }},
    };
    for (const auto& [what, change] : changes) {
        ScratchFolder folder;
        const fs::path clip = clip_in(folder, "bframes_gop12", {});
        std::vector<uint8_t> changed;
        JobHooks hooks;
        hooks.convert = [&](const std::string& source, const std::string& temp,
                            JobControl& control) {
            const uint32_t result = convert_to_streaming_layout(source, temp, control);
            change(source);
            changed = read_bytes(source);
            return result;
        };
        EXPECT_EQ(restructure(clip, hooks), MW_FAIL) << what;
        EXPECT_EQ(read_bytes(clip), changed) << what << ": the change must survive";
        EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"}) << what;
    }
}

TEST(JobInterface, ReplacementKeepsPermissionsAndSymbolicLinks) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {}, "real.mp4");
    ASSERT_EQ(::chmod(clip.c_str(), 0640), 0);
    fs::create_symlink("real.mp4", folder.file("link.mp4"));
    EXPECT_EQ(restructure(folder.file("link.mp4")), MW_OK);
    EXPECT_TRUE(fs::is_symlink(folder.file("link.mp4")));
    struct stat status {};
    ASSERT_EQ(::stat(clip.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_NE(find_atom(read_bytes(clip), "moov/zqhd").size, 0u);
    EXPECT_EQ(folder.listing(), (std::vector<std::string>{"link.mp4", "real.mp4"}));
}

// Descriptors of this process open on `path` after it lost its name.
std::vector<std::string> open_deleted(const fs::path& path) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (!error && target == path.string() + " (deleted)")
            found.push_back(target);
    }
    return found;
}

// The replaced file is freed beside the caller, never changed: another name of it keeps the
// original bytes, and once the job's releases are waited for nothing holds it open.
TEST(JobInterface, TheReplacedFileIsReleasedUnchanged) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    const std::vector<uint8_t> original = read_bytes(clip);
    fs::create_hard_link(clip, folder.file("kept.mp4"));
    CMoovwright job;
    job.SetFile(clip.c_str());
    ASSERT_EQ(job.Start(), MW_OK);
    ASSERT_EQ(job.GetResult(), MW_OK);
    job.WaitForDisplacedFiles();
    EXPECT_EQ(read_bytes(folder.file("kept.mp4")), original);
    EXPECT_NE(find_atom(read_bytes(clip), "moov/zqhd").size, 0u);

    const fs::path alone = clip_in(folder, "bframes_gop12", {}, "alone.mp4");
    job.SetFile(alone.c_str());
    ASSERT_EQ(job.Start(), MW_OK);
    ASSERT_EQ(job.GetResult(), MW_OK);
    job.WaitForDisplacedFiles();
    EXPECT_EQ(open_deleted(alone), std::vector<std::string>{});
}

TEST(DisplacedFiles, ReleaseClosesTheDescriptor) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);  // an open writing end: EAGAIN, not a wait
    DisplacedFileRelease release;
    release.Release(FileDescriptor(ends[1]));
    release.Wait();
    char byte = 0;
    EXPECT_EQ(::read(ends[0], &byte, 1), 0) << "the writing end is closed: end of file";
    ::close(ends[0]);
}

TEST(JobInterface, PathsWhoseDerivedNamesDoNotFitAreRejected) {
    ScratchFolder folder;
    std::string path = folder.path().string() + "/";
    path += std::string(kMaxPathBytes - path.size() - 3, 'a');
    EXPECT_EQ(restructure(path), MW_FAIL);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{});
}

TEST(JobInterface, QuotesAndPercentSignsInPaths) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {}, "it's 100% \"done\".mp4");
    EXPECT_EQ(restructure(clip), MW_OK);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"it's 100% \"done\".mp4"});
}

TEST(JobInterface, StartsAgainWithTheSameSettings) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    CMoovwright job;
    job.SetFile(clip.c_str());
    ASSERT_EQ(job.Start(), MW_OK);
    ASSERT_EQ(job.GetResult(), MW_OK);
    EXPECT_EQ(job.GetProgress(), 100u);
    const std::vector<uint8_t> once = read_bytes(clip);
    // A file already in the layout is laid out again to the same bytes.
    ASSERT_EQ(job.Start(), MW_OK);
    EXPECT_EQ(job.GetResult(), MW_OK);
    EXPECT_EQ(read_bytes(clip), once);
}

TEST(AsynchronousJob, AdvisesOnTheWorkerThread) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    RecordingAdvise advise;
    CMoovwright job;
    job.SetAdvise(&advise);
    job.SetFile(clip.c_str());
    job.SetSync(0);
    ASSERT_EQ(job.Start(), MW_OK);
    ASSERT_TRUE(advise.WaitFor(30s));
    EXPECT_EQ(advise.result, MW_OK);
    EXPECT_EQ(advise.calls, 1);
    EXPECT_NE(advise.thread, std::this_thread::get_id());
    EXPECT_EQ(job.GetResult(), MW_OK);
}

TEST(AsynchronousJob, SettersRefuseWhileRunningAndCancelStopsIt) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    const std::vector<uint8_t> before = read_bytes(clip);
    RecordingAdvise advise;
    JobHooks hooks;
    CMoovwright* running = nullptr;
    std::vector<uint32_t> refusals;
    hooks.on_sample_written = [&](uint64_t written) {
        if (written != 10)
            return;
        refusals = {running->SetFile("other.mp4"), running->SetSync(1), running->SetAdvise(nullptr),
                    running->Start()};
        running->Cancel();
    };
    CMoovwright job(hooks);
    running = &job;
    job.SetAdvise(&advise);
    job.SetFile(clip.c_str());
    job.SetSync(0);
    ASSERT_EQ(job.Start(), MW_OK);
    ASSERT_TRUE(advise.WaitFor(30s));
    EXPECT_EQ(refusals, std::vector<uint32_t>(4, MW_E_FAIL));
    EXPECT_EQ(advise.result, MW_CANCELLED);
    EXPECT_EQ(job.GetResult(), MW_CANCELLED);
    EXPECT_EQ(read_bytes(clip), before);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"});
}

TEST(AsynchronousJob, ReleasingCancelsAndWaits) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    const std::vector<uint8_t> before = read_bytes(clip);
    RecordingAdvise advise;
    platform::ManualResetEvent started;
    JobHooks hooks;
    hooks.on_sample_written = [&](uint64_t) {
        started.set();
        std::this_thread::sleep_for(1ms);
    };
    auto job = std::make_unique<CMoovwright>(hooks);
    job->SetAdvise(&advise);
    job->SetFile(clip.c_str());
    job->SetSync(0);
    ASSERT_EQ(job->Start(), MW_OK);
    ASSERT_TRUE(started.wait_for(30s));
    job.reset();
    // The job had ended by the time the destructor returned.
    EXPECT_TRUE(advise.done.is_set());
    EXPECT_EQ(advise.result, MW_CANCELLED);
    EXPECT_EQ(read_bytes(clip), before);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"});
}

TEST(AsynchronousJob, TheAdviseCallMayReleaseTheJob) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    // Never destroyed: the released job's worker thread is detached, nothing can wait for
    // it to return from the advise call.
    static RecordingAdvise& advise = *std::make_unique<RecordingAdvise>().release();
    auto job = std::make_unique<CMoovwright>();
    advise.onCall = [&] { job.reset(); };
    job->SetAdvise(&advise);
    job->SetFile(clip.c_str());
    job->SetSync(0);
    ASSERT_EQ(job->Start(), MW_OK);
    ASSERT_TRUE(advise.WaitFor(30s));
    EXPECT_EQ(advise.result, MW_OK);
    EXPECT_EQ(job, nullptr);
}

TEST(AsynchronousJob, AThreadThatCannotBeCreatedGivesFailure) {
    ScratchFolder folder;
    const fs::path clip = clip_in(folder, "bframes_gop12", {});
    RecordingAdvise advise;
    JobHooks hooks;
    hooks.launch_thread = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    CMoovwright job(hooks);
    job.SetAdvise(&advise);
    job.SetFile(clip.c_str());
    job.SetSync(0);
    EXPECT_EQ(job.Start(), MW_OK);
    EXPECT_EQ(job.GetResult(), MW_FAIL);
    EXPECT_EQ(advise.result, MW_FAIL);
    EXPECT_EQ(advise.calls, 1);
    // Not left marked as running.
    EXPECT_EQ(job.SetSync(1), MW_OK);
    EXPECT_EQ(folder.listing(), std::vector<std::string>{"clip.mp4"});
}

}  // namespace
}  // namespace moovwright::testing
