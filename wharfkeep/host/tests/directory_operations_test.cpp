// Directory operations of the host on a real database in a temporary application-data
// folder, with the engine double: scanning, queueing, withdrawing, resuming, refreshing,
// removing and exporting.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "file_text.h"
#include "host_test_support.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/link_export.h"

namespace wharfkeep::host {
namespace {

using testing::FakeEngine;
using testing::RecordingSink;
using testing::TempHome;

class DirectoryOperationsTest : public ::testing::Test, protected testing::OpenedDocument {
protected:
    std::string Folder() const { return home.media().string(); }
    std::string DirPath() const { return Folder() + "/"; }

    CPWTGuiderTreeNode* Import(const std::string& path) {
        std::atomic<int> counter{0};
        std::atomic<bool> cancel{false};
        return host->Directories().ImportDirectory(path, counter, cancel);
    }

    MediaRecord Row(const std::string& path) {
        const std::vector<MediaRecord> rows = host->Library().MediaAt(path);
        return rows.empty() ? MediaRecord{} : rows.front();
    }

    void StoreMediaStateForTest(const std::string& path, int state) {
        host->Library().StoreState(path, state);
    }

    // Publishes every unpublished file of the media folder and waits for all of them.
    void PublishAll(std::size_t expected) {
        ASSERT_EQ(host->Directories().PublishDirectory(DirPath()), expected);
        ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
        sink.Pump(*host);
    }
};

TEST_F(DirectoryOperationsTest, ImportCountsOnlyPublishableFilesAndCreatesTheNode) {
    home.WriteMedia("a.mp4");
    home.WriteMedia("b.MP4");
    home.WriteMedia("c.ghd");
    home.WriteMedia("sub/deeper/d.zhd");
    home.WriteMedia("a.mp4.sts");
    home.WriteMedia("notes.txt");
    home.WriteMedia("mp4");
    std::atomic<int> total{0};
    CountMediaFiles(Folder(), total);
    EXPECT_EQ(total.load(), 4);

    CPWTGuiderTreeNode* node = Import(Folder());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->kind, kNodeDirectory);
    EXPECT_EQ(node->label, "media");
    EXPECT_EQ(node->path, DirPath());
    EXPECT_EQ(node->file_count, 4);
    EXPECT_EQ(DirectoryItemText(*node), "media (0/4)");
    EXPECT_EQ(host->Navigation().DirectoryRoot()->children.back().get(), node);
    MediaRecord deep = Row(DirPath() + "sub/deeper/d.zhd");
    EXPECT_EQ(deep.state, kNotPublished);
    EXPECT_EQ(deep.file_size, 64);
    EXPECT_EQ(deep.file_date.size(), 19u);
}

TEST_F(DirectoryOperationsTest, SecondImportMakesNoNodeButUpdatesSizes) {
    std::string file = home.WriteMedia("a.mp4", 10);
    ASSERT_NE(Import(Folder()), nullptr);
    home.WriteMedia("a.mp4", 30);
    home.WriteMedia("new.mp4");
    EXPECT_EQ(Import(Folder()), nullptr);
    EXPECT_EQ(Row(file).file_size, 30);
    EXPECT_EQ(Row(DirPath() + "new.mp4").local_path, DirPath() + "new.mp4");
    EXPECT_EQ(host->Navigation().DirectoryRoot()->children.size(),
              2u);  // "添加新的目录" and one folder
}

TEST_F(DirectoryOperationsTest, CancelledImportStopsTheWalk) {
    for (int i = 0; i < 20; ++i) {
        home.WriteMedia("f" + std::to_string(i) + ".mp4");
    }
    std::atomic<int> counter{0};
    std::atomic<bool> cancel{true};
    host->Directories().ImportDirectory(Folder(), counter, cancel);
    EXPECT_EQ(counter.load(), 0);
}

TEST_F(DirectoryOperationsTest, AddDirectoryWorkerReportsProgress) {
    home.WriteMedia("a.mp4");
    home.WriteMedia("b.mp4");
    AddDirectoryWorker worker(host->Directories(), Folder());
    CPWTGuiderTreeNode* node = worker.Wait();
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(worker.finished());
    EXPECT_EQ(worker.ProgressText(), "2/2");
    EXPECT_EQ(worker.ProgressPercent(), 100);
}

TEST_F(DirectoryOperationsTest, PublishingStoresResultsAndCountsPublishedFiles) {
    std::string good = home.WriteMedia("good.mp4");
    std::string bad = home.WriteMedia("bad.mp4");
    engine->results[bad] = 26;
    CPWTGuiderTreeNode* node = Import(Folder());
    ASSERT_NE(node, nullptr);
    PublishAll(2);
    MediaRecord published = Row(good);
    EXPECT_EQ(published.state, kPublished);
    EXPECT_EQ(published.cid, FakeEngine::CidFor(good));
    EXPECT_EQ(published.sts_path, good + ".sts");
    EXPECT_FALSE(published.url.empty());
    EXPECT_EQ(published.publish_date.size(), 19u);
    EXPECT_EQ(Row(bad).state, kNotStreamable);
    EXPECT_EQ(node->published_count, 1);
    const std::vector<DirectoryRecord> rows = host->Library().Directories();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].published_count, 1);
}

