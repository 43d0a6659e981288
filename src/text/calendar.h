#pragma once
// The calendar arithmetic of date-time values, shared by every layer that
// reads or writes them.
//
// A date-time value is a double: the whole part counts days from 1899-12-30
// (day 0), the fraction is the time of day. Before day 0 the fraction still
// counts forward from midnight: -1.25 is 1899-12-29 06:00, not 1899-12-28
// 18:00. The calendar is the proleptic Gregorian one, for every year.

#include <cstdint>

namespace tandemize::text {

// Milliseconds in a day: the unit of the time-of-day fraction.
inline constexpr std::int64_t kMSecsPerDay = 86'400'000;

// DaysFromCivil()
//
// The day number of a date: days from 1899-12-30 to `aYear`-`aMonth`-`aDay`
// (negative before it). REQUIRES: 1 <= aMonth <= 12; a day past the end of
// its month runs on into the next month (February 30 is March 1 or 2).
constexpr std::int64_t DaysFromCivil(std::int64_t aYear, unsigned aMonth, unsigned aDay);

// CivilFromDays()
//
// The date of day number `aDays`, the inverse of DaysFromCivil.
struct TCivilDate {
  std::int64_t Year = 0;
  unsigned Month = 0;
  unsigned Day = 0;
};
constexpr TCivilDate CivilFromDays(std::int64_t aDays);

// TimeOfDayMSecs()
//
// Milliseconds since midnight of a time of day. Out-of-range parts are not
// checked: hour 24 or second 60 simply count on.
constexpr std::int64_t TimeOfDayMSecs(std::int64_t aHour, std::int64_t aMinute,
                                      std::int64_t aSecond, std::int64_t aMSec) {
  return ((aHour * 60 + aMinute) * 60 + aSecond) * 1000 + aMSec;
}

// ComposeDateTime()
//
// The date-time value of day number `aDays` at `aMSecOfDay` milliseconds
// after its midnight (0 <= aMSecOfDay < kMSecsPerDay): the fraction is added
// from day 0 on and subtracted before it.
double ComposeDateTime(std::int64_t aDays, std::int64_t aMSecOfDay);

// SplitDateTime()
//
// The day number and the time of day, rounded to the nearest millisecond, of
// a date-time value. A time that rounds up to midnight is midnight of the
// next day, before day 0 as after it (-1.9999999999 is day 0 at 00:00).
// REQUIRES: `aValue` is finite and its whole part fits in std::int64_t.
struct TDayAndTime {
  std::int64_t Days = 0;
  std::int64_t MSecOfDay = 0;
};
TDayAndTime SplitDateTime(double aValue);

// SplitMSecs()
//
// The day number and time of day of `aMSecs` milliseconds counted from
// 1899-12-30 00:00 on a continuous time line (negative before it).
TDayAndTime SplitMSecs(std::int64_t aMSecs);

// ---------------------------------------------------------------------------
// Implementation. The day counts below start at 0000-03-01, so that a leap
// day is the last day of its year; 400 years are 146097 days.

namespace calendar_internal {

inline constexpr std::int64_t kEpochFromMarch1st = 693'899;  // 0000-03-01 to 1899-12-30

constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if (a % b != 0 && (a < 0) != (b < 0)) --q;
  return q;
}

}  // namespace calendar_internal

constexpr std::int64_t DaysFromCivil(std::int64_t aYear, unsigned aMonth, unsigned aDay) {
  using namespace calendar_internal;
  const std::int64_t y = aYear - (aMonth <= 2 ? 1 : 0);
  const std::int64_t era = FloorDiv(y, 400);
  const auto yearOfEra = static_cast<unsigned>(y - era * 400);
  const unsigned dayOfYear = (153 * (aMonth > 2 ? aMonth - 3 : aMonth + 9) + 2) / 5 + aDay - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146'097 + static_cast<std::int64_t>(dayOfEra) - kEpochFromMarch1st;
}

constexpr TCivilDate CivilFromDays(std::int64_t aDays) {
  using namespace calendar_internal;
  const std::int64_t z = aDays + kEpochFromMarch1st;
  const std::int64_t era = FloorDiv(z, 146'097);
  const auto dayOfEra = static_cast<unsigned>(z - era * 146'097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
  TCivilDate date;
  date.Day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  date.Month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  date.Year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (date.Month <= 2 ? 1 : 0);
  return date;
}

}  // namespace tandemize::text
