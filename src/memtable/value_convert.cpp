#include "memtable/value_convert.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>

#include <fmt/format.h>
#include <boost/algorithm/string/trim.hpp>

#include "memtable/errors.h"
#include "text/bcd.h"
#include "text/calendar.h"
#include "text/case_fold.h"

namespace tandemize::memtable {

namespace {

template <class>
inline constexpr bool kAlwaysFalse = false;

const char* PlainTypeName(const TVariant& aValue) {
  static constexpr const char* kNames[] = {
      "Null",         "Boolean", "ShortInt", "Byte",   "SmallInt", "Word",     "Integer",
      "LongWord",     "Int64",   "UInt64",   "Single", "Double",   "Currency", "Date",
      "SQLTimeStamp", "FMTBcd",  "Interval", "String", "Bytes"};
  return kNames[aValue.index()];
}

[[noreturn]] void ConversionError(const TVariant& aValue, std::string_view aTarget) {
  throw EDatabaseError(fmt::format("Could not convert variant of type ({}) into type ({})",
                                   PlainTypeName(aValue), aTarget));
}

[[noreturn]] void TextError(std::string_view aText, std::string_view aWhat) {
  throw EDatabaseError(fmt::format("'{}' is not a valid {}", aText, aWhat));
}

std::string Trimmed(std::string_view aText) {
  return boost::algorithm::trim_copy(std::string(aText));
}

bool ParseInt64(std::string_view aText, std::int64_t& aValue) {
  if (!aText.empty() && aText.front() == '+') aText.remove_prefix(1);
  const auto [ptr, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
  return ec == std::errc() && ptr == aText.data() + aText.size() && !aText.empty();
}

bool ParseDouble(std::string_view aText, double& aValue) {
  if (!aText.empty() && aText.front() == '+') aText.remove_prefix(1);
  const auto [ptr, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
  return ec == std::errc() && ptr == aText.data() + aText.size() && !aText.empty();
}

std::int64_t CheckedRound(double aValue, const TVariant& aSource) {
  const double rounded = std::round(aValue);
  if (!std::isfinite(rounded) || rounded < -9223372036854775808.0 ||
      rounded >= 9223372036854775808.0) {
    ConversionError(aSource, "Int64");
  }
  return static_cast<std::int64_t>(rounded);
}

// Digits of a packed decimal, one per char ('0'..'9').
std::string BcdDigits(const TBcd& aValue) {
  std::string digits;
  const int precision = std::min<int>(aValue.Precision, 64);
  for (int i = 0; i < precision; ++i) {
    digits += static_cast<char>(
        '0' + std::min(text::BcdNibble(aValue.Fraction, static_cast<std::size_t>(i)), 9u));
  }
  return digits;
}

TBcd MakeBcd(bool aNegative, std::string_view aDigits, int aPlaces) {
  TBcd result;
  if (aDigits.empty()) aDigits = "0";
  result.Precision = static_cast<std::uint8_t>(aDigits.size());
  const bool zero = aDigits.find_first_not_of('0') == std::string_view::npos;
  result.SignSpecialPlaces =
      static_cast<std::uint8_t>(((aNegative && !zero) ? 0x80 : 0) | (aPlaces & 0x3F));
  text::PackBcdDigits(aDigits, result.Fraction);
  return result;
}

std::string FormatDateTime(double aValue, bool aDate, bool aTime) {
  std::int32_t day = 0, msecs = 0;
  DateTimeToDayAndTime(aValue, day, msecs);
  std::string text;
  if (aDate) {
    int year = 0;
    unsigned month = 0, dayOfMonth = 0;
    DecodeDayNumber(day, year, month, dayOfMonth);
    text = fmt::format("{:04}-{:02}-{:02}", year, month, dayOfMonth);
  }
  if (aTime) {
    if (!text.empty()) text += ' ';
    text +=
        fmt::format("{:02}:{:02}:{:02}", msecs / 3600000, msecs / 60000 % 60, msecs / 1000 % 60);
    if (msecs % 1000 != 0) text += fmt::format(".{:03}", msecs % 1000);
  }
  return text;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]" (or with "T"), "HH:MM[:SS[.fff]]".
bool ParseDateTimeText(std::string_view aText, double& aValue) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  double fraction = 0;
  bool hasDate = false;
  std::size_t pos = 0;
  const auto readInt = [&](int digitsMin, int digitsMax, int& out) {
    std::size_t start = pos;
    while (pos < aText.size() && pos - start < static_cast<std::size_t>(digitsMax) &&
           aText[pos] >= '0' && aText[pos] <= '9') {
      ++pos;
    }
    if (pos - start < static_cast<std::size_t>(digitsMin)) return false;
    std::from_chars(aText.data() + start, aText.data() + pos, out);
    return true;
  };
  const auto expect = [&](char c) {
    if (pos < aText.size() && aText[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  };
  if (aText.size() >= 10 && aText[4] == '-') {
    if (!readInt(4, 4, year) || !expect('-') || !readInt(1, 2, month) || !expect('-') ||
        !readInt(1, 2, day)) {
      return false;
    }
    hasDate = true;
    if (pos == aText.size()) {
      if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    } else if (!expect(' ') && !expect('T')) {
      return false;
    }
  }
  if (pos < aText.size()) {
    if (!readInt(1, 2, hour) || !expect(':') || !readInt(2, 2, minute)) return false;
    if (expect(':')) {
      if (!readInt(2, 2, second)) return false;
      if (expect('.')) {
        const std::size_t start = pos;
        while (pos < aText.size() && aText[pos] >= '0' && aText[pos] <= '9') ++pos;
        if (pos == start) return false;
        std::string digits = "0." + std::string(aText.substr(start, pos - start));
        ParseDouble(digits, fraction);
      }
    }
    if (pos != aText.size() || hour > 23 || minute > 59 || second > 59) return false;
  }
  double result = 0;
  if (hasDate) {
    if (month < 1 || month > 12 || day < 1) return false;
    const std::chrono::year_month_day ymd{std::chrono::year(year),
                                          std::chrono::month(static_cast<unsigned>(month)),
                                          std::chrono::day(static_cast<unsigned>(day))};
    if (!ymd.ok() || year < 1) return false;
    result = EncodeDayNumber(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
             kDateDelta;
  }
  const auto msecs = static_cast<std::int32_t>(
      std::llround(((hour * 60.0 + minute) * 60.0 + second + fraction) * 1000.0));
  if (hasDate) {
    result = DayAndTimeToDateTime(static_cast<std::int32_t>(result) + kDateDelta, msecs);
  } else {
    result = msecs / static_cast<double>(kMSecsPerDay);
  }
  aValue = result;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Calendar

std::int32_t EncodeDayNumber(int aYear, unsigned aMonth, unsigned aDay) {
  return static_cast<std::int32_t>(text::DaysFromCivil(aYear, aMonth, aDay) + kDateDelta);
}

void DecodeDayNumber(std::int32_t aDayNumber, int& aYear, unsigned& aMonth, unsigned& aDay) {
  const text::TCivilDate date = text::CivilFromDays(std::int64_t{aDayNumber} - kDateDelta);
  aYear = static_cast<int>(date.Year);
  aMonth = date.Month;
  aDay = date.Day;
}

void DateTimeToDayAndTime(double aDateTime, std::int32_t& aDayNumber, std::int32_t& aMSecs) {
  // 0001-01-01 to 9999-12-31 are the dates a value can name.
  if (!(aDateTime > -693594.0 && aDateTime < 2958466.0)) {
    throw EDatabaseError(fmt::format("{} is not a valid date and time", aDateTime));
  }
  const text::TDayAndTime split = text::SplitDateTime(aDateTime);
  aDayNumber = static_cast<std::int32_t>(split.Days + kDateDelta);
  aMSecs = static_cast<std::int32_t>(split.MSecOfDay);
}

double DayAndTimeToDateTime(std::int32_t aDayNumber, std::int32_t aMSecs) {
  return text::ComposeDateTime(std::int64_t{aDayNumber} - kDateDelta, aMSecs);
}

TSQLTimeStamp DateTimeToSQLTimeStamp(double aDateTime) {
  std::int32_t day = 0, msecs = 0;
  DateTimeToDayAndTime(aDateTime, day, msecs);
  int year = 0;
  unsigned month = 0, dayOfMonth = 0;
  DecodeDayNumber(day, year, month, dayOfMonth);
  TSQLTimeStamp result;
  result.Year = static_cast<std::int16_t>(year);
  result.Month = static_cast<std::uint16_t>(month);
  result.Day = static_cast<std::uint16_t>(dayOfMonth);
  result.Hour = static_cast<std::uint16_t>(msecs / 3600000);
  result.Minute = static_cast<std::uint16_t>(msecs / 60000 % 60);
  result.Second = static_cast<std::uint16_t>(msecs / 1000 % 60);
  result.Fractions = static_cast<std::uint32_t>(msecs % 1000);
  return result;
}

double SQLTimeStampToDateTime(const TSQLTimeStamp& aValue) {
  using namespace std::chrono;
  const year_month_day ymd{year(aValue.Year), month(aValue.Month), day(aValue.Day)};
  if (!ymd.ok() || aValue.Year < 1 || aValue.Hour > 23 || aValue.Minute > 59 ||
      aValue.Second > 59 || aValue.Fractions > 999) {
    throw EDatabaseError("Invalid argument to time encode");
  }
  const auto msecs = static_cast<std::int32_t>(
      text::TimeOfDayMSecs(aValue.Hour, aValue.Minute, aValue.Second, aValue.Fractions));
  return DayAndTimeToDateTime(EncodeDayNumber(aValue.Year, aValue.Month, aValue.Day), msecs);
}

// ---------------------------------------------------------------------------
// Packed decimals

std::string BcdToString(const TBcd& aValue) {
  const std::string digits = BcdDigits(aValue);
  const int places =
      std::min<int>(aValue.SignSpecialPlaces & 0x3F, static_cast<int>(digits.size()));
  std::string whole = digits.substr(0, digits.size() - static_cast<std::size_t>(places));
  std::string fraction = digits.substr(digits.size() - static_cast<std::size_t>(places));
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole.empty()) whole = "0";
  std::string text;
  if ((aValue.SignSpecialPlaces & 0x80) != 0 && (whole != "0" || !fraction.empty())) text = "-";
  text += whole;
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

bool StringToBcd(std::string_view aText, TBcd& aValue) {
  text::TDecimalText decimal;
  if (!text::ReadDecimalText(aText, decimal)) return false;
  aValue = MakeBcd(decimal.Negative, decimal.Digits, static_cast<int>(decimal.Places));
  return true;
}

TBcd DoubleToBcd(double aValue) {
  if (!std::isfinite(aValue))
    throw EDatabaseError(fmt::format("{} is not a valid BCD value", aValue));
  char buffer[400];
  const auto [ptr, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, aValue, std::chars_format::fixed);
  std::string text(buffer, ec == std::errc() ? ptr : buffer);
  TBcd result;
  if (StringToBcd(text, result)) return result;
  // Too many digits: keep what fits.
  const std::size_t dot = text.find('.');
  const std::size_t wholeDigits = (dot == std::string::npos ? text.size() : dot) - (aValue < 0);
  if (wholeDigits > 64) throw EDatabaseError(fmt::format("{} is not a valid BCD value", text));
  if (dot != std::string::npos) text.resize(std::min(text.size(), dot + 1 + (64 - wholeDigits)));
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!StringToBcd(text, result)) result = MakeBcd(false, "0", 0);
  return result;
}

double BcdToDouble(const TBcd& aValue) {
  double result = 0;
  ParseDouble(BcdToString(aValue), result);
  return result;
}

TBcd BcdRound(const TBcd& aValue, int aScale) {
  const int places = aValue.SignSpecialPlaces & 0x3F;
  if (places <= aScale) return aValue;
  std::string digits = BcdDigits(aValue);
  const int drop = std::min<int>(places - aScale, static_cast<int>(digits.size()));
  const bool roundUp = digits[digits.size() - static_cast<std::size_t>(drop)] >= '5';
  digits.resize(digits.size() - static_cast<std::size_t>(drop));
  if (roundUp) {
    int i = static_cast<int>(digits.size()) - 1;
    for (; i >= 0 && digits[static_cast<std::size_t>(i)] == '9'; --i)
      digits[static_cast<std::size_t>(i)] = '0';
    if (i >= 0) {
      ++digits[static_cast<std::size_t>(i)];
    } else {
      digits.insert(digits.begin(), '1');
    }
  }
  if (digits.size() > 64) digits.erase(0, 1);
  return MakeBcd((aValue.SignSpecialPlaces & 0x80) != 0, digits, aScale);
}

bool BcdToCurrency(const TBcd& aValue, TCurrency& aResult) {
  const TBcd rounded = BcdRound(aValue, 4);
  std::string digits = BcdDigits(rounded);
  const int places = rounded.SignSpecialPlaces & 0x3F;
  digits.append(static_cast<std::size_t>(4 - std::min(places, 4)), '0');
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) digits = "0";
  std::uint64_t magnitude = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc()) return false;
  const bool negative = (rounded.SignSpecialPlaces & 0x80) != 0;
  if (magnitude >
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0)) {
    return false;
  }
  aResult.Value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

TBcd CurrencyToBcd(TCurrency aValue) {
  const bool negative = aValue.Value < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(aValue.Value)
                                           : static_cast<std::uint64_t>(aValue.Value);
  std::string digits = fmt::format("{:05}", magnitude);
  return MakeBcd(negative, digits, 4);
}

// ---------------------------------------------------------------------------
// GUID

std::string GuidToString(const TBytes& aBytes) {
  if (aBytes.size() != 16) return {};
  const auto le32 = [&](int i) {
    return static_cast<std::uint32_t>(aBytes[i]) | static_cast<std::uint32_t>(aBytes[i + 1]) << 8 |
           static_cast<std::uint32_t>(aBytes[i + 2]) << 16 |
           static_cast<std::uint32_t>(aBytes[i + 3]) << 24;
  };
  const auto le16 = [&](int i) { return aBytes[i] | aBytes[i + 1] << 8; };
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     le32(0), le16(4), le16(6), aBytes[8], aBytes[9], aBytes[10], aBytes[11],
                     aBytes[12], aBytes[13], aBytes[14], aBytes[15]);
}

bool StringToGuid(std::string_view aText, TBytes& aBytes) {
  if (aText.size() != 38 || aText.front() != '{' || aText.back() != '}') return false;
  std::string hex;
  for (std::size_t i = 1; i + 1 < aText.size(); ++i) {
    const char c = aText[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != '-') return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    hex += c;
  }
  std::uint8_t raw[16];
  for (int i = 0; i < 16; ++i) {
    std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, raw[i], 16);
  }
  // The first three groups are stored little-endian.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  aBytes.assign(16, 0);
  for (int i = 0; i < 16; ++i) aBytes[static_cast<std::size_t>(i)] = raw[order[i]];
  return true;
}

// ---------------------------------------------------------------------------
// Column layout <-> plain values

TVariant ColumnToPlain(TColumnDataType aType, const TVariant& aRaw) {
  using enum TColumnDataType;
  if (VarIsNull(aRaw)) return aRaw;
  switch (aType) {
    case dtBoolean:
      if (!std::holds_alternative<bool>(aRaw)) return PlainToInt64(aRaw) != 0;
      break;
    case dtDateTime:
      if (!std::holds_alternative<TDateTime>(aRaw)) {
        const double ms = PlainToDouble(aRaw);
        const double day = std::floor(ms / static_cast<double>(kMSecsPerDay));
        if (!(day >= 1 && day <= 3652059)) ConversionError(aRaw, "Date");
        const auto msecs = static_cast<std::int32_t>(ms - day * static_cast<double>(kMSecsPerDay));
        return TDateTime{DayAndTimeToDateTime(static_cast<std::int32_t>(day), msecs)};
      }
      break;
    case dtDate:
      if (!std::holds_alternative<TDateTime>(aRaw)) {
        return TDateTime{static_cast<double>(PlainToInt64(aRaw) - kDateDelta)};
      }
      break;
    case dtTime:
      if (!std::holds_alternative<TDateTime>(aRaw)) {
        return TDateTime{static_cast<double>(PlainToInt64(aRaw)) /
                         static_cast<double>(kMSecsPerDay)};
      }
      break;
    case dtGUID:
      if (const auto* bytes = std::get_if<TBytes>(&aRaw)) return GuidToString(*bytes);
      break;
    default:
      break;
  }
  return aRaw;
}

namespace {

template <typename T>
T NarrowInteger(const TVariant& aPlain, std::string_view aTarget) {
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    if (const auto* value = std::get_if<std::uint64_t>(&aPlain)) return *value;
    const std::int64_t value = PlainToInt64(aPlain);
    if (value < 0) ConversionError(aPlain, aTarget);
    return static_cast<T>(value);
  } else {
    const std::int64_t value = PlainToInt64(aPlain);
    if (value < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        (value > 0 && static_cast<std::uint64_t>(value) > std::numeric_limits<T>::max())) {
      throw EDatabaseError(fmt::format("{} is out of range for {}", value, aTarget));
    }
    return static_cast<T>(value);
  }
}

}  // namespace

TVariant PlainToColumn(TColumnDataType aType, TVariant aPlain) {
  using enum TColumnDataType;
  if (VarIsNull(aPlain)) return aPlain;
  switch (aType) {
    case dtUnknown:
      return aPlain;
    case dtBoolean:
      return static_cast<std::uint16_t>(PlainToBool(aPlain) ? 1 : 0);
    case dtSByte:
      return NarrowInteger<std::int8_t>(aPlain, "ShortInt");
    case dtInt16:
      return NarrowInteger<std::int16_t>(aPlain, "SmallInt");
    case dtInt32:
      return NarrowInteger<std::int32_t>(aPlain, "Integer");
    case dtInt64:
      return PlainToInt64(aPlain);
    case dtByte:
      return NarrowInteger<std::uint8_t>(aPlain, "Byte");
    case dtUInt16:
      return NarrowInteger<std::uint16_t>(aPlain, "Word");
    case dtUInt32:
      return NarrowInteger<std::uint32_t>(aPlain, "LongWord");
    case dtUInt64:
      return NarrowInteger<std::uint64_t>(aPlain, "UInt64");
    case dtSingle:
      return static_cast<float>(PlainToDouble(aPlain));
    case dtDouble:
    case dtExtended:
      return PlainToDouble(aPlain);
    case dtCurrency:
      return PlainToCurrency(aPlain);
    case dtBCD:
    case dtFmtBCD:
      return PlainToBcd(aPlain);
    case dtDateTime: {
      std::int32_t day = 0, msecs = 0;
      DateTimeToDayAndTime(PlainToDateTime(aPlain), day, msecs);
      return static_cast<double>(day) * static_cast<double>(kMSecsPerDay) + msecs;
    }
    case dtTime: {
      std::int32_t day = 0, msecs = 0;
      DateTimeToDayAndTime(PlainToDateTime(aPlain), day, msecs);
      return msecs;
    }
    case dtDate: {
      std::int32_t day = 0, msecs = 0;
      DateTimeToDayAndTime(PlainToDateTime(aPlain), day, msecs);
      return day;
    }
    case dtDateTimeStamp:
      return PlainToSQLTimeStamp(aPlain);
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS:
      if (std::holds_alternative<TInterval>(aPlain)) return aPlain;
      if (const auto* bytes = std::get_if<TBytes>(&aPlain);
          bytes != nullptr && bytes->size() == 25) {
        TInterval interval;
        std::copy(bytes->begin(), bytes->end(), interval.Raw.begin());
        return interval;
      }
      ConversionError(aPlain, "Interval");
    case dtAnsiString:
    case dtWideString:
    case dtMemo:
    case dtWideMemo:
    case dtXML:
    case dtHMemo:
    case dtWideHMemo:
      if (std::holds_alternative<std::string>(aPlain)) return aPlain;
      return PlainToString(aPlain);
    case dtByteString:
    case dtBlob:
    case dtHBlob:
    case dtHBFile:
      if (std::holds_alternative<TBytes>(aPlain)) return aPlain;
      return PlainToBytes(aPlain);
    case dtGUID: {
      TBytes bytes;
      if (const auto* text = std::get_if<std::string>(&aPlain)) {
        if (!StringToGuid(*text, bytes)) TextError(*text, "GUID");
        return bytes;
      }
      bytes = PlainToBytes(aPlain);
      if (bytes.size() != 16) ConversionError(aPlain, "GUID");
      return bytes;
    }
    default:
      return TVariant{};
  }
}

// ---------------------------------------------------------------------------
// Plain readers

std::int64_t PlainToInt64(const TVariant& aValue) {
  return std::visit(
      [&](const auto& v) -> std::int64_t {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<V, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_same_v<V, std::uint64_t>) {
          if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            ConversionError(aValue, "Int64");
          }
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_integral_v<V>) {
          return v;
        } else if constexpr (std::is_floating_point_v<V>) {
          return CheckedRound(v, aValue);
        } else if constexpr (std::is_same_v<V, TCurrency>) {
          const std::int64_t whole = v.Value / 10000;
          const std::int64_t rest = v.Value % 10000;
          return whole + (rest >= 5000 ? 1 : rest <= -5000 ? -1 : 0);
        } else if constexpr (std::is_same_v<V, TDateTime>) {
          return CheckedRound(std::trunc(v.Value), aValue);
        } else if constexpr (std::is_same_v<V, TBcdValue>) {
          std::int64_t result = 0;
          const std::string text = BcdToString(BcdRound(v, 0));
          if (!ParseInt64(text, result)) ConversionError(aValue, "Int64");
          return result;
        } else if constexpr (std::is_same_v<V, std::string>) {
          std::int64_t result = 0;
          const std::string text = Trimmed(v);
          if (!ParseInt64(text, result)) TextError(v, "integer value");
          return result;
        } else {
          ConversionError(aValue, "Int64");
        }
      },
      aValue);
}