TEST_F(DirectoryOperationsTest, FinishedFileHasItsSizeReadAgain) {
    std::string file = home.WriteMedia("a.mp4", 10);
    Import(Folder());
    // The engine grows the file (a restructuring or an appended box).
    engine->on_publish = [](const std::string& path) {
        std::ofstream(path, std::ios::app) << std::string(54, 'x');
    };
    PublishAll(1);
    EXPECT_EQ(Row(file).file_size, 64);
}

TEST_F(DirectoryOperationsTest, PublishingADirectoryTwiceQueuesNothingTheSecondTime) {
    home.WriteMedia("a.mp4");
    Import(Folder());
    engine->block = true;
    EXPECT_EQ(host->Directories().PublishDirectory(DirPath()), 1u);
    EXPECT_EQ(host->Directories().PublishDirectory(DirPath()), 0u);
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    FakeEngine::Release(*engine);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
}

// A failure that may pass (a full disk, an I/O error) is tried again when the operator asks
// for the folder with retry, as wharfkeepd and the control interface do; a file refused for
// its content is not, and the window's publish queues only unpublished files.
TEST_F(DirectoryOperationsTest, RetryQueuesFailedFilesAgainButNotRefusedOnes) {
    const std::string failed = home.WriteMedia("failed.mp4");
    const std::string refused = home.WriteMedia("refused.mp4");
    engine->results[failed] = 7;
    engine->results[refused] = 26;
    Import(Folder());
    PublishAll(2);
    ASSERT_EQ(Row(failed).state, kFailed);
    ASSERT_EQ(Row(refused).state, kNotStreamable);

    EXPECT_EQ(host->Directories().PublishDirectory(DirPath()), 0u);
    engine->results.erase(failed);
    EXPECT_EQ(host->Directories().PublishDirectory(DirPath(), /*retry_failed=*/true), 1u);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
    sink.Pump(*host);
    EXPECT_EQ(Row(failed).state, kPublished);
    EXPECT_EQ(Row(refused).state, kNotStreamable);
}

TEST_F(DirectoryOperationsTest, WithdrawingADirectoryUnqueuesAndWithdraws) {
    std::string first = home.WriteMedia("1.mp4");
    std::string second = home.WriteMedia("2.mp4");
    std::string third = home.WriteMedia("3.mp4");
    CPWTGuiderTreeNode* node = Import(Folder());
    PublishAll(3);
    ASSERT_EQ(node->published_count, 3);
    // Withdraw two of them, then queue those two again behind a blocked engine: one is
    // being published, the other queued, the first one still published.
    std::vector<MediaRecord> two{Row(second), Row(third)};
    host->Directories().WithdrawList(two);
    sink.Pump(*host);
    ASSERT_EQ(node->published_count, 1);
    engine->block = true;
    host->Directories().PublishDirectory(DirPath());
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    sink.Pump(*host);
    {
        std::lock_guard lock(engine->mutex);
        engine->unpublished.clear();
    }
    std::vector<MediaRecord> rows = host->Library().ListedUnder(DirPath());
    host->Directories().WithdrawDirectory(DirPath(), rows);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
    // The published file went through the engine; the queued one never reached it.
    std::lock_guard lock(engine->mutex);
    ASSERT_EQ(engine->unpublished.size(), 1u);
    EXPECT_EQ(engine->unpublished[0].first, FakeEngine::CidFor(first));
    EXPECT_EQ(engine->published.size(), 4u);  // three, then only the one being published
    EXPECT_EQ(node->published_count, 0);
    for (const std::string& path : {first, second, third}) {
        EXPECT_EQ(Row(path).state, kNotPublished) << path;
        EXPECT_TRUE(Row(path).sts_path.empty()) << path;
    }
}

