#pragma once
// Keeps the peer server's upload limit in step with the alternative-limit schedule, the
// manual switch and the pause: reads the settings, decides what is in force (a pure
// decision, see wharfkeep/schedule/upload_schedule.h) and hands each change to the server at
// once, without a restart. A thread of its own wakes at the next schedule boundary (and at
// least once a minute, so that a changed wall clock is noticed).
//
// Threads: the setters and Reload run on the user-interface thread; the wake-up thread only
// calls Tick. One mutex guards the settings and the decision last applied; the apply
// function runs under it, so two changes never reach the server out of order.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "wharfkeep/host/settings.h"
#include "wharfkeep/schedule/upload_schedule.h"

namespace wharfkeep {
class ResourceDatabase;
}

namespace wharfkeep::host {

// Settings of the alternative limit, beside the designed keys (which keep their meaning:
// VP_UploadSpeedLimit stays the normal limit).
inline constexpr UnsignedSetting kVpAltUploadSpeedLimit{"VP_AltUploadSpeedLimit"};
inline constexpr UnsignedSetting kVpAltScheduleOn{"VP_AltScheduleOn"};
inline constexpr UnsignedSetting kVpAltScheduleDays{"VP_AltScheduleDays"};
inline constexpr UnsignedSetting kVpAltScheduleFrom{"VP_AltScheduleFrom"};  // minutes
inline constexpr UnsignedSetting kVpAltScheduleTo{"VP_AltScheduleTo"};      // minutes
inline constexpr UnsignedSetting kVpAltLimitManual{"VP_AltLimitManual"};
inline constexpr UnsignedSetting kVpUploadPaused{"VP_UploadPaused"};

// The stored settings; days read as every day while the key has never been written.
schedule::UploadLimitSettings LoadUploadLimitSettings(ResourceDatabase& db);
void StoreUploadLimitSettings(ResourceDatabase& db, const schedule::UploadLimitSettings& settings);

// The local wall-clock week time now.
schedule::WeekTime LocalWeekTime();

class UploadLimitController {
public:
    using Clock = std::function<schedule::WeekTime()>;
    using Apply = std::function<void(const schedule::UploadDecision&)>;

    // `apply` receives every decision that differs from the last one applied (the first
    // one always). The document passes its Services' ApplyUploadDecision.
    UploadLimitController(ResourceDatabase& db, Clock clock, Apply apply);
    ~UploadLimitController();
    UploadLimitController(const UploadLimitController&) = delete;
    UploadLimitController& operator=(const UploadLimitController&) = delete;

    // Reads the settings again and applies what they decide now.
    void Reload();
    // Decides again with the current time; applies when the decision changed.
    void Tick();
    // Starts or stops the wake-up thread.
    void StartTimer();
    void StopTimer();

    // Store one setting group and apply at once.
    void SetNormalLimit(std::uint32_t bytes_per_second);
    void SetAlternativeLimit(std::uint32_t bytes_per_second);
    void SetSchedule(bool on, std::uint32_t days, int from_minute, int to_minute);
    void SetManualAlternative(bool on);
    void SetPaused(bool paused);

    schedule::UploadLimitSettings Settings() const;
    schedule::UploadDecision Current() const;

private:
    void DecideAndApplyLocked();
    void TimerLoop();

    ResourceDatabase& db_;
    Clock clock_;
    Apply apply_;
    mutable std::mutex mutex_;
    schedule::UploadLimitSettings settings_;
    schedule::UploadDecision applied_;
    bool applied_once_ = false;

    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread timer_;
};

}  // namespace wharfkeep::host
