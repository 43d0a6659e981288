// ISO 8601 date and time text of the converter's JSON, to and from the
// table's date-time values. Day numbers come from text/calendar.h;
// std::chrono only tells whether a date exists.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "converter/converter_util.h"
#include "json/json_text.h"
#include "text/calendar.h"
#include "text/charset.h"

namespace tandemize::converter {
namespace {

using std::chrono::day;
using std::chrono::month;
using std::chrono::year;
using std::chrono::year_month_day;

// Years 1 to 9999 are the range of the date-time values.
constexpr std::int64_t kMinDay = text::DaysFromCivil(1, 1, 1);
constexpr std::int64_t kMaxDay = text::DaysFromCivil(9999, 12, 31);

// Milliseconds since 1899-12-30 00:00 -> date-time value.
TDateTimeValue FromMSecs(std::int64_t msecs) {
  const text::TDayAndTime split = text::SplitMSecs(msecs);
  return text::ComposeDateTime(split.Days, split.MSecOfDay);
}

// A decoded date-time value, rounded to the millisecond.
struct TDecoded {
  text::TCivilDate Date;
  std::int64_t MSecOfDay = 0;
};

TDecoded Decode(TDateTimeValue value) {
  // Beyond these bounds no calendar date exists for the value.
  constexpr double kLow = static_cast<double>(kMinDay) - 1;
  constexpr double kHigh = static_cast<double>(kMaxDay) + 1;
  if (!std::isfinite(value) || value <= kLow || value >= kHigh) {
    throw std::runtime_error(fmt::format("Invalid date and time value: {}", value));
  }
  const text::TDayAndTime split = text::SplitDateTime(value);
  return {text::CivilFromDays(split.Days), split.MSecOfDay};
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A cursor over ASCII text that reads runs of digits.
class TScanner {
 public:
  explicit TScanner(std::string_view text) : FText(text) {}

  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return AtEnd() ? '\0' : FText[FPos]; }
  bool Accept(char c) {
    if (Peek() != c) return false;
    ++FPos;
    return true;
  }
  // Reads between `minDigits` and `maxDigits` digits; nullopt when fewer are there.
  std::optional<int> Digits(std::size_t minDigits, std::size_t maxDigits) {
    std::size_t count = 0;
    int value = 0;
    while (count < maxDigits && IsDigit(Peek())) {
      value = value * 10 + (FText[FPos] - '0');
      ++FPos;
      ++count;
    }
    if (count < minDigits) return std::nullopt;
    return value;
  }
  void Skip(std::size_t count) { FPos += count; }
  std::string_view Rest() const { return FText.substr(std::min(FPos, FText.size())); }

 private:
  std::string_view FText;
  std::size_t FPos = 0;
};

struct TDateParts {
  int Year = 0, Month = 0, Day = 0;
};

[[noreturn]] void InvalidDateString(std::string_view datePart) {
  throw std::runtime_error(fmt::format("Invalid date string: {}", datePart));
}

[[noreturn]] void InvalidTimeString(std::string_view timePart) {
  throw std::runtime_error(fmt::format("Invalid time string: {}", timePart));
}

TDateParts ReadIsoDate(std::string_view datePart) {
  std::string_view text = datePart;
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.size() < 4) InvalidDateString(datePart);
  TScanner scan(text);
  TDateParts parts;
  const bool extended = text.find('-') != std::string_view::npos;
  // A missing month or day stays 0 and is refused as an impossible date.
  const auto readPart = [&](std::size_t minDigits, std::size_t maxDigits) {
    const std::optional<int> value = scan.Digits(minDigits, maxDigits);
    if (!value) InvalidDateString(datePart);
    return *value;
  };
  if (extended) {
    parts.Year = readPart(1, 4);
    if (scan.Accept('-')) {
      parts.Month = readPart(1, 2);
      if (scan.Accept('-')) parts.Day = readPart(1, 2);
    }
  } else {
    parts.Year = readPart(4, 4);
    if (!scan.AtEnd()) parts.Month = readPart(2, 2);
    if (!scan.AtEnd()) parts.Day = readPart(2, 2);
  }
  if (!scan.AtEnd()) InvalidDateString(datePart);
  return parts;
}

struct TTimeParts {
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
  // Minutes east of UTC.
  int OffsetMinutes = 0;
};

// "0.<digits>" * 1000 rounded to the nearest integer, ties to even.
int FractionToMSec(std::string_view digits) {
  int msec = 0;
  for (std::size_t i = 0; i < 3; ++i) msec = msec * 10 + (i < digits.size() ? digits[i] - '0' : 0);
  if (digits.size() <= 3) return msec;
  const std::string_view rest = digits.substr(3);
  const bool aboveHalf =
      rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) != std::string_view::npos);
  const bool exactlyHalf = !aboveHalf && rest[0] == '5';
  if (aboveHalf || (exactlyHalf && msec % 2 == 1)) ++msec;
  return msec;
}