TEST_F(DirectoryOperationsTest, WithdrawingAnUnpublishedFileDoesNotAbandonTheCurrentOne) {
    std::string busy = home.WriteMedia("busy.mp4");
    std::string idle = home.WriteMedia("idle.mp4");
    Import(Folder());
    engine->block = true;
    MediaRecord busy_row = Row(busy);
    host->Directories().Publish({busy_row});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    std::vector<MediaRecord> records{Row(idle)};
    ASSERT_EQ(records[0].state, kNotPublished);
    host->Directories().WithdrawList(records);
    sink.Pump(*host);
    {
        std::lock_guard lock(engine->mutex);
        EXPECT_EQ(engine->cancels, 0);
        EXPECT_TRUE(engine->in_publish);
    }
    FakeEngine::Release(*engine);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return Row(busy).state == kPublished; }));
}

TEST_F(DirectoryOperationsTest, WithdrawingTheFileBeingPublishedAbandonsIt) {
    std::string file = home.WriteMedia("a.mp4");
    Import(Folder());
    engine->block = true;
    host->Directories().PublishDirectory(DirPath());
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    sink.Pump(*host);
    ASSERT_EQ(Row(file).state, kPublishing);
    std::vector<MediaRecord> records{Row(file)};
    host->Directories().WithdrawList(records);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return host->Directories().PublishingIdle(); }));
    sink.Pump(*host);
    MediaRecord row = Row(file);
    EXPECT_EQ(row.state, kNotPublished);
    EXPECT_TRUE(row.cid.empty());
    EXPECT_TRUE(row.publish_date.empty());
}

TEST_F(DirectoryOperationsTest, StaleBeingPublishedRowIsResetWithoutCancelling) {
    std::string file = home.WriteMedia("a.mp4");
    Import(Folder());
    StoreMediaStateForTest(file, kPublishing);
    std::vector<MediaRecord> records{Row(file)};
    host->Directories().WithdrawList(records);
    sink.Pump(*host);
    EXPECT_EQ(Row(file).state, kNotPublished);
    std::lock_guard lock(engine->mutex);
    EXPECT_EQ(engine->cancels, 0);
}

TEST_F(DirectoryOperationsTest, ResumeListsBeingPublishedFilesFirst) {
    std::string queued = home.WriteMedia("queued.mp4");
    std::string half = home.WriteMedia("half.mp4");
    Import(Folder());
    StoreMediaStateForTest(queued, kWaiting);
    StoreMediaStateForTest(half, kPublishing);
    engine->block = true;
    host->Directories().ResumeUnfinished();
    ASSERT_EQ(sink.questions_asked.size(), 1u);
    EXPECT_EQ(sink.questions_asked[0], kResumeQuestion);
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    engine->block = false;
    FakeEngine::Release(*engine);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return Row(queued).state == kPublished; }));
    std::lock_guard lock(engine->mutex);
    EXPECT_EQ(engine->published, (std::vector<std::string>{half, queued}));
}

TEST_F(DirectoryOperationsTest, DecliningTheResumeResetsTheRows) {
    std::string queued = home.WriteMedia("queued.mp4");
    Import(Folder());
    StoreMediaStateForTest(queued, kWaiting);
    sink.answer_ = false;
    host->Directories().ResumeUnfinished();
    EXPECT_EQ(Row(queued).state, kNotPublished);
    host->Directories().ResumeUnfinished();  // nothing left to ask about
    EXPECT_EQ(sink.questions_asked.size(), 1u);
}

TEST_F(DirectoryOperationsTest, RefreshAddsNewFilesAndForgetsVanishedOnes) {
    std::string kept = home.WriteMedia("kept.mp4");
    std::string gone = home.WriteMedia("gone.mp4");
    CPWTGuiderTreeNode* node = Import(Folder());
    PublishAll(2);
    std::filesystem::remove(gone);
    std::string added = home.WriteMedia("added.mp4");
    host->Directories().RefreshDirectory(node);
    EXPECT_EQ(node->file_count, 2);
    EXPECT_EQ(node->published_count, 1);
    EXPECT_TRUE(Row(gone).local_path.empty());
    EXPECT_EQ(Row(added).state, kNotPublished);
    EXPECT_EQ(Row(kept).state, kPublished);
    // The vanished published file's descriptor is withdrawn too.
    std::lock_guard lock(engine->mutex);
    ASSERT_EQ(engine->unpublished.size(), 1u);
    EXPECT_EQ(engine->unpublished[0].second, gone + ".sts");
}

