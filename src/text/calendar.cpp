#include "text/calendar.h"

#include <cmath>

namespace tandemize::text {
namespace {

// Days from 0000-03-01 to 1899-12-30. The computations below count from
// 0000-03-01, so that a leap day is the last day of its year.
constexpr std::int64_t kEpochFromMarch1st = 693'899;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if (a % b != 0 && (a < 0) != (b < 0)) --q;
  return q;
}

}  // namespace

std::int64_t DaysFromCivil(std::int64_t aYear, unsigned aMonth, unsigned aDay) {
  const std::int64_t y = aYear - (aMonth <= 2 ? 1 : 0);
  const std::int64_t era = FloorDiv(y, 400);
  const auto yearOfEra = static_cast<unsigned>(y - era * 400);
  const unsigned dayOfYear = (153 * (aMonth > 2 ? aMonth - 3 : aMonth + 9) + 2) / 5 + aDay - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146'097 + static_cast<std::int64_t>(dayOfEra) - kEpochFromMarch1st;
}

TCivilDate CivilFromDays(std::int64_t aDays) {
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

double ComposeDateTime(std::int64_t aDays, std::int64_t aMSecOfDay) {
  const auto days = static_cast<double>(aDays);
  const double time = static_cast<double>(aMSecOfDay) / static_cast<double>(kMSecsPerDay);
  return aDays >= 0 ? days + time : days - time;
}

TDayAndTime SplitDateTime(double aValue) {
  const double whole = std::trunc(aValue);
  TDayAndTime result;
  result.Days = static_cast<std::int64_t>(whole);
  result.MSecOfDay = std::llround(std::fabs(aValue - whole) * static_cast<double>(kMSecsPerDay));
  if (result.MSecOfDay >= kMSecsPerDay) {
    result.MSecOfDay -= kMSecsPerDay;
    result.Days += 1;
  }
  return result;
}

TDayAndTime SplitMSecs(std::int64_t aMSecs) {
  TDayAndTime result;
  result.Days = FloorDiv(aMSecs, kMSecsPerDay);
  result.MSecOfDay = aMSecs - result.Days * kMSecsPerDay;
  return result;
}

}  // namespace tandemize::text
