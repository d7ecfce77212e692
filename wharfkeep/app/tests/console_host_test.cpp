// wharfkeepd's message loop: the exit sequence and what the stopped threads leave behind.

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "../src/console_host.h"
#include "host_test_support.h"
#include "wait_until.h"
#include "wharfkeep/host/host.h"

namespace wharfkeep::app {
namespace {

using host::testing::FakeEngine;
using host::testing::TempHome;

class ConsoleHostTest : public ::testing::Test {
protected:
    ConsoleHostTest() : lines(out), sink(lines), engine(std::make_shared<FakeEngine::State>()) {
        host = std::make_unique<host::Host>(sink, std::make_unique<FakeEngine>(engine));
        host->Open();
        view = std::make_unique<ConsoleView>(host->Events(), lines);
    }
    ~ConsoleHostTest() override {
        view.reset();
        host.reset();
    }

    MediaRecord Row(const std::string& path) {
        const std::vector<MediaRecord> rows = host->Library().MediaAt(path);
        return rows.empty() ? MediaRecord{} : rows.front();
    }

    std::string AddFile(const std::string& name) {
        std::string file = home.WriteMedia(name);
        std::atomic<int> counter{0};
        std::atomic<bool> cancel{false};
        host->Directories().ImportDirectory(home.media().string(), counter, cancel);
        return file;
    }

    TempHome home;
    std::ostringstream out;
    ConsoleLines lines;
    ConsoleSink sink;
    std::shared_ptr<FakeEngine::State> engine;
    std::unique_ptr<host::Host> host;
    std::unique_ptr<ConsoleView> view;
};

TEST_F(ConsoleHostTest, ExitLeavesTheAbandonedFileResumable) {
    std::string file = AddFile("a.mp4");
    engine->block = true;
    host->Directories().PublishDirectory(home.media().string() + "/");
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    sink.post(host::AppMessage::WM_APP_EXIT, 0, {});
    RunMessageLoop(sink, host->Document(), view.get());
    EXPECT_EQ(Row(file).state, host::kPublishing);
    EXPECT_FALSE(sink.window_exists());
    EXPECT_NE(out.str().find("queued " + file), std::string::npos);
    EXPECT_NE(out.str().find("started " + file), std::string::npos);
}

TEST_F(ConsoleHostTest, FileFinishedDuringTheExitIsStillRecorded) {
    std::string file = AddFile("a.mp4");
    engine->block = true;
    {
        std::lock_guard lock(engine->mutex);
        engine->ignore_cancels = 1 << 20;  // the restructuring is past cancelling
    }
    host->Directories().PublishDirectory(home.media().string() + "/");
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    std::thread finisher([this] {
        // The exit is under way once it has asked the engine to cancel.
        EXPECT_TRUE(platform::testing::WaitUntil([this] {
            std::lock_guard lock(engine->mutex);
            return engine->cancels > 0;
        }));
        FakeEngine::Release(*engine);
    });
    sink.post(host::AppMessage::WM_APP_EXIT, 0, {});
    RunMessageLoop(sink, host->Document(), view.get());
    finisher.join();
    MediaRecord row = Row(file);
    EXPECT_EQ(row.state, host::kPublished);
    EXPECT_EQ(row.cid, FakeEngine::CidFor(file));
    EXPECT_NE(out.str().find("finished " + file + " State 1 published"), std::string::npos)
        << out.str();
    const std::vector<DirectoryRecord> directories = host->Library().Directories();
    ASSERT_EQ(directories.size(), 1u);
    EXPECT_EQ(directories[0].published_count, 1);
}

// Under serve the lines go to the log, and the publisher's own log line is the only one a
// finished file gets; the count stays exact.
TEST_F(ConsoleHostTest, LoggedLinesLeaveTheOutputEmptyAndStillCount) {
    lines.LogInstead();
    std::string file = AddFile("a.mp4");
    engine->block = true;
    {
        std::lock_guard lock(engine->mutex);
        engine->ignore_cancels = 1 << 20;
    }
    host->Directories().PublishDirectory(home.media().string() + "/");
    ASSERT_TRUE(FakeEngine::WaitInPublish(*engine));
    FakeEngine::Release(*engine);
    sink.post(host::AppMessage::WM_APP_EXIT, 0, {});
    RunMessageLoop(sink, host->Document(), view.get());
    EXPECT_EQ(Row(file).state, host::kPublished);
    EXPECT_EQ(view->finished(), 1);
    EXPECT_TRUE(sink.ask_yes_no(host::kResumeQuestion));
    EXPECT_EQ(out.str(), "");
}

TEST_F(ConsoleHostTest, QuestionsGetTheAnswersOfAProgramWithoutAnOperator) {
    EXPECT_TRUE(sink.ask_yes_no(host::kResumeQuestion));
    EXPECT_FALSE(
        sink.ask_yes_no("当前IP地址(0.0.0.0)有误，无法正常提供服务，您需要修改IP地址吗？"));
    EXPECT_EQ(out.str(), "resuming unfinished publishing\n");
}

}  // namespace
}  // namespace wharfkeep::app