double PlainToDouble(const TVariant& aValue) {
  return std::visit(
      [&](const auto& v) -> double {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<V, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_arithmetic_v<V>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<V, TCurrency>) {
          return static_cast<double>(v.Value) / 10000.0;
        } else if constexpr (std::is_same_v<V, TDateTime>) {
          return v.Value;
        } else if constexpr (std::is_same_v<V, TSQLTimeStamp>) {
          return SQLTimeStampToDateTime(v);
        } else if constexpr (std::is_same_v<V, TBcdValue>) {
          return BcdToDouble(v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          double result = 0;
          const std::string text = Trimmed(v);
          if (!ParseDouble(text, result)) TextError(v, "floating point value");
          return result;
        } else {
          ConversionError(aValue, "Double");
        }
      },
      aValue);
}

std::string PlainToString(const TVariant& aValue) {
  return std::visit(
      [&](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return {};
        } else if constexpr (std::is_same_v<V, bool>) {
          return v ? "True" : "False";
        } else if constexpr (std::is_integral_v<V>) {
          return std::to_string(
              static_cast<std::conditional_t<std::is_signed_v<V>, std::int64_t, std::uint64_t>>(v));
        } else if constexpr (std::is_floating_point_v<V>) {
          return fmt::format("{}", v);
        } else if constexpr (std::is_same_v<V, TCurrency>) {
          return BcdToString(CurrencyToBcd(v));
        } else if constexpr (std::is_same_v<V, TDateTime>) {
          const bool hasTime = v.Value != std::trunc(v.Value);
          return FormatDateTime(v.Value, true, hasTime);
        } else if constexpr (std::is_same_v<V, TSQLTimeStamp>) {
          std::string text = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", v.Year, v.Month,
                                         v.Day, v.Hour, v.Minute, v.Second);
          if (v.Fractions != 0) text += fmt::format(".{:03}", v.Fractions);
          return text;
        } else if constexpr (std::is_same_v<V, TBcdValue>) {
          return BcdToString(v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<V, TBytes>) {
          return std::string(v.begin(), v.end());
        } else if constexpr (std::is_same_v<V, TInterval>) {
          return std::string(v.Raw.begin(), v.Raw.end());
        } else {
          static_assert(kAlwaysFalse<V>);
        }
      },
      aValue);
}

