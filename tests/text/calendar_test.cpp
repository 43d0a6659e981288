#include "text/calendar.h"

#include <gtest/gtest.h>

#include <chrono>

namespace tandemize::text {
namespace {

TEST(Calendar, DayNumbersOfDates) {
  struct Case {
    std::int64_t Year;
    unsigned Month, Day;
    std::int64_t Days;
  };
  const Case cases[] = {
      {1899, 12, 30, 0},      {1899, 12, 29, -1},   {1900, 1, 1, 2},
      {1900, 3, 1, 61},  // 1900 is no leap year
      {1970, 1, 1, 25569},    {2000, 2, 29, 36585}, {2000, 3, 1, 36586},
      {2024, 3, 5, 45356},    {1, 1, 1, -693593},   {9999, 12, 31, 2958465},
      {1600, 2, 29, -109512}, {0, 3, 1, -693899},  // the year before year 1
      {-1, 12, 31, -693960},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DaysFromCivil(c.Year, c.Month, c.Day), c.Days) << c.Year << "-" << c.Month;
    const TCivilDate date = CivilFromDays(c.Days);
    EXPECT_EQ(date.Year, c.Year) << c.Days;
    EXPECT_EQ(date.Month, c.Month) << c.Days;
    EXPECT_EQ(date.Day, c.Day) << c.Days;
  }
}

TEST(Calendar, DayPastMonthEndRunsOn) {
  EXPECT_EQ(DaysFromCivil(2023, 2, 29), DaysFromCivil(2023, 3, 1));
  EXPECT_EQ(DaysFromCivil(2024, 2, 30), DaysFromCivil(2024, 3, 1));
  EXPECT_EQ(DaysFromCivil(2024, 12, 32), DaysFromCivil(2025, 1, 1));
}

// Every day of the years the values can name, against the standard library's
// calendar: the two ways of counting agree and CivilFromDays inverts
// DaysFromCivil.
TEST(Calendar, AgreesWithStandardCalendarOverTheWholeRange) {
  using namespace std::chrono;
  const sys_days epoch{year{1899} / December / 30};
  const sys_days first{year{1} / January / 1};
  const sys_days last{year{9999} / December / 31};
  for (sys_days d = first; d <= last; d += days{1}) {
    const std::int64_t number = (d - epoch).count();
    const year_month_day ymd{d};
    const TCivilDate date = CivilFromDays(number);
    ASSERT_EQ(date.Year, static_cast<int>(ymd.year())) << number;
    ASSERT_EQ(date.Month, static_cast<unsigned>(ymd.month())) << number;
    ASSERT_EQ(date.Day, static_cast<unsigned>(ymd.day())) << number;
    ASSERT_EQ(DaysFromCivil(date.Year, date.Month, date.Day), number);
  }
}

TEST(Calendar, SplitsDateTimeValues) {
  struct Case {
    double Value;
    std::int64_t Days, MSecOfDay;
  };
  const Case cases[] = {
      {0.0, 0, 0},
      {1.5, 1, 43'200'000},
      {45356.75, 45356, 64'800'000},
      // Before day 0 the fraction still counts forward from midnight.
      {-1.25, -1, 21'600'000},
      {-0.5, 0, 43'200'000},
      // A time that rounds to midnight is the next day's midnight, on both
      // sides of day 0.
      {2.9999999999, 3, 0},
      {-1.9999999999, 0, 0},
      {-2.9999999999, -1, 0},
      {1.0000000001, 1, 0},
      // Rounding to the millisecond.
      {0.5 + 0.4 / 86'400'000, 0, 43'200'000},
      {0.5 + 0.6 / 86'400'000, 0, 43'200'001},
  };
  for (const Case& c : cases) {
    const TDayAndTime split = SplitDateTime(c.Value);
    EXPECT_EQ(split.Days, c.Days) << c.Value;
    EXPECT_EQ(split.MSecOfDay, c.MSecOfDay) << c.Value;
  }
}

TEST(Calendar, ComposesWhatItSplits) {
  struct Case {
    std::int64_t Days, MSecOfDay;
    double Value;
  };
  const Case cases[] = {
      {0, 0, 0.0},
      {0, 21'600'000, 0.25},
      {-1, 21'600'000, -1.25},
      {-693593, 0, -693593.0},
      {2958465, kMSecsPerDay - 1, 2958465.0 + (kMSecsPerDay - 1) / double(kMSecsPerDay)},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ComposeDateTime(c.Days, c.MSecOfDay), c.Value) << c.Days;
    const TDayAndTime split = SplitDateTime(ComposeDateTime(c.Days, c.MSecOfDay));
    EXPECT_EQ(split.Days, c.Days);
    EXPECT_EQ(split.MSecOfDay, c.MSecOfDay);
  }
}

TEST(Calendar, SplitsMillisecondsOnAContinuousLine) {
  struct Case {
    std::int64_t MSecs, Days, MSecOfDay;
  };
  const Case cases[] = {
      {0, 0, 0},
      {kMSecsPerDay, 1, 0},
      {kMSecsPerDay - 1, 0, kMSecsPerDay - 1},
      {-1, -1, kMSecsPerDay - 1},
      {-kMSecsPerDay, -1, 0},
      {-kMSecsPerDay - 1, -2, kMSecsPerDay - 1},
  };
  for (const Case& c : cases) {
    const TDayAndTime split = SplitMSecs(c.MSecs);
    EXPECT_EQ(split.Days, c.Days) << c.MSecs;
    EXPECT_EQ(split.MSecOfDay, c.MSecOfDay) << c.MSecs;
  }
  // On the continuous line 1899-12-29 18:00 is 6 hours before day 0; as a
  // date-time value it is day -1 at 18:00, that is -1.75.
  const TDayAndTime evening = SplitMSecs(-6 * 3'600'000);
  EXPECT_DOUBLE_EQ(ComposeDateTime(evening.Days, evening.MSecOfDay), -1.75);
}

TEST(Calendar, TimeOfDay) {
  EXPECT_EQ(TimeOfDayMSecs(0, 0, 0, 0), 0);
  EXPECT_EQ(TimeOfDayMSecs(23, 59, 59, 999), kMSecsPerDay - 1);
  EXPECT_EQ(TimeOfDayMSecs(12, 30, 15, 250), 45'015'250);
  EXPECT_EQ(TimeOfDayMSecs(24, 0, 0, 0), kMSecsPerDay);  // runs on
}

}  // namespace
}  // namespace tandemize::text
