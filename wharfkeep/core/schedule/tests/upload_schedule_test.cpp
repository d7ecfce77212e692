// The upload limit in force across the week, with the clock given by the test.

#include <gtest/gtest.h>

#include "wharfkeep/schedule/upload_schedule.h"

namespace wharfkeep::schedule {
namespace {

constexpr int kSunday = 0, kMonday = 1, kFriday = 5, kSaturday = 6;

WeekTime At(int weekday, const char* time, int second = 0) {
    return {weekday, ParseTimeOfDay(time), second};
}

UploadLimitSettings NightSchedule(std::uint32_t days) {
    UploadLimitSettings settings;
    settings.normal_limit = 100000;
    settings.alternative_limit = 20000;
    settings.schedule_on = true;
    settings.days = days;
    settings.from_minute = ParseTimeOfDay("22:00");
    settings.to_minute = ParseTimeOfDay("06:00");
    return settings;
}

TEST(UploadSchedule, WindowAcrossMidnightBelongsToTheDayItStarts) {
    const UploadLimitSettings friday_night = NightSchedule(1u << kFriday);
    EXPECT_FALSE(InScheduledWindow(friday_night, At(kFriday, "21:59")));
    EXPECT_TRUE(InScheduledWindow(friday_night, At(kFriday, "22:00")));
    EXPECT_TRUE(InScheduledWindow(friday_night, At(kSaturday, "05:59")));
    EXPECT_FALSE(InScheduledWindow(friday_night, At(kSaturday, "06:00")));
    // Friday 00:00-06:00 belongs to Thursday's window, which is not scheduled.
    EXPECT_FALSE(InScheduledWindow(friday_night, At(kFriday, "03:00")));
    EXPECT_FALSE(InScheduledWindow(friday_night, At(kSaturday, "22:30")));
}

TEST(UploadSchedule, WindowAcrossTheEndOfTheWeek) {
    const UploadLimitSettings saturday_night = NightSchedule(1u << kSaturday);
    EXPECT_TRUE(InScheduledWindow(saturday_night, At(kSaturday, "23:59")));
    EXPECT_TRUE(InScheduledWindow(saturday_night, At(kSunday, "00:00")));
    EXPECT_TRUE(InScheduledWindow(saturday_night, At(kSunday, "05:59")));
    EXPECT_FALSE(InScheduledWindow(saturday_night, At(kSunday, "06:00")));
    // Sunday night wraps no further than Monday morning.
    const UploadLimitSettings sunday_night = NightSchedule(1u << kSunday);
    EXPECT_FALSE(InScheduledWindow(sunday_night, At(kSunday, "05:00")));
    EXPECT_TRUE(InScheduledWindow(sunday_night, At(kMonday, "05:00")));
}

TEST(UploadSchedule, SameDayWindowsWholeDaysAndUnusableSchedules) {
    UploadLimitSettings office = NightSchedule(kWeekdays);
    office.from_minute = ParseTimeOfDay("09:00");
    office.to_minute = ParseTimeOfDay("17:30");
    EXPECT_TRUE(InScheduledWindow(office, At(kMonday, "09:00")));
    EXPECT_TRUE(InScheduledWindow(office, At(kMonday, "17:29")));
    EXPECT_FALSE(InScheduledWindow(office, At(kMonday, "17:30")));
    EXPECT_FALSE(InScheduledWindow(office, At(kSaturday, "12:00")));

    UploadLimitSettings whole_day = NightSchedule(1u << kMonday);
    whole_day.to_minute = whole_day.from_minute;  // equal times: 24 hours from 22:00
    EXPECT_TRUE(InScheduledWindow(whole_day, At(kMonday, "22:00")));
    EXPECT_TRUE(InScheduledWindow(whole_day, At(kFriday - 3, "21:59")));  // Tuesday
    EXPECT_FALSE(InScheduledWindow(whole_day, At(kFriday - 3, "22:00")));

    UploadLimitSettings off = NightSchedule(kEveryDay);
    off.schedule_on = false;
    EXPECT_FALSE(InScheduledWindow(off, At(kMonday, "23:00")));
    UploadLimitSettings no_days = NightSchedule(0);
    EXPECT_FALSE(InScheduledWindow(no_days, At(kMonday, "23:00")));
    UploadLimitSettings damaged = NightSchedule(kEveryDay);
    damaged.from_minute = 5000;  // a stored value out of range switches nothing on
    EXPECT_FALSE(InScheduledWindow(damaged, At(kMonday, "23:00")));
}

TEST(UploadSchedule, DecisionsAndTheTimeToTheNextBoundary) {
    UploadLimitSettings settings = NightSchedule(1u << kSaturday);
    EXPECT_EQ(DecideUploadLimit(settings, At(kSaturday, "21:59", 30)),
              (UploadDecision{UploadMode::Normal, 100000, 30}));
    EXPECT_EQ(DecideUploadLimit(settings, At(kSaturday, "22:00")),
              (UploadDecision{UploadMode::Scheduled, 20000, 8 * 3600}));
    // Across the week boundary: Sunday 05:00 is an hour before the window closes.
    EXPECT_EQ(DecideUploadLimit(settings, At(kSunday, "05:00")),
              (UploadDecision{UploadMode::Scheduled, 20000, 3600}));
    // After the window, the next one opens a week later less eight hours.
    EXPECT_EQ(DecideUploadLimit(settings, At(kSunday, "06:00")).seconds_to_change,
              (7 * 24 - 8) * 3600);

    settings.alternative_limit = 0;  // 0 means unlimited, not stopped
    EXPECT_EQ(DecideUploadLimit(settings, At(kSunday, "01:00")).limit, 0u);
    settings.manual_alternative = true;  // the switch wins over the schedule
    EXPECT_EQ(DecideUploadLimit(settings, At(kMonday, "12:00")),
              (UploadDecision{UploadMode::Alternative, 0, -1}));
    settings.paused = true;  // pausing wins over everything, keeping the limit beneath
    EXPECT_EQ(DecideUploadLimit(settings, At(kMonday, "12:00")),
              (UploadDecision{UploadMode::Paused, 0, -1}));

    UploadLimitSettings plain;
    plain.normal_limit = 5;
    EXPECT_EQ(DecideUploadLimit(plain, At(kMonday, "12:00")),
              (UploadDecision{UploadMode::Normal, 5, -1}));
    UploadLimitSettings always = NightSchedule(kEveryDay);
    always.to_minute = always.from_minute;  // every day, all day: no boundary ever
    EXPECT_EQ(DecideUploadLimit(always, At(kMonday, "12:00")).seconds_to_change, -1);
}

TEST(UploadSchedule, TimesAndDaysAsOperatorsWriteThem) {
    EXPECT_EQ(ParseTimeOfDay("00:00"), 0);
    EXPECT_EQ(ParseTimeOfDay("7:05"), 425);
    EXPECT_EQ(ParseTimeOfDay("23:59"), 1439);
    for (const char* bad : {"24:00", "12:60", "12", "12:5", ":30", "1:2:3", "-1:00", "ab:cd", ""}) {
        EXPECT_EQ(ParseTimeOfDay(bad), -1) << bad;
    }
    EXPECT_EQ(FormatTimeOfDay(425), "07:05");
    EXPECT_EQ(ParseDays("ALL"), static_cast<int>(kEveryDay));
    EXPECT_EQ(ParseDays("weekdays"), static_cast<int>(kWeekdays));
    EXPECT_EQ(ParseDays("Sat,sun"), static_cast<int>(kWeekend));
    for (const char* bad : {"", "mon,", "monday", "mon,,tue", "sat sun"}) {
        EXPECT_EQ(ParseDays(bad), -1) << bad;
    }
    EXPECT_EQ(FormatDays(kWeekend), "sun,sat");
    EXPECT_EQ(FormatDays(kEveryDay), "all");
    EXPECT_EQ(FormatDays(0), "none");
    EXPECT_STREQ(ModeName(UploadMode::Scheduled), "scheduled");
    EXPECT_EQ(DescribeLimit(0), "unlimited");
}

}  // namespace
}  // namespace wharfkeep::schedule
