// The publish queue on its own: ordering, result mapping, the end-of-work gap, abandoning
// and shutting down, with an engine double.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>

#include "host_test_support.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/publish_queue.h"
#include "wharfkeep/host/window_bridge.h"

namespace wharfkeep::host {
namespace {

using testing::FakeEngine;
using testing::PostedMessage;
using testing::RecordingSink;

MediaRecord Record(const std::string& path) {
    MediaRecord record;
    record.local_path = path;
    record.state = kWaiting;
    return record;
}

class PublishQueueTest : public ::testing::Test {
protected:
    PublishQueueTest()
        : engine_state(std::make_shared<FakeEngine::State>()),
          queue(std::make_unique<FakeEngine>(engine_state), no_database, events) {
        events.Subscribe(&bridge);
    }
    ~PublishQueueTest() override {
        queue.Shutdown();
        events.Unsubscribe(&bridge);
    }

    // Waits for `count` finished files and returns them in order.
    std::vector<PostedMessage> Finished(std::size_t count) {
        std::vector<PostedMessage> finished;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (finished.size() < count && std::chrono::steady_clock::now() < deadline) {
            sink.WaitFor(AppMessage::WM_APP_PUBLISH_FINISHED, std::chrono::milliseconds(50));
            for (PostedMessage& posted : sink.Take()) {
                if (posted.message == AppMessage::WM_APP_PUBLISH_FINISHED) {
                    finished.push_back(std::move(posted));
                }
            }
        }
        return finished;
    }

    RecordingSink sink;
    WindowBridge bridge{sink};
    HostEvents events;
    ResourceDatabase no_database;  // never opened: the queue only reports
    std::shared_ptr<FakeEngine::State> engine_state;
    PublishQueue queue;
};

TEST(PublishResultMapping, EveryCodeGivesItsState) {
    EXPECT_EQ(StateForPublishResult(0), kPublished);
    EXPECT_EQ(StateForPublishResult(2), kHeaderRejected);
    EXPECT_EQ(StateForPublishResult(25), kNotPublished);
    EXPECT_EQ(StateForPublishResult(26), kNotStreamable);
    EXPECT_EQ(StateForPublishResult(1), kFailed);
    EXPECT_EQ(StateForPublishResult(7), kFailed);
    EXPECT_EQ(StateForPublishResult(-5), kFailed);
}

TEST_F(PublishQueueTest, PublishesInQueueOrderAndReportsEachFile) {
    engine_state->results["/m/b.mp4"] = 26;
    engine_state->results["/m/c.mp4"] = 7;
    queue.Enqueue({Record("/m/a.mp4"), Record("/m/b.mp4"), Record("/m/c.mp4")});
    std::vector<PostedMessage> finished = Finished(3);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].payload.record->local_path, "/m/a.mp4");
    EXPECT_EQ(finished[0].payload.record->state, kPublished);
    EXPECT_EQ(finished[0].payload.record->cid, FakeEngine::CidFor("/m/a.mp4"));
    EXPECT_EQ(finished[0].payload.record->sts_path, "/m/a.mp4.sts");
    EXPECT_EQ(finished[0].payload.record->publish_date.size(), 19u);
    EXPECT_EQ(finished[0].payload.record->name, "a.mp4");
    EXPECT_EQ(finished[1].wparam, 26);
    EXPECT_EQ(finished[1].payload.record->state, kNotStreamable);
    EXPECT_EQ(finished[2].payload.record->state, kFailed);
    std::lock_guard lock(engine_state->mutex);
    EXPECT_EQ(engine_state->published,
              (std::vector<std::string>{"/m/a.mp4", "/m/b.mp4", "/m/c.mp4"}));
    // Each file's successor is prepared before the file itself is published.
    const std::vector<std::pair<std::string, std::size_t>> prepared{{"/m/b.mp4", 0},
                                                                    {"/m/c.mp4", 1}};
    EXPECT_EQ(engine_state->prepared, prepared);
}

TEST_F(PublishQueueTest, StartedCarriesThePublishingState) {
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_EQ(Finished(1).size(), 1u);
    // Finished() consumed the STARTED message too; publish again and look at it directly.
    engine_state->block = true;
    queue.Enqueue({Record("/m/b.mp4")});
    ASSERT_TRUE(sink.WaitFor(AppMessage::WM_APP_PUBLISH_STARTED));
    std::vector<PostedMessage> posted = sink.Take();
    auto started = std::find_if(posted.begin(), posted.end(), [](const PostedMessage& message) {
        return message.message == AppMessage::WM_APP_PUBLISH_STARTED;
    });
    ASSERT_NE(started, posted.end());
    EXPECT_EQ(started->payload.record->state, kPublishing);
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    FakeEngine::Release(*engine_state);
    ASSERT_EQ(Finished(1).size(), 1u);
}

TEST_F(PublishQueueTest, RecordQueuedWhileThePublisherEndsIsStillPublished) {
    std::atomic<bool> injected{false};
    queue.SetIdleHookForTesting([&] {
        if (!injected.exchange(true)) {
            // The publisher found pending empty; this record's start message reaches the
            // dispatcher while it still knows the old publisher and is ignored there.
            queue.Enqueue({Record("/m/late.mp4")});
        }
    });
    queue.Enqueue({Record("/m/first.mp4")});
    std::vector<PostedMessage> finished = Finished(2);
    // The hook runs again when the second publisher ends and reads `injected`: stop the
    // queue while that local is still alive.
    queue.Shutdown();
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[1].payload.record->local_path, "/m/late.mp4");
}

