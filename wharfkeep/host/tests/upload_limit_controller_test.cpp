// The upload limit following its schedule, switch and pause, with a clock the test turns.

#include <gtest/gtest.h>

#include <vector>

#include "host_test_support.h"
#include "peerfeed/peerfeed.h"
#include "platform/free_port.h"
#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/services.h"
#include "wharfkeep/host/upload_limit_controller.h"

namespace wharfkeep::host {
namespace {

using schedule::UploadDecision;
using schedule::UploadMode;
using schedule::WeekTime;

class UploadLimitControllerTest : public ::testing::Test {
protected:
    UploadLimitControllerTest() {
        db.Open(home.home() / "Wharfkeep.sqlite", "127.0.0.1", "", access);
    }
    std::unique_ptr<UploadLimitController> MakeController() {
        return std::make_unique<UploadLimitController>(
            db, [this] { return now; },
            [this](const UploadDecision& decision) { applied.push_back(decision); });
    }
    testing::TempHome home;
    ResourceDatabase db;
    ServerAccessSettings access;
    WeekTime now{6, 21 * 60 + 59, 0};  // Saturday 21:59
    std::vector<UploadDecision> applied;
};

TEST_F(UploadLimitControllerTest, NewKeysOnlyAndDefaultsOfAFreshDatabase) {
    kVpUploadSpeedLimit.Set(db, 12800);
    const schedule::UploadLimitSettings settings = LoadUploadLimitSettings(db);
    EXPECT_EQ(settings.normal_limit, 12800u);
    EXPECT_EQ(settings.days, schedule::kEveryDay);
    EXPECT_FALSE(settings.schedule_on);
    EXPECT_FALSE(settings.paused);
    auto controller = MakeController();
    controller->Reload();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].mode, UploadMode::Normal);
    EXPECT_EQ(applied[0].limit, 12800u);
    EXPECT_EQ(db.GetParam("VP_AltScheduleOn"), "") << "nothing stored before a change";
}

// Saturday 22:00 to Sunday 06:00: the limit changes at both boundaries, across the end of
// the week, and a tick that changes nothing applies nothing.
TEST_F(UploadLimitControllerTest, ChangesApplyAtTheScheduleBoundaries) {
    kVpUploadSpeedLimit.Set(db, 100000);
    auto controller = MakeController();
    controller->Reload();
    controller->SetAlternativeLimit(20000);
    controller->SetSchedule(true, 1u << 6, 22 * 60, 6 * 60);
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(controller->Current().seconds_to_change, 60);

    now = {6, 22 * 60, 0};
    controller->Tick();
    ASSERT_EQ(applied.size(), 2u);
    EXPECT_EQ(applied[1].mode, UploadMode::Scheduled);
    EXPECT_EQ(applied[1].limit, 20000u);
    now = {0, 3 * 60, 0};  // Sunday night, still inside
    controller->Tick();
    EXPECT_EQ(applied.size(), 2u);
    now = {0, 6 * 60, 0};
    controller->Tick();
    ASSERT_EQ(applied.size(), 3u);
    EXPECT_EQ(applied[2].mode, UploadMode::Normal);
    EXPECT_EQ(applied[2].limit, 100000u);

    // Stored under the new keys, read back by a controller of the next start.
    EXPECT_EQ(db.GetParam("VP_AltScheduleFrom"), "1320");
    EXPECT_EQ(db.GetParam("VP_AltScheduleDays"), "64");
    EXPECT_EQ(db.GetParam("VP_UploadSpeedLimit"), "100000") << "the designed key is kept";
    EXPECT_EQ(LoadUploadLimitSettings(db), controller->Settings());
}

TEST_F(UploadLimitControllerTest, ManualSwitchAndPauseWinAndUndo) {
    kVpUploadSpeedLimit.Set(db, 5000);
    auto controller = MakeController();
    controller->Reload();
    controller->SetManualAlternative(true);  // alternative limit 0: unlimited
    ASSERT_EQ(applied.size(), 2u);
    EXPECT_EQ(applied[1], (UploadDecision{UploadMode::Alternative, 0, -1}));
    controller->SetPaused(true);
    EXPECT_EQ(applied.back().mode, UploadMode::Paused);
    controller->SetPaused(false);
    controller->SetManualAlternative(false);
    EXPECT_EQ(applied.back(), (UploadDecision{UploadMode::Normal, 5000, -1}));
}

// The real peer server follows each decision while it runs: the limit in force and the
// pause change without a restart.
TEST_F(UploadLimitControllerTest, RunningPeerServerFollows) {
    Services services;
    auto controller = std::make_unique<UploadLimitController>(
        db, [this] { return now; },
        [&](const UploadDecision& decision) { services.ApplyUploadDecision(decision); });
    ASSERT_EQ(vp_start(platform::free_tcp_port()), 0);
    kVpUploadSpeedLimit.Set(db, 64000);
    controller->Reload();
    EXPECT_EQ(vp_get_speed_limit(), 64000u);
    controller->SetAlternativeLimit(8000);
    controller->SetSchedule(true, schedule::kEveryDay, 22 * 60, 6 * 60);
    now = {6, 23 * 60, 0};
    controller->Tick();
    EXPECT_EQ(vp_get_speed_limit(), 8000u);
    controller->SetPaused(true);
    EXPECT_EQ(vp_get_upload_paused(), 1);
    EXPECT_EQ(vp_run_stat(), 1) << "no restart";
    controller->SetPaused(false);
    EXPECT_EQ(vp_get_upload_paused(), 0);
    vp_stop();
    vp_set_speed_limit(0);
}

TEST_F(UploadLimitControllerTest, TimerStopsPromptly) {
    auto controller = MakeController();
    controller->Reload();
    controller->StartTimer();
    controller->StartTimer();  // once only
    const auto start = std::chrono::steady_clock::now();
    controller->StopTimer();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace wharfkeep::host
