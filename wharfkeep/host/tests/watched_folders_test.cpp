// Watched folders through the document, with the engine double: settled files are
// published once and whole, replaced ones again, deleted ones forgotten; the choice is
// stored; a folder that is not watched publishes nothing by itself.

#include "wharfkeep/host/watched_folders.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "host_test_support.h"
#include "wharfkeep/host/host.h"
#include "wharfkeep/host/host_test_access.h"

namespace wharfkeep::host {
namespace {

using namespace std::chrono_literals;
using testing::FakeEngine;
using testing::RecordingSink;
using testing::TempHome;

FolderWatcherOptions QuickOptions() {
    FolderWatcherOptions options;
    options.settle_time = 300ms;
    options.poll_interval = 50ms;
    options.rescan_interval = 60s;
    return options;
}

class WatchedFoldersTest : public ::testing::Test {
protected:
    WatchedFoldersTest() : engine(std::make_shared<FakeEngine::State>()) {
        std::filesystem::create_directories(home.media());
        OpenDocument();
        // The size each file had when the engine took it.
        engine->on_publish = [this](const std::string& path) {
            std::error_code error;
            std::lock_guard lock(sizes_mutex);
            sizes_at_publish[path] = std::filesystem::file_size(path, error);
        };
    }
    ~WatchedFoldersTest() override { host.reset(); }

    void OpenDocument() {
        host.reset();
        host = std::make_unique<Host>(sink, std::make_unique<FakeEngine>(engine));
        host->Open();
    }

    std::string DirPath() const { return home.media().string() + "/"; }

    CPWTGuiderTreeNode* AddFolder() {
        std::atomic<int> counter{0};
        std::atomic<bool> cancel{false};
        return host->Directories().ImportDirectory(home.media().string(), counter, cancel);
    }

    std::vector<std::string> Published() {
        std::lock_guard lock(engine->mutex);
        return engine->published;
    }

    // Pumps the document's messages until the engine has published `count` files.
    bool PumpUntilPublished(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        return sink.PumpUntil(
            *host,
            [&] { return Published().size() >= count && host->Directories().PublishingIdle(); },
            timeout);
    }

    int StateOf(const std::string& path) {
        std::vector<MediaRecord> rows = host->Library().MediaAt(path);
        return rows.empty() ? -100 : rows.front().state;
    }

