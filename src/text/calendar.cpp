#include "text/calendar.h"

#include <cmath>

namespace tandemize::text {

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
  result.Days = calendar_internal::FloorDiv(aMSecs, kMSecsPerDay);
  result.MSecOfDay = aMSecs - result.Days * kMSecsPerDay;
  return result;
}

}  // namespace tandemize::text