TEST_F(PublishQueueTest, AbandonedFileIsReportedNotPublishedWithoutIdentifiers) {
    engine_state->block = true;
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    EXPECT_TRUE(queue.IsCurrent("/m/a.mp4"));
    queue.AbortCurrent();
    std::vector<PostedMessage> finished = Finished(1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].wparam, kPublishCancelled);
    const MediaRecord& record = *finished[0].payload.record;
    EXPECT_EQ(record.state, kNotPublished);
    EXPECT_TRUE(record.cid.empty());
    EXPECT_TRUE(record.sts_path.empty());
    EXPECT_TRUE(record.publish_date.empty());
}

// Collects the progress of files and notes whether any came after a file's end.
class ProgressRecorder : public HostListener {
public:
    void OnHostEvent(const HostEvent& event) override {
        std::lock_guard lock(mutex);
        if (const auto* progress = std::get_if<PublicationProgress>(&event)) {
            percents.push_back(progress->percent);
            paths.push_back(progress->local_path);
            progress_after_finish = progress_after_finish || finished;
        } else if (std::holds_alternative<PublicationFinished>(event)) {
            finished = true;
        }
    }
    bool Saw(int percent) {
        std::lock_guard lock(mutex);
        return std::find(percents.begin(), percents.end(), percent) != percents.end();
    }
    std::mutex mutex;
    std::vector<int> percents;
    std::vector<std::string> paths;
    bool finished = false;
    bool progress_after_finish = false;
};

bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST_F(PublishQueueTest, ProgressOfTheCurrentFileIsRaisedEachTimeItChangesAndEndsBeforeItsOutcome) {
    ProgressRecorder recorder;
    events.Subscribe(&recorder);
    engine_state->block = true;
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    {
        std::lock_guard lock(engine_state->mutex);
        engine_state->progress = 40;
    }
    EXPECT_TRUE(Eventually([&] { return recorder.Saw(40); }));
    {
        std::lock_guard lock(engine_state->mutex);
        engine_state->progress = 90;
    }
    EXPECT_TRUE(Eventually([&] { return recorder.Saw(90); }));
    FakeEngine::Release(*engine_state);
    ASSERT_EQ(Finished(1).size(), 1u);
    // The engine still says 90 after the file: nothing more may be raised for it. Nothing
    // signals that no more will come; a watch outliving the file would raise within two
    // progress periods (250 ms each).
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    events.Unsubscribe(&recorder);
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.percents, (std::vector<int>{40, 90})) << "once per change";
    EXPECT_EQ(recorder.paths, (std::vector<std::string>(2, "/m/a.mp4")));
    EXPECT_FALSE(recorder.progress_after_finish);
}

TEST_F(PublishQueueTest, AbortWithoutCurrentFileCancelsNothing) {
    queue.AbortCurrent();
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_EQ(Finished(1).size(), 1u);
    std::lock_guard lock(engine_state->mutex);
    EXPECT_EQ(engine_state->cancels, 0);
}

TEST_F(PublishQueueTest, RemovedPendingRecordIsNeverPublished) {
    engine_state->block = true;
    queue.Enqueue({Record("/m/a.mp4"), Record("/m/b.mp4"), Record("/m/c.mp4")});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    EXPECT_TRUE(queue.RemovePending("/m/b.mp4"));
    EXPECT_FALSE(queue.RemovePending("/m/B.mp4"));  // exact comparison
    engine_state->block = false;
    FakeEngine::Release(*engine_state);
    ASSERT_EQ(Finished(2).size(), 2u);
    std::lock_guard lock(engine_state->mutex);
    EXPECT_EQ(engine_state->published, (std::vector<std::string>{"/m/a.mp4", "/m/c.mp4"}));
}

TEST_F(PublishQueueTest, ShutdownAbandonsTheCurrentFileAndKeepsItResumable) {
    engine_state->block = true;
    queue.Enqueue({Record("/m/a.mp4"), Record("/m/b.mp4")});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    queue.ClearPending();
    queue.Shutdown();
    EXPECT_FALSE(queue.dispatcher_running());
    for (const PostedMessage& posted : sink.Take()) {
        // The abandoned file's end is not reported: its row stays "being published".
        EXPECT_NE(posted.message, AppMessage::WM_APP_PUBLISH_FINISHED);
    }
    std::lock_guard lock(engine_state->mutex);
    EXPECT_EQ(engine_state->published, std::vector<std::string>{"/m/a.mp4"});
}

TEST_F(PublishQueueTest, ShutdownRepeatsTheCancelWhenTheFirstFindsNothingRunning) {
    engine_state->block = true;
    {
        std::lock_guard lock(engine_state->mutex);
        engine_state->ignore_cancels = 2;
    }
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine_state));
    queue.Shutdown();
    std::lock_guard lock(engine_state->mutex);
    EXPECT_GE(engine_state->cancels, 3);
    EXPECT_FALSE(engine_state->in_publish);
}

TEST_F(PublishQueueTest, NoEndReportWhileTheWindowIsGone) {
    sink.window_ = false;
    queue.Enqueue({Record("/m/a.mp4")});
    ASSERT_TRUE(sink.WaitFor(AppMessage::WM_APP_PUBLISH_STARTED));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!queue.idle() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    queue.Shutdown();
    for (const PostedMessage& posted : sink.Take()) {
        EXPECT_NE(posted.message, AppMessage::WM_APP_PUBLISH_FINISHED);
    }
}

}  // namespace
}  // namespace wharfkeep::host