bool PlainToBool(const TVariant& aValue) {
  if (const auto* text = std::get_if<std::string>(&aValue)) {
    const std::string lower = text::AsciiLowerCase(Trimmed(*text));
    if (lower == "true") return true;
    if (lower == "false") return false;
    std::int64_t number = 0;
    if (ParseInt64(lower, number)) return number != 0;
    TextError(*text, "boolean value");
  }
  if (std::holds_alternative<double>(aValue) || std::holds_alternative<float>(aValue)) {
    return PlainToDouble(aValue) != 0;
  }
  return std::visit(
      [&](const auto& v) -> bool {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return false;
        } else if constexpr (std::is_integral_v<V>) {
          return v != 0;
        } else if constexpr (std::is_same_v<V, TCurrency>) {
          return v.Value != 0;
        } else {
          ConversionError(aValue, "Boolean");
        }
      },
      aValue);
}

double PlainToDateTime(const TVariant& aValue) {
  if (const auto* text = std::get_if<std::string>(&aValue)) {
    double result = 0;
    if (!ParseDateTimeText(Trimmed(*text), result)) TextError(*text, "date and time");
    return result;
  }
  if (std::holds_alternative<TBcdValue>(aValue) || std::holds_alternative<TBytes>(aValue) ||
      std::holds_alternative<TInterval>(aValue)) {
    ConversionError(aValue, "Date");
  }
  return PlainToDouble(aValue);
}