// Bytes this process has read through the kernel so far, the database's reads included.
std::uint64_t BytesReadSoFar() {
    std::ifstream in("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

// A rescan of a published folder, and publishing the folder again, look at each file's
// size, date and inode and read none of the files. A file replaced by another of the same
// size and date (only its inode differs) loses its publication and is published again; the
// file left alone is not.
TEST_F(DirectoryOperationsTest, RescanReadsNoPublishedFileAndPublishesAReplacedOneAgain) {
    constexpr std::size_t kSize = std::size_t{4} << 20;
    const std::string kept = home.WriteMedia("kept.mp4", kSize);
    const std::string replaced = home.WriteMedia("replaced.mp4", kSize);
    CPWTGuiderTreeNode* node = Import(Folder());
    ASSERT_NE(node, nullptr);
    PublishAll(2);

    const std::uint64_t before = BytesReadSoFar();
    host->Directories().RefreshDirectory(node);
    EXPECT_EQ(Import(Folder()), nullptr);
    EXPECT_EQ(host->Directories().PublishDirectory(DirPath(), /*retry_failed=*/true), 0u);
    EXPECT_LT(BytesReadSoFar() - before, kSize / 4) << "a published file was read";
    EXPECT_EQ(node->published_count, 2);

    struct stat original {};
    ASSERT_EQ(::stat(replaced.c_str(), &original), 0);
    const std::string replacement = replaced + ".part";
    {
        std::ofstream out(replacement, std::ios::binary);
        out << std::string(kSize, 'r');
    }
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, replacement.c_str(), times, 0), 0);
    ASSERT_EQ(::rename(replacement.c_str(), replaced.c_str()), 0);
    struct stat now {};
    ASSERT_EQ(::stat(replaced.c_str(), &now), 0);
    ASSERT_NE(now.st_ino, original.st_ino);
    ASSERT_EQ(now.st_size, original.st_size);

    host->Directories().RefreshDirectory(node);
    EXPECT_EQ(node->published_count, 1);
    EXPECT_EQ(Row(replaced).state, kNotPublished);
    EXPECT_EQ(Row(kept).state, kPublished);
    {
        std::lock_guard lock(engine->mutex);
        ASSERT_EQ(engine->unpublished.size(), 1u);
        EXPECT_EQ(engine->unpublished[0].first, FakeEngine::CidFor(replaced));
    }
    PublishAll(1);
    std::lock_guard lock(engine->mutex);
    const auto& published = engine->published;
    EXPECT_EQ(published.size(), 3u);
    EXPECT_EQ(std::count(published.begin(), published.end(), replaced), 2);
}

TEST_F(DirectoryOperationsTest, RemoveForgetsTheDirectoryAndItsFiles) {
    std::string file = home.WriteMedia("a.mp4");
    Import(Folder());
    PublishAll(1);
    host->Directories().RemoveDirectory(DirPath());
    sink.Pump(*host);
    EXPECT_TRUE(Row(file).local_path.empty());
    EXPECT_EQ(host->Navigation().DirectoryRoot()->children.size(), 1u);
    const std::vector<DirectoryRecord> rows = host->Library().Directories();
    EXPECT_TRUE(rows.empty());
}

// A publication and a withdrawal carry the recounted figures to the window's model: every
// directory holding the file shows its own count from the rows, however the folders nest.
TEST_F(DirectoryOperationsTest, RecountedFiguresReachEveryDirectoryHoldingTheFile) {
    std::string inner = home.WriteMedia("outer/inner/a.mp4");
    home.WriteMedia("b.mp4");
    CPWTGuiderTreeNode* outer = Import(Folder() + "/outer");
    CPWTGuiderTreeNode* whole = Import(Folder());
    ASSERT_NE(outer, nullptr);
    ASSERT_NE(whole, nullptr);
    PublishAll(2);
    EXPECT_EQ(whole->published_count, 2);
    EXPECT_EQ(outer->published_count, 1);

    std::vector<MediaRecord> records{Row(inner)};
    host->Directories().WithdrawList(records);
    sink.Pump(*host);
    EXPECT_EQ(whole->published_count, 1);
    EXPECT_EQ(outer->published_count, 0);

    // A message names one directory and its figure; the others keep theirs.
    AppPayload payload = AppPayload::Text(DirPath());
    host->Document().HandleAppMessage(AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT, 7, payload);
    EXPECT_EQ(whole->published_count, 7);
    EXPECT_EQ(outer->published_count, 0);
}

