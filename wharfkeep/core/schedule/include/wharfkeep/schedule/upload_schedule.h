#pragma once
// Which upload limit is in force at a given moment: the normal limit, an alternative limit
// that follows a weekly schedule or a manual switch, or no sending at all while uploads are
// paused. Pure functions of the settings and a wall-clock time; the clock is the caller's, so
// that tests can walk through midnight and the end of the week.

#include <cstdint>
#include <string>

namespace wharfkeep::schedule {

inline constexpr int kMinutesPerDay = 24 * 60;
inline constexpr int kMinutesPerWeek = 7 * kMinutesPerDay;

// A moment of the local week.
struct WeekTime {
    int weekday = 0;  // 0 Sunday .. 6 Saturday, as struct tm counts
    int minute = 0;   // minutes after local midnight, 0..1439
    int second = 0;   // 0..59

    int MinuteOfWeek() const { return weekday * kMinutesPerDay + minute; }
};

// Day bits of the schedule: bit 0 Sunday .. bit 6 Saturday.
inline constexpr std::uint32_t kEveryDay = 0x7F;
inline constexpr std::uint32_t kWeekdays = 0x3E;
inline constexpr std::uint32_t kWeekend = 0x41;

struct UploadLimitSettings {
    std::uint32_t normal_limit = 0;       // bytes per second, 0 = unlimited
    std::uint32_t alternative_limit = 0;  // bytes per second, 0 = unlimited
    bool schedule_on = false;
    std::uint32_t days = kEveryDay;  // days on which the window starts
    // The window runs from `from` to `to`, minutes after midnight. A `to` at or before `from`
    // ends on the next day (22:00-06:00 started on Saturday ends on Sunday morning); equal
    // times make a window of a whole day.
    int from_minute = 0;
    int to_minute = 0;
    bool manual_alternative = false;  // the operator's switch: alternative limit now
    bool paused = false;              // send nothing, whatever the limits say

    bool operator==(const UploadLimitSettings&) const = default;
};

enum class UploadMode { Normal, Alternative, Scheduled, Paused };

struct UploadDecision {
    UploadMode mode = UploadMode::Normal;
    std::uint32_t limit = 0;  // bytes per second for the peer server, 0 = unlimited
    // Seconds until the decision may change by the clock alone (a schedule boundary), or
    // -1 when only a change of settings can change it.
    int seconds_to_change = -1;

    bool operator==(const UploadDecision&) const = default;
};

// True when the schedule's window holds `now`.
bool InScheduledWindow(const UploadLimitSettings& settings, WeekTime now);

UploadDecision DecideUploadLimit(const UploadLimitSettings& settings, WeekTime now);

// "normal", "alternative", "scheduled", "paused": the one name of a mode for the command
// line, the control interface, the logs and the metrics.
const char* ModeName(UploadMode mode);

// A limit as operators read it: "unlimited" or "12800 B/s".
std::string DescribeLimit(std::uint32_t bytes_per_second);

// "HH:MM" to minutes after midnight; -1 when it is not a time of day.
int ParseTimeOfDay(const std::string& text);
std::string FormatTimeOfDay(int minute);

// Days written as "mon,tue,sat", "weekdays", "weekend" or "all" (any case); returns the day
// bits, or -1 for anything else.
int ParseDays(const std::string& text);
std::string FormatDays(std::uint32_t days);

}  // namespace wharfkeep::schedule