TSQLTimeStamp PlainToSQLTimeStamp(const TVariant& aValue) {
  if (const auto* stamp = std::get_if<TSQLTimeStamp>(&aValue)) return *stamp;
  if (VarIsNull(aValue)) return TSQLTimeStamp{};
  return DateTimeToSQLTimeStamp(PlainToDateTime(aValue));
}

TBcd PlainToBcd(const TVariant& aValue) {
  return std::visit(
      [&](const auto& v) -> TBcd {
        using V = std::decay_t<decltype(v)>;
        TBcd result;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return MakeBcd(false, "0", 0);
        } else if constexpr (std::is_same_v<V, TBcdValue>) {
          return v;
        } else if constexpr (std::is_same_v<V, bool>) {
          return MakeBcd(false, v ? "1" : "0", 0);
        } else if constexpr (std::is_integral_v<V>) {
          StringToBcd(std::to_string(v), result);
          return result;
        } else if constexpr (std::is_floating_point_v<V>) {
          return DoubleToBcd(static_cast<double>(v));
        } else if constexpr (std::is_same_v<V, TCurrency>) {
          return CurrencyToBcd(v);
        } else if constexpr (std::is_same_v<V, TDateTime>) {
          return DoubleToBcd(v.Value);
        } else if constexpr (std::is_same_v<V, std::string>) {
          if (!StringToBcd(Trimmed(v), result)) TextError(v, "BCD value");
          return result;
        } else {
          ConversionError(aValue, "FMTBcd");
        }
      },
      aValue);
}

TCurrency PlainToCurrency(const TVariant& aValue) {
  if (const auto* currency = std::get_if<TCurrency>(&aValue)) return *currency;
  if (std::holds_alternative<double>(aValue) || std::holds_alternative<float>(aValue) ||
      std::holds_alternative<TDateTime>(aValue)) {
    return TCurrency{CheckedRound(PlainToDouble(aValue) * 10000.0, aValue)};
  }
  if (VarIsNull(aValue)) return TCurrency{};
  TCurrency result;
  if (!BcdToCurrency(PlainToBcd(aValue), result)) ConversionError(aValue, "Currency");
  return result;
}

TBytes PlainToBytes(const TVariant& aValue) {
  if (const auto* bytes = std::get_if<TBytes>(&aValue)) return *bytes;
  if (const auto* text = std::get_if<std::string>(&aValue))
    return TBytes(text->begin(), text->end());
  if (const auto* interval = std::get_if<TInterval>(&aValue)) {
    return TBytes(interval->Raw.begin(), interval->Raw.end());
  }
  if (VarIsNull(aValue)) return {};
  ConversionError(aValue, "Bytes");
}

}  // namespace tandemize::memtable
