// The folder watcher on real folders: files are reported once, only after they settle;
// what is not a media file is never reported; folders that vanish, overflow the watch limit
// or arrive later are handled.

#include "wharfkeep/host/folder_watcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "host_test_support.h"
#include "wait_until.h"

namespace wharfkeep::host {
namespace {

using namespace std::chrono_literals;
using testing::TempHome;

// Remembers every report with the size the file had when it was reported.
class RecordingListener : public FolderWatcher::Listener {
public:
    struct Report {
        std::string file;
        std::uintmax_t size = 0;
        std::chrono::steady_clock::time_point when;
    };

    void OnFilesSettled(const std::string& root, const std::vector<std::string>& files) override {
        std::lock_guard lock(mutex_);
        for (const std::string& file : files) {
            std::error_code error;
            reports_.push_back(
                {file, std::filesystem::file_size(file, error), std::chrono::steady_clock::now()});
            roots_.push_back(root);
        }
        changed_.notify_all();
    }
    void OnFilesGone(const std::string& root) override {
        std::lock_guard lock(mutex_);
        gone_.push_back(root);
        changed_.notify_all();
    }

    bool WaitForReports(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return reports_.size() >= count; });
    }
    bool WaitForGone(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return !gone_.empty(); });
    }
    std::vector<Report> Reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    std::map<std::string, int> CountsByFile() {
        std::map<std::string, int> counts;
        for (const Report& report : Reports()) {
            ++counts[report.file];
        }
        return counts;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
    std::vector<std::string> roots_;
    std::vector<std::string> gone_;
};

FolderWatcherOptions QuickOptions() {
    FolderWatcherOptions options;
    options.settle_time = 300ms;
    options.poll_interval = 50ms;
    options.rescan_interval = 60s;  // inotify alone, unless a test says otherwise
    options.fallback_rescan_interval = 200ms;
    return options;
}

// Waits until the watcher has ended `count` scan rounds in all.
bool WaitForScanRounds(const FolderWatcher& watcher, std::uint64_t count) {
    return platform::testing::WaitUntil([&] { return watcher.ScanRounds() >= count; });
}

void WriteFile(const std::filesystem::path& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
}

class FolderWatcherTest : public ::testing::Test {
protected:
    FolderWatcherTest() { std::filesystem::create_directories(Root()); }
    std::filesystem::path Root() const { return home.media(); }

    TempHome home;
    RecordingListener listener;
};

TEST_F(FolderWatcherTest, SlowlyWrittenFileIsReportedOnceWhenCompleteAndAfterItSettles) {
    FolderWatcher watcher(listener, QuickOptions());
    watcher.Watch(Root().string());
    ASSERT_TRUE(WaitForScanRounds(watcher, 1));  // the first scan ran on the empty folder

    const std::filesystem::path file = Root() / "slow.mp4";
    constexpr int kChunks = 8;
    {
        // Pauses shorter than the settling time, each chunk written and closed on its own
        // (every close is an IN_CLOSE_WRITE): nothing may be reported before the end.
        for (int i = 0; i < kChunks; ++i) {
            std::ofstream out(file, std::ios::binary | std::ios::app);
            out << std::string(4096, 'a' + i);
            out.close();
            std::this_thread::sleep_for(120ms);
        }
    }
    const auto finished = std::chrono::steady_clock::now();
    ASSERT_TRUE(listener.WaitForReports(1));
    std::this_thread::sleep_for(700ms);  // more than twice the settling time

    std::vector<RecordingListener::Report> reports = listener.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].file, file.string());
    EXPECT_EQ(reports[0].size, 4096u * kChunks);
    EXPECT_GE(reports[0].when + 150ms, finished + QuickOptions().settle_time);
}

TEST_F(FolderWatcherTest, FifosAndOtherNamesAreIgnoredAndNeverBlockTheWatcher) {
    FolderWatcher watcher(listener, QuickOptions());
    watcher.Watch(Root().string());
    ASSERT_TRUE(WaitForScanRounds(watcher, 1));
    ASSERT_EQ(::mkfifo((Root() / "pipe.mp4").c_str(), 0600), 0);
    WriteFile(Root() / "notes.txt", 10);
    WriteFile(Root() / "movie.MP4", 10);  // written last: once it is seen, the others were
    ASSERT_TRUE(listener.WaitForReports(1));
    // A second report could only follow another settling time (300 ms); nothing signals
    // that it will not come, so the test gives it that time and a little more.
    std::this_thread::sleep_for(400ms);
    std::map<std::string, int> counts = listener.CountsByFile();
    EXPECT_EQ(counts, (std::map<std::string, int>{{(Root() / "movie.MP4").string(), 1}}));
}