TTimeParts ReadIsoTime(std::string_view timePart) {
  const std::size_t zoneStart = timePart.find_first_of("Z+-");
  const bool extended = timePart.substr(0, zoneStart).find(':') != std::string_view::npos;
  TScanner scan(timePart);
  TTimeParts parts;
  const auto readPart = [&](std::size_t minDigits, std::size_t maxDigits) {
    const std::optional<int> value = scan.Digits(minDigits, maxDigits);
    if (!value) InvalidTimeString(timePart);
    return *value;
  };
  if (extended) {
    parts.Hour = readPart(1, 2);
    if (scan.Accept(':')) {
      parts.Minute = readPart(1, 2);
      if (scan.Accept(':')) parts.Second = readPart(1, 2);
    }
  } else {
    parts.Hour = readPart(2, 2);
    if (IsDigit(scan.Peek())) parts.Minute = readPart(2, 2);
    if (IsDigit(scan.Peek())) parts.Second = readPart(2, 2);
  }
  if (scan.Accept('.')) {
    const std::string_view rest = scan.Rest();
    std::size_t count = 0;
    while (count < rest.size() && IsDigit(rest[count])) ++count;
    if (count == 0 || count > 18) InvalidTimeString(timePart);
    parts.MSec = FractionToMSec(rest.substr(0, count));
    scan.Skip(count);
  }
  if (scan.Accept('Z')) {
    // UTC: nothing to remove.
  } else if (scan.Peek() == '+' || scan.Peek() == '-') {
    const int sign = scan.Peek() == '-' ? -1 : 1;
    scan.Accept(scan.Peek());
    const std::optional<int> hours = scan.Digits(2, 2);
    if (!hours || *hours > 23) {
      throw std::runtime_error(fmt::format("Invalid time Offset string: {}", timePart));
    }
    int minutes = 0;
    if (scan.Accept(':') || IsDigit(scan.Peek())) minutes = readPart(2, 2);
    if (minutes > 59) {
      throw std::runtime_error(fmt::format("Invalid time Offset string: {}", timePart));
    }
    parts.OffsetMinutes = sign * (*hours * 60 + minutes);
  }
  if (!scan.AtEnd()) InvalidTimeString(timePart);
  return parts;
}

// Characters `first` (1-based) to `first + count - 1` of the text, counted
// in UTF-16 code units as the positions of the ISO forms are.
std::string Copy(std::u16string_view text, std::size_t first, std::size_t count) {
  if (first - 1 >= text.size()) return {};
  return text::Utf16ToUtf8(text.substr(first - 1, count));
}

// The same on text whose characters up to the last position read are ASCII,
// where each byte is one code unit.
std::string_view Copy(std::string_view text, std::size_t first, std::size_t count) {
  if (first - 1 >= text.size()) return {};
  return text.substr(first - 1, count);
}

template <typename Text>
int PositionalInt(Text text, std::size_t first, std::size_t count) {
  const auto part = Copy(text, first, count);
  const std::optional<std::int32_t> value = json::TryReadInt32(part);
  if (!value) throw std::runtime_error(fmt::format("'{}' is not a valid integer value", part));
  return *value;
}

// Whether the first `count` bytes of the text (all of a shorter one) are
// ASCII: then its positions up to `count` are byte positions.
bool AsciiPrefix(std::string_view text, std::size_t count) {
  const std::size_t n = std::min(text.size(), count);
  for (std::size_t i = 0; i < n; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

TDateTimeValue EncodeDate(int y, int m, int d) {
  const bool inRange = y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
  const year_month_day ymd{year{inRange ? y : 1}, month{static_cast<unsigned>(inRange ? m : 1)},
                           day{static_cast<unsigned>(inRange ? d : 1)}};
  if (!inRange || !ymd.ok()) throw std::runtime_error("Invalid argument to date encode");
  return static_cast<TDateTimeValue>(
      text::DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)));
}