TEST_F(DirectoryOperationsTest, PublisherStoresOutcomesWithNoWindowAndNoMessageLoop) {
    sink.window_ = false;
    std::string good = home.WriteMedia("good.mp4");
    std::string also_good = home.WriteMedia("sub/also.mp4");
    std::string bad = home.WriteMedia("bad.mp4", 100);
    engine->results[bad] = 26;
    Import(Folder());
    ASSERT_EQ(host->Directories().PublishDirectory(DirPath()), 3u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!host->Directories().PublishingIdle() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(host->Directories().PublishingIdle());
    // Nothing was pumped: the rows and the count were written by the publisher itself.
    MediaRecord stored = Row(good);
    EXPECT_EQ(stored.state, kPublished);
    EXPECT_EQ(stored.cid, FakeEngine::CidFor(good));
    EXPECT_EQ(stored.sts_path, good + ".sts");
    EXPECT_EQ(Row(also_good).state, kPublished);
    EXPECT_EQ(Row(bad).state, kNotStreamable);
    EXPECT_EQ(Row(bad).file_size, 100);
    const std::vector<DirectoryRecord> rows = host->Library().Directories();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].published_count, 2);
    EXPECT_EQ(rows[0].file_count, 3);
    for (const testing::PostedMessage& posted : sink.Take()) {
        EXPECT_NE(posted.message, AppMessage::WM_APP_PUBLISH_FINISHED);
    }
}

TEST_F(DirectoryOperationsTest, ExportWritesEveryPublishedLinkUnderItsDirectory) {
    std::string file = home.WriteMedia("clip.mp4");
    home.WriteMedia("other.mp4");
    engine->results[home.media().string() + "/other.mp4"] = 7;
    Import(Folder());
    PublishAll(2);
    std::optional<std::filesystem::path> written = host->Directories().ExportLinks(std::nullopt);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, home.desktop() / "视频链接列表.txt");
    MediaRecord row = Row(file);
    std::string relinked = row.url + "|relinked=" + host->Settings().Access().access_ip + ":8189";
    EXPECT_EQ(platform::testing::file_text(*written),
              DirPath() + "\r\nclip.mp4\r\n" + EncodeLink(relinked) + "\r\n\r\n");
    // A second export does not overwrite the first.
    EXPECT_EQ(*host->Directories().ExportLinks(DirPath()), home.desktop() / "视频链接列表(1).txt");
}

TEST_F(DirectoryOperationsTest, LocatingAGcidHandsItsRecordToThePublishPage) {
    std::string file = home.WriteMedia("a.mp4");
    Import(Folder());
    PublishAll(1);
    AppPayload unknown = AppPayload::Text(std::string(40, '0'));
    host->Document().HandleAppMessage(AppMessage::WM_APP_LOCATE_MEDIA, 0, unknown);
    EXPECT_FALSE(unknown.record);
    AppPayload known = AppPayload::Text(FakeEngine::CidFor(file));
    host->Document().HandleAppMessage(AppMessage::WM_APP_LOCATE_MEDIA, 0, known);
    ASSERT_TRUE(known.record);
    EXPECT_EQ(known.record->local_path, file);
    std::vector<testing::PostedMessage> posted = sink.Take();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, AppMessage::WM_APP_SHOW_MEDIA);
    EXPECT_EQ(posted[0].payload.record->local_path, file);
}

TEST_F(DirectoryOperationsTest, UnpublishMessageWithdrawsTheDirectoryAndPublishMessageQueuesIt) {
    std::string file = home.WriteMedia("a.mp4");
    CPWTGuiderTreeNode* node = Import(Folder());
    AppPayload publish = AppPayload::Text(DirPath());
    host->Document().HandleAppMessage(AppMessage::WM_APP_PUBLISH_DIRECTORY, 0, publish);
    // The row is stored before the count message is posted: wait for both.
    ASSERT_TRUE(sink.PumpUntil(
        *host, [&] { return Row(file).state == kPublished && node->published_count == 1; }));
    AppPayload unpublish = AppPayload::Text(DirPath());
    host->Document().HandleAppMessage(AppMessage::WM_APP_UNPUBLISH_DIRECTORY, 0, unpublish);
    sink.Pump(*host);
    EXPECT_EQ(Row(file).state, kNotPublished);
    EXPECT_EQ(node->published_count, 0);
    std::lock_guard lock(engine->mutex);
    ASSERT_EQ(engine->unpublished.size(), 1u);
    EXPECT_EQ(engine->unpublished[0].second, file + ".sts");
}

TEST_F(DirectoryOperationsTest, ExportIntoAnUnwritablePlaceFails) {
    EXPECT_FALSE(
        host->Directories().ExportLinks(std::nullopt, home.path() / "missing" / "list.txt"));
}

}  // namespace
}  // namespace wharfkeep::host