TEST_F(FolderWatcherTest, ManyFilesAtOnceAreEachReportedOnce) {
    FolderWatcher watcher(listener, QuickOptions());
    watcher.Watch(Root().string());
    ASSERT_TRUE(WaitForScanRounds(watcher, 1));
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i) {
        WriteFile(Root() / ("clip" + std::to_string(i) + ".mp4"), 100 + i);
    }
    ASSERT_TRUE(listener.WaitForReports(kFiles));
    std::this_thread::sleep_for(400ms);  // a settling time and more, for any second report
    std::map<std::string, int> counts = listener.CountsByFile();
    EXPECT_EQ(counts.size(), static_cast<std::size_t>(kFiles));
    for (const auto& [file, count] : counts) {
        EXPECT_EQ(count, 1) << file;
    }
}

TEST_F(FolderWatcherTest, FilesPresentBeforeAndInNewSubfoldersAreReported) {
    WriteFile(Root() / "early.mp4", 10);
    FolderWatcher watcher(listener, QuickOptions());
    watcher.Watch(Root().string() + "/");
    ASSERT_TRUE(listener.WaitForReports(1));

    // A folder moved in whole and a folder made and then filled.
    const std::filesystem::path elsewhere = home.path() / "elsewhere";
    std::filesystem::create_directories(elsewhere / "deep");
    WriteFile(elsewhere / "deep" / "moved.mp4", 10);
    std::filesystem::rename(elsewhere, Root() / "moved-in");
    std::filesystem::create_directories(Root() / "made" / "later");
    WriteFile(Root() / "made" / "later" / "new.mp4", 10);

    ASSERT_TRUE(listener.WaitForReports(3));
    std::map<std::string, int> counts = listener.CountsByFile();
    EXPECT_EQ(counts[(Root() / "early.mp4").string()], 1);
    EXPECT_EQ(counts[(Root() / "moved-in" / "deep" / "moved.mp4").string()], 1);
    EXPECT_EQ(counts[(Root() / "made" / "later" / "new.mp4").string()], 1);
}

TEST_F(FolderWatcherTest, DeletedWatchedFolderIsReportedGoneAndPickedUpWhenItReturns) {
    FolderWatcherOptions options = QuickOptions();
    options.rescan_interval = 300ms;
    FolderWatcher watcher(listener, options);
    WriteFile(Root() / "a.mp4", 10);
    watcher.Watch(Root().string());
    ASSERT_TRUE(listener.WaitForReports(1));

    std::filesystem::remove_all(Root());
    ASSERT_TRUE(listener.WaitForGone());
    // Rescans of a missing folder do nothing harmful.
    ASSERT_TRUE(WaitForScanRounds(watcher, watcher.ScanRounds() + 2));

    std::filesystem::create_directories(Root());
    WriteFile(Root() / "b.mp4", 10);
    ASSERT_TRUE(listener.WaitForReports(2));
    EXPECT_EQ(listener.Reports().back().file, (Root() / "b.mp4").string());
}

TEST_F(FolderWatcherTest, AnUnwatchedFolderReportsNothing) {
    FolderWatcher watcher(listener, QuickOptions());
    watcher.Watch(Root().string());
    watcher.Unwatch(Root().string());
    EXPECT_TRUE(watcher.Roots().empty());
    WriteFile(Root() / "a.mp4", 10);
    EXPECT_FALSE(listener.WaitForReports(1, 800ms));
}

TEST_F(FolderWatcherTest, AtTheWatchLimitRescansStillFindNewFiles) {
    std::filesystem::create_directories(Root() / "sub");
    FolderWatcherOptions options = QuickOptions();
    options.max_watches = 1;  // the root only; "sub" is beyond the limit
    FolderWatcher watcher(listener, options);
    watcher.Watch(Root().string());
    ASSERT_TRUE(WaitForScanRounds(watcher, 1));
    EXPECT_TRUE(watcher.Degraded());

    WriteFile(Root() / "sub" / "unwatched.mp4", 10);
    ASSERT_TRUE(listener.WaitForReports(1));
    EXPECT_EQ(listener.Reports()[0].file, (Root() / "sub" / "unwatched.mp4").string());
    // Rescans report a file again only when it changed: a file a rescan took for new would
    // be reported a settling time (300 ms) later, before the rescan after next (200 ms
    // apart) has ended.
    ASSERT_TRUE(WaitForScanRounds(watcher, watcher.ScanRounds() + 3));
    EXPECT_EQ(listener.Reports().size(), 1u);
}

TEST(PublishableNameTest, TakesTheMediaExtensionsInAnyCase) {
    EXPECT_TRUE(IsPublishableName("a.mp4"));
    EXPECT_TRUE(IsPublishableName("A.Mp4"));
    EXPECT_TRUE(IsPublishableName("b.zhd"));
    EXPECT_FALSE(IsPublishableName("a.mp4.part"));
    EXPECT_FALSE(IsPublishableName("mp4"));
}

}  // namespace
}  // namespace wharfkeep::host