    TempHome home;
    RecordingSink sink;
    std::shared_ptr<FakeEngine::State> engine;
    std::unique_ptr<Host> host;
    std::mutex sizes_mutex;
    std::map<std::string, std::uintmax_t> sizes_at_publish;
};

TEST_F(WatchedFoldersTest, FileCopiedSlowlyIsPublishedOnceWholeAfterItSettles) {
    ASSERT_NE(AddFolder(), nullptr);
    ASSERT_TRUE(host->Watched().SetWatched(DirPath(), true));
    host->Watched().Start(QuickOptions());

    const std::string file = home.media().string() + "/arriving.mp4";
    for (int i = 0; i < 6; ++i) {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out << std::string(8192, 'v');
        out.close();
        sink.Pump(*host);
        std::this_thread::sleep_for(120ms);
    }
    ASSERT_TRUE(PumpUntilPublished(1));
    sink.PumpUntil(
        *host, [] { return false; }, 800ms);  // later events publish nothing more

    EXPECT_EQ(Published(), std::vector<std::string>{file});
    std::lock_guard lock(sizes_mutex);
    EXPECT_EQ(sizes_at_publish[file], 6u * 8192u);
    EXPECT_EQ(StateOf(file), kPublished);
}

TEST_F(WatchedFoldersTest, FolderNotWatchedPublishesNothingByItself) {
    ASSERT_NE(AddFolder(), nullptr);
    host->Watched().Start(QuickOptions());
    home.WriteMedia("quiet.mp4", 100);
    sink.PumpUntil(
        *host, [] { return false; }, 1200ms);
    EXPECT_TRUE(Published().empty());

    // Switched on and off again before anything settles: still nothing.
    ASSERT_TRUE(host->Watched().SetWatched(DirPath(), true));
    ASSERT_TRUE(host->Watched().SetWatched(DirPath(), false));
    home.WriteMedia("second.mp4", 100);
    sink.PumpUntil(
        *host, [] { return false; }, 1200ms);
    EXPECT_TRUE(Published().empty());
}

TEST_F(WatchedFoldersTest, OnlyAddedFoldersCanBeWatchedAndTheChoiceSurvivesARestart) {
    EXPECT_FALSE(host->Watched().SetWatched(home.path().string() + "/unknown/", true));
    ASSERT_NE(AddFolder(), nullptr);
    ASSERT_TRUE(host->Watched().SetWatched(home.media().string(), true));  // without the "/"
    EXPECT_EQ(host->Watched().Folders(), std::vector<std::string>{DirPath()});

    OpenDocument();
    EXPECT_TRUE(host->Watched().IsWatched(DirPath()));

    // Removing the folder stops the watching for good.
    host->Directories().RemoveDirectory(DirPath());
    OpenDocument();
    EXPECT_TRUE(host->Watched().Folders().empty());
}

TEST_F(WatchedFoldersTest, FilesAlreadyPublishedAreLeftAloneAtStartAndReplacedOnesPublishedAgain) {
    const std::string kept = home.WriteMedia("kept.mp4", 100);
    const std::string replaced = home.WriteMedia("replaced.mp4", 100);
    ASSERT_NE(AddFolder(), nullptr);
    ASSERT_EQ(host->Directories().PublishDirectory(DirPath()), 2u);
    ASSERT_TRUE(PumpUntilPublished(2));

    ASSERT_TRUE(host->Watched().SetWatched(DirPath(), true));
    host->Watched().Start(QuickOptions());
    sink.PumpUntil(
        *host, [] { return false; }, 1000ms);  // the first scan settles both
    EXPECT_EQ(Published().size(), 2u);

    // Copied over with other content: a new size and modification time.
    std::this_thread::sleep_for(1100ms);  // the stored date has whole seconds
    {
        std::ofstream out(replaced, std::ios::binary | std::ios::trunc);
        out << std::string(500, 'n');
    }
    ASSERT_TRUE(PumpUntilPublished(3));
    EXPECT_EQ(Published().back(), replaced);
    {
        std::lock_guard lock(engine->mutex);
        ASSERT_EQ(engine->unpublished.size(), 1u);  // the old publication was withdrawn
        EXPECT_EQ(engine->unpublished[0].first, FakeEngine::CidFor(replaced));
    }
    EXPECT_EQ(StateOf(kept), kPublished);
    EXPECT_EQ(StateOf(replaced), kPublished);
}

TEST_F(WatchedFoldersTest, DeletedFileIsWithdrawnAndForgotten) {
    const std::string file = home.WriteMedia("doomed.mp4", 100);
    ASSERT_NE(AddFolder(), nullptr);
    ASSERT_TRUE(host->Watched().SetWatched(DirPath(), true));
    host->Watched().Start(QuickOptions());
    ASSERT_TRUE(PumpUntilPublished(1));
    sink.PumpUntil(
        *host, [] { return false; }, 400ms);

    std::filesystem::remove(file);
    ASSERT_TRUE(sink.PumpUntil(*host, [&] { return StateOf(file) == -100; }));
    std::lock_guard lock(engine->mutex);
    ASSERT_EQ(engine->unpublished.size(), 1u);
    EXPECT_EQ(engine->unpublished[0].first, FakeEngine::CidFor(file));
}

TEST_F(WatchedFoldersTest, StoredListThatIsNotJsonWatchesNothing) {
    ASSERT_NE(AddFolder(), nullptr);
    HostTestAccess::Database(*host).SetParam(kWatchedFoldersKey, "[\"/unterminated");
    OpenDocument();
    EXPECT_TRUE(host->Watched().Folders().empty());
}

}  // namespace
}  // namespace wharfkeep::host
