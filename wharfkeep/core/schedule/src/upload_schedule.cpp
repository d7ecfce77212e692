#include "wharfkeep/schedule/upload_schedule.h"

#include <array>
#include <cctype>
#include <charconv>
#include <string_view>

#include "platform/lookup_table.h"

namespace wharfkeep::schedule {
namespace {

constexpr std::array<const char*, 7> kDayNames = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

constexpr platform::LookupRow<UploadMode, const char*> kModeNames[] = {
    {UploadMode::Normal, "normal"},
    {UploadMode::Alternative, "alternative"},
    {UploadMode::Scheduled, "scheduled"},
    {UploadMode::Paused, "paused"}};

int WindowLength(const UploadLimitSettings& settings) {
    const int length =
        (settings.to_minute - settings.from_minute + kMinutesPerDay) % kMinutesPerDay;
    return length == 0 ? kMinutesPerDay : length;
}

bool InWindowAtMinute(const UploadLimitSettings& settings, int minute_of_week) {
    const int length = WindowLength(settings);
    for (int day = 0; day < 7; ++day) {
        if ((settings.days & (1u << day)) == 0) {
            continue;
        }
        const int start = day * kMinutesPerDay + settings.from_minute;
        const int offset =
            ((minute_of_week - start) % kMinutesPerWeek + kMinutesPerWeek) % kMinutesPerWeek;
        if (offset < length) {
            return true;
        }
    }
    return false;
}

bool ScheduleUsable(const UploadLimitSettings& settings) {
    return settings.schedule_on && (settings.days & kEveryDay) != 0 && settings.from_minute >= 0 &&
           settings.from_minute < kMinutesPerDay && settings.to_minute >= 0 &&
           settings.to_minute < kMinutesPerDay;
}

// The first whole minute after `now` at which the window opens or closes; -1 when it never
// does (no schedule, or a window that covers the whole week).
int SecondsToBoundary(const UploadLimitSettings& settings, WeekTime now) {
    if (!ScheduleUsable(settings)) {
        return -1;
    }
    const int minute = now.MinuteOfWeek();
    const bool inside = InWindowAtMinute(settings, minute);
    for (int ahead = 1; ahead <= kMinutesPerWeek; ++ahead) {
        if (InWindowAtMinute(settings, (minute + ahead) % kMinutesPerWeek) != inside) {
            return ahead * 60 - now.second;
        }
    }
    return -1;
}

std::string Lower(std::string_view text) {
    std::string lower;
    for (char c : text) {
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return lower;
}

}  // namespace

bool InScheduledWindow(const UploadLimitSettings& settings, WeekTime now) {
    return ScheduleUsable(settings) && InWindowAtMinute(settings, now.MinuteOfWeek());
}

UploadDecision DecideUploadLimit(const UploadLimitSettings& settings, WeekTime now) {
    UploadDecision decision;
    if (settings.manual_alternative) {
        decision.mode = UploadMode::Alternative;
        decision.limit = settings.alternative_limit;
    } else if (InScheduledWindow(settings, now)) {
        decision.mode = UploadMode::Scheduled;
        decision.limit = settings.alternative_limit;
        decision.seconds_to_change = SecondsToBoundary(settings, now);
    } else {
        decision.mode = UploadMode::Normal;
        decision.limit = settings.normal_limit;
        decision.seconds_to_change = SecondsToBoundary(settings, now);
    }
    if (settings.paused) {
        // The limit stays what it would be, so that resuming needs no other change.
        decision.mode = UploadMode::Paused;
    }
    return decision;
}

const char* ModeName(UploadMode mode) {
    return platform::look_up(kModeNames, mode, "normal");
}

std::string DescribeLimit(std::uint32_t bytes_per_second) {
    return bytes_per_second == 0 ? "unlimited" : std::to_string(bytes_per_second) + " B/s";
}

int ParseTimeOfDay(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() != colon + 3) {
        return -1;
    }
    int hours = 0, minutes = 0;
    const char* end = text.data() + text.size();
    auto [after_hours, hours_error] = std::from_chars(text.data(), text.data() + colon, hours);
    auto [after_minutes, minutes_error] = std::from_chars(text.data() + colon + 1, end, minutes);
    if (hours_error != std::errc() || after_hours != text.data() + colon ||
        minutes_error != std::errc() || after_minutes != end || hours > 23 || minutes > 59 ||
        hours < 0 || minutes < 0) {
        return -1;
    }
    return hours * 60 + minutes;
}

std::string FormatTimeOfDay(int minute) {
    const int hours = minute / 60, minutes = minute % 60;
    return (hours < 10 ? "0" : "") + std::to_string(hours) + ":" + (minutes < 10 ? "0" : "") +
           std::to_string(minutes);
}

int ParseDays(const std::string& text) {
    const std::string lower = Lower(text);
    if (lower == "all") {
        return kEveryDay;
    }
    if (lower == "weekdays") {
        return kWeekdays;
    }
    if (lower == "weekend") {
        return kWeekend;
    }
    int days = 0;
    std::string_view rest = lower;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view name = rest.substr(0, comma);
        int day = 0;
        while (day < 7 && name != kDayNames[static_cast<std::size_t>(day)]) {
            ++day;
        }
        if (day == 7) {
            return -1;
        }
        days |= 1 << day;
        if (comma == std::string_view::npos) {
            return days;
        }
        rest.remove_prefix(comma + 1);
    }
}

std::string FormatDays(std::uint32_t days) {
    days &= kEveryDay;
    if (days == kEveryDay) {
        return "all";
    }
    std::string text;
    for (std::size_t day = 0; day < 7; ++day) {
        if ((days & (1u << day)) != 0) {
            text += (text.empty() ? "" : ",") + std::string(kDayNames[day]);
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace wharfkeep::schedule
