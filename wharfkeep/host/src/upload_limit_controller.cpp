#include "wharfkeep/host/upload_limit_controller.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::host {

namespace {

// The wake-up thread looks at the clock at least this often.
constexpr int kLongestSleepSeconds = 60;

}  // namespace

schedule::UploadLimitSettings LoadUploadLimitSettings(ResourceDatabase& db) {
    schedule::UploadLimitSettings settings;
    settings.normal_limit = kVpUploadSpeedLimit.Get(db);
    settings.alternative_limit = kVpAltUploadSpeedLimit.Get(db);
    settings.schedule_on = kVpAltScheduleOn.Get(db) != 0;
    settings.days = db.GetParam(kVpAltScheduleDays.key()).empty()
                        ? schedule::kEveryDay
                        : kVpAltScheduleDays.Get(db) & schedule::kEveryDay;
    settings.from_minute = static_cast<int>(
        std::min<std::uint32_t>(kVpAltScheduleFrom.Get(db), schedule::kMinutesPerDay));
    settings.to_minute = static_cast<int>(
        std::min<std::uint32_t>(kVpAltScheduleTo.Get(db), schedule::kMinutesPerDay));
    settings.manual_alternative = kVpAltLimitManual.Get(db) != 0;
    settings.paused = kVpUploadPaused.Get(db) != 0;
    return settings;
}

void StoreUploadLimitSettings(ResourceDatabase& db, const schedule::UploadLimitSettings& settings) {
    kVpUploadSpeedLimit.Set(db, settings.normal_limit);
    kVpAltUploadSpeedLimit.Set(db, settings.alternative_limit);
    kVpAltScheduleOn.Set(db, settings.schedule_on ? 1 : 0);
    kVpAltScheduleDays.Set(db, settings.days & schedule::kEveryDay);
    kVpAltScheduleFrom.Set(db, static_cast<std::uint32_t>(settings.from_minute));
    kVpAltScheduleTo.Set(db, static_cast<std::uint32_t>(settings.to_minute));
    kVpAltLimitManual.Set(db, settings.manual_alternative ? 1 : 0);
    kVpUploadPaused.Set(db, settings.paused ? 1 : 0);
}

schedule::WeekTime LocalWeekTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {local.tm_wday, local.tm_hour * 60 + local.tm_min, std::min(local.tm_sec, 59)};
}

UploadLimitController::UploadLimitController(ResourceDatabase& db, Clock clock, Apply apply)
    : db_(db), clock_(std::move(clock)), apply_(std::move(apply)) {}

UploadLimitController::~UploadLimitController() {
    StopTimer();
}

void UploadLimitController::Reload() {
    std::lock_guard lock(mutex_);
    settings_ = LoadUploadLimitSettings(db_);
    DecideAndApplyLocked();
}

void UploadLimitController::Tick() {
    std::lock_guard lock(mutex_);
    DecideAndApplyLocked();
}

void UploadLimitController::DecideAndApplyLocked() {
    const schedule::UploadDecision decision = schedule::DecideUploadLimit(settings_, clock_());
    const bool changed =
        !applied_once_ || decision.mode != applied_.mode || decision.limit != applied_.limit;
    applied_ = decision;
    if (changed) {
        applied_once_ = true;
        apply_(decision);
    }
    wake_.notify_all();  // the timer sleeps until the new decision's boundary
}

void UploadLimitController::StartTimer() {
    std::lock_guard lock(mutex_);
    if (timer_.joinable()) {
        return;
    }
    stopping_ = false;
    timer_ = std::thread([this] { TimerLoop(); });
}

void UploadLimitController::StopTimer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (timer_.joinable()) {
        timer_.join();
    }
}

void UploadLimitController::TimerLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const int until_change = applied_.seconds_to_change;
        const int sleep_seconds = until_change < 0
                                      ? kLongestSleepSeconds
                                      : std::clamp(until_change, 1, kLongestSleepSeconds);
        const bool woken =
            wake_.wait_for(lock, std::chrono::seconds(sleep_seconds), [this] { return stopping_; });
        if (!woken) {
            DecideAndApplyLocked();
        }
    }
}

void UploadLimitController::SetNormalLimit(std::uint32_t bytes_per_second) {
    std::lock_guard lock(mutex_);
    settings_.normal_limit = bytes_per_second;
    kVpUploadSpeedLimit.Set(db_, bytes_per_second);
    DecideAndApplyLocked();
}

void UploadLimitController::SetAlternativeLimit(std::uint32_t bytes_per_second) {
    std::lock_guard lock(mutex_);
    settings_.alternative_limit = bytes_per_second;
    kVpAltUploadSpeedLimit.Set(db_, bytes_per_second);
    DecideAndApplyLocked();
}

void UploadLimitController::SetSchedule(bool on, std::uint32_t days, int from_minute,
                                        int to_minute) {
    std::lock_guard lock(mutex_);
    settings_.schedule_on = on;
    settings_.days = days & schedule::kEveryDay;
    settings_.from_minute = std::clamp(from_minute, 0, schedule::kMinutesPerDay - 1);
    settings_.to_minute = std::clamp(to_minute, 0, schedule::kMinutesPerDay - 1);
    StoreUploadLimitSettings(db_, settings_);
    DecideAndApplyLocked();
}

void UploadLimitController::SetManualAlternative(bool on) {
    std::lock_guard lock(mutex_);
    settings_.manual_alternative = on;
    kVpAltLimitManual.Set(db_, on ? 1 : 0);
    DecideAndApplyLocked();
}

void UploadLimitController::SetPaused(bool paused) {
    std::lock_guard lock(mutex_);
    settings_.paused = paused;
    kVpUploadPaused.Set(db_, paused ? 1 : 0);
    DecideAndApplyLocked();
}

schedule::UploadLimitSettings UploadLimitController::Settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

schedule::UploadDecision UploadLimitController::Current() const {
    std::lock_guard lock(mutex_);
    return applied_;
}

}  // namespace wharfkeep::host