template <typename Text>
TDateTimeValue DateFromPositions(Text text) {
  const int y = PositionalInt(text, 1, 4);
  const int m = PositionalInt(text, 6, 2);
  const int d = PositionalInt(text, 9, 2);
  return EncodeDate(y, m, d);
}

template <typename Text>
TDateTimeValue TimeFromPositions(Text text) {
  const int h = PositionalInt(text, 1, 2);
  const int n = PositionalInt(text, 4, 2);
  const int s = PositionalInt(text, 7, 2);
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59) {
    throw std::runtime_error("Invalid argument to time encode");
  }
  return FromMSecs(text::TimeOfDayMSecs(h, n, s, 0));
}

}  // namespace

std::string TConverterUtil::DateTimeToISOTimeStamp(TDateTimeValue aDateTime) {
  const TDecoded value = Decode(aDateTime);
  const std::int64_t ms = value.MSecOfDay;
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", value.Date.Year,
                     value.Date.Month, value.Date.Day, ms / 3'600'000, ms / 60'000 % 60,
                     ms / 1000 % 60, ms % 1000);
}

std::string TConverterUtil::DateToISODate(TDateTimeValue aDate) {
  const text::TCivilDate date = Decode(aDate).Date;
  return fmt::format("{:04}-{:02}-{:02}", date.Year, date.Month, date.Day);
}

std::string TConverterUtil::TimeToISOTime(TDateTimeValue aTime) {
  const std::int64_t ms = Decode(aTime).MSecOfDay;
  return fmt::format("{:02}:{:02}:{:02}", ms / 3'600'000, ms / 60'000 % 60, ms / 1000 % 60);
}

TDateTimeValue TConverterUtil::ISOTimeStampToDateTime(std::string_view aDateTime) {
  const std::size_t t = aDateTime.find('T');
  const std::string_view datePart = aDateTime.substr(0, t);
  const TDateParts date = ReadIsoDate(datePart);
  TTimeParts time;
  if (t != std::string_view::npos) time = ReadIsoTime(aDateTime.substr(t + 1));

  const year_month_day ymd{year{date.Year}, month{static_cast<unsigned>(date.Month)},
                           day{static_cast<unsigned>(date.Day)}};
  const bool valid = date.Year >= 1 && ymd.ok() && time.Hour <= 24 && time.Minute <= 59 &&
                     time.Second <= 60 && time.MSec <= 1000;
  if (!valid) {
    throw std::runtime_error(fmt::format(
        "'{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}' is not a valid date and time", date.Year,
        date.Month, date.Day, time.Hour, time.Minute, time.Second, time.MSec));
  }
  // Hour 24, second 60 and 1000 ms simply run on into the next unit.
  const std::int64_t local = text::DaysFromCivil(date.Year, static_cast<unsigned>(date.Month),
                                                 static_cast<unsigned>(date.Day)) *
                                 text::kMSecsPerDay +
                             text::TimeOfDayMSecs(time.Hour, time.Minute, time.Second, time.MSec);
  return FromMSecs(local - std::int64_t{time.OffsetMinutes} * 60'000);
}

TDateTimeValue TConverterUtil::ISODateToDate(std::string_view aDate) {
  // Positions run to 10: text that is ASCII that far is read in place.
  if (AsciiPrefix(aDate, 10)) {
    // "YYYY?MM?DD...": digits at every position read need no integer parse.
    const auto digit = [&](std::size_t i) { return aDate[i] >= '0' && aDate[i] <= '9'; };
    const auto number = [&](std::size_t i) { return aDate[i] - '0'; };
    if (aDate.size() >= 10 && digit(0) && digit(1) && digit(2) && digit(3) && digit(5) &&
        digit(6) && digit(8) && digit(9)) {
      const int y = number(0) * 1000 + number(1) * 100 + number(2) * 10 + number(3);
      const int m = number(5) * 10 + number(6);
      const int d = number(8) * 10 + number(9);
      return EncodeDate(y, m, d);
    }
    return DateFromPositions(aDate);
  }
  const std::u16string text = text::Utf8ToUtf16(aDate);
  return DateFromPositions(std::u16string_view(text));
}

TDateTimeValue TConverterUtil::ISOTimeToTime(std::string_view aTime) {
  if (AsciiPrefix(aTime, 8)) return TimeFromPositions(aTime);
  const std::u16string text = text::Utf8ToUtf16(aTime);
  return TimeFromPositions(std::u16string_view(text));
}

}  // namespace tandemize::converter
