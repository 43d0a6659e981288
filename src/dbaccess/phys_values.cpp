// Value conversions the drivers share.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <type_traits>

#include "dbaccess/internal/phys_values.h"
#include "memtable/errors.h"
#include "text/bcd.h"
#include "text/calendar.h"

namespace tandemize::dbaccess::phys {
namespace {

using memtable::TBcd;
using memtable::TBytes;
using memtable::TCurrency;
using memtable::TDateTime;
using memtable::TInterval;
using memtable::TSQLTimeStamp;

template <class T>
std::string ShortestText(T value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string CurrencyText(TCurrency value) {
  const bool negative = value.Value < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value.Value)
                                           : static_cast<std::uint64_t>(value.Value);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%s%llu.%04llu", negative ? "-" : "",
                static_cast<unsigned long long>(magnitude / 10000),
                static_cast<unsigned long long>(magnitude % 10000));
  return buffer;
}

[[noreturn]] void NoReading(std::string_view what) {
  throw memtable::EDatabaseError("Value cannot be converted to " + std::string(what));
}

}  // namespace

TSQLTimeStamp DateTimeToTimeStamp(TDateTime value) {
  const text::TDayAndTime split = text::SplitDateTime(value.Value);
  const text::TCivilDate date = text::CivilFromDays(split.Days);
  const std::int64_t ms = split.MSecOfDay;
  TSQLTimeStamp ts;
  ts.Year = static_cast<std::int16_t>(date.Year);
  ts.Month = static_cast<std::uint16_t>(date.Month);
  ts.Day = static_cast<std::uint16_t>(date.Day);
  ts.Hour = static_cast<std::uint16_t>(ms / 3600000);
  ts.Minute = static_cast<std::uint16_t>(ms / 60000 % 60);
  ts.Second = static_cast<std::uint16_t>(ms / 1000 % 60);
  ts.Fractions = static_cast<std::uint32_t>(ms % 1000);
  return ts;
}

TDateTime TimeStampToDateTime(const TSQLTimeStamp& value) {
  // An all-zero date is a time of day alone.
  std::int64_t days = 0;
  if (value.Year != 0 || value.Month != 0 || value.Day != 0) {
    days = text::DaysFromCivil(value.Year, value.Month, value.Day);
  }
  return TDateTime{text::ComposeDateTime(
      days, text::TimeOfDayMSecs(value.Hour, value.Minute, value.Second, value.Fractions))};
}

std::string_view TimeStampToText(const TSQLTimeStamp& value, TTimeStampText& buffer) {
  // Every statement parameter of a date type comes through here: the usual
  // range is written digit by digit, the rest with snprintf.
  char* const text = buffer.data();
  if (value.Year >= 0 && value.Year <= 9999 && value.Month < 100 && value.Day < 100 &&
      value.Hour < 100 && value.Minute < 100 && value.Second < 100) {
    static constexpr char kPattern[] = "0000-00-00 00:00:00.000";
    std::copy(std::begin(kPattern), std::end(kPattern), text);
    auto put = [text](int at, unsigned number, int digits) {
      for (int i = digits - 1; i >= 0; --i, number /= 10) {
        text[at + i] = static_cast<char>('0' + number % 10);
      }
    };
    put(0, static_cast<unsigned>(value.Year), 4);
    put(5, value.Month, 2);
    put(8, value.Day, 2);
    put(11, value.Hour, 2);
    put(14, value.Minute, 2);
    put(17, value.Second, 2);
    if (value.Fractions == 0) return {text, 19};
    put(20, value.Fractions % 1000, 3);
    return {text, 23};
  }
  int size = std::snprintf(text, buffer.size(), "%04d-%02u-%02u %02u:%02u:%02u", value.Year,
                           value.Month, value.Day, value.Hour, value.Minute, value.Second);
  if (value.Fractions != 0) {
    size += std::snprintf(text + size, buffer.size() - static_cast<std::size_t>(size), ".%03u",
                          value.Fractions % 1000);
  }
  return {text, static_cast<std::size_t>(size)};
}

std::string TimeStampToText(const TSQLTimeStamp& value) {
  TTimeStampText buffer;
  return std::string(TimeStampToText(value, buffer));
}

bool TextToTimeStamp(std::string_view text, TSQLTimeStamp& out) {
  out = {};
  auto number = [&](std::size_t& pos, std::size_t digits, unsigned& value) {
    if (pos + digits > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const char c = text[pos + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos += digits;
    return true;
  };
  auto expect = [&](std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };
  std::size_t pos = 0;
  unsigned a = 0, b = 0, c = 0;
  auto readTime = [&]() {
    if (!number(pos, 2, a) || !expect(pos, ':') || !number(pos, 2, b) || !expect(pos, ':') ||
        !number(pos, 2, c)) {
      return false;
    }
    out.Hour = static_cast<std::uint16_t>(a);
    out.Minute = static_cast<std::uint16_t>(b);
    out.Second = static_cast<std::uint16_t>(c);
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      unsigned ms = 0, scale = 100;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        ms += scale * static_cast<unsigned>(text[pos] - '0');
        scale /= 10;
        ++pos;
      }
      out.Fractions = ms;
    }
    return true;
  };
  if (text.size() >= 8 && text[2] == ':') return readTime() && pos == text.size();
  if (!number(pos, 4, a) || !expect(pos, '-') || !number(pos, 2, b) || !expect(pos, '-') ||
      !number(pos, 2, c)) {
    return false;
  }
  out.Year = static_cast<std::int16_t>(a);
  out.Month = static_cast<std::uint16_t>(b);
  out.Day = static_cast<std::uint16_t>(c);
  if (pos == text.size()) return true;
  if (text[pos] != ' ' && text[pos] != 'T') return false;
  ++pos;
  if (!readTime()) return false;
  // A zone suffix ("+00", "Z") is accepted and ignored.
  return pos == text.size() || text[pos] == '+' || text[pos] == '-' || text[pos] == 'Z';
}

std::string BcdToText(const TBcd& value) {
  const int precision = std::min<int>(value.Precision, 64);
  const int places = std::min<int>(value.SignSpecialPlaces & 0x3F, precision);
  std::string digits;
  for (int i = 0; i < precision; ++i) {
    digits +=
        static_cast<char>('0' + text::BcdNibble(value.Fraction, static_cast<std::size_t>(i)) % 10);
  }
  std::string whole = digits.substr(0, static_cast<std::size_t>(precision - places));
  const std::string fraction = digits.substr(static_cast<std::size_t>(precision - places));
  const auto firstNonZero = whole.find_first_not_of('0');
  whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
  std::string text = whole;
  if (!fraction.empty()) text += "." + fraction;
  const bool zero = text.find_first_not_of("0.") == std::string::npos;
  if ((value.SignSpecialPlaces & 0x80) != 0 && !zero) text.insert(0, "-");
  return text;
}

bool TextToBcd(std::string_view text, TBcd& out) {
  out = {};
  text::TDecimalText decimal;
  if (!text::ReadDecimalText(text, decimal)) return false;
  out.Precision = static_cast<std::uint8_t>(decimal.Digits.size());
  out.SignSpecialPlaces =
      static_cast<std::uint8_t>((decimal.Negative ? 0x80 : 0) | static_cast<int>(decimal.Places));
  text::PackBcdDigits(decimal.Digits, out.Fraction);
  return true;
}

std::string VariantToText(const TVariant& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return {};
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "1" : "0";
        } else if constexpr (std::is_integral_v<T>) {
          return std::to_string(v);
        } else if constexpr (std::is_floating_point_v<T>) {
          return ShortestText(v);
        } else if constexpr (std::is_same_v<T, TCurrency>) {
          return CurrencyText(v);
        } else if constexpr (std::is_same_v<T, TDateTime>) {
          return TimeStampToText(DateTimeToTimeStamp(v));
        } else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
          return TimeStampToText(v);
        } else if constexpr (std::is_same_v<T, memtable::TBcdValue>) {
          return BcdToText(v);
        } else if constexpr (std::is_same_v<T, TInterval>) {
          static constexpr char kHex[] = "0123456789ABCDEF";
          std::string text;
          for (const std::uint8_t byte : v.Raw) {
            text += kHex[byte >> 4];
            text += kHex[byte & 0x0F];
          }
          return text;
        } else if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else {
          return std::string(v.begin(), v.end());
        }
      },
      value);
}

std::int64_t VariantToInt64(const TVariant& value) {
  return std::visit(
      [](const auto& v) -> std::int64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_integral_v<T>) {
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_floating_point_v<T>) {
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_same_v<T, TCurrency>) {
          return v.Value / 10000;
        } else if constexpr (std::is_same_v<T, memtable::TBcdValue> ||
                             std::is_same_v<T, std::string>) {
          const std::string text = VariantToText(v);
          std::int64_t result = 0;
          const auto parsed = std::from_chars(text.data(), text.data() + text.size(), result);
          if (parsed.ec != std::errc() ||
              (parsed.ptr != text.data() + text.size() && *parsed.ptr != '.')) {
            NoReading("an integer");
          }
          return result;
        } else {
          NoReading("an integer");
        }
      },
      value);
}

double VariantToDouble(const TVariant& value) {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_arithmetic_v<T>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, TCurrency>) {
          return static_cast<double>(v.Value) / 10000.0;
        } else if constexpr (std::is_same_v<T, TDateTime>) {
          return v.Value;
        } else if constexpr (std::is_same_v<T, TSQLTimeStamp>) {
          return TimeStampToDateTime(v).Value;
        } else if constexpr (std::is_same_v<T, memtable::TBcdValue> ||
                             std::is_same_v<T, std::string>) {
          const std::string text = VariantToText(v);
          double result = 0;
          const auto parsed = std::from_chars(text.data(), text.data() + text.size(), result);
          if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) {
            NoReading("a number");
          }
          return result;
        } else {
          NoReading("a number");
        }
      },
      value);
}

TBytes VariantToBytes(const TVariant& value) {
  if (const auto* bytes = std::get_if<TBytes>(&value)) return *bytes;
  const std::string text = VariantToText(value);
  return TBytes(text.begin(), text.end());
}

TSQLTimeStamp VariantToTimeStamp(const TVariant& value) {
  if (const auto* ts = std::get_if<TSQLTimeStamp>(&value)) return *ts;
  if (const auto* dt = std::get_if<TDateTime>(&value)) return DateTimeToTimeStamp(*dt);
  if (const auto* text = std::get_if<std::string>(&value)) {
    TSQLTimeStamp ts;
    if (TextToTimeStamp(*text, ts)) return ts;
  }
  if (std::holds_alternative<double>(value) || std::holds_alternative<float>(value)) {
    return DateTimeToTimeStamp(TDateTime{VariantToDouble(value)});
  }
  NoReading("a date and time");
}

}  // namespace tandemize::dbaccess::phys

namespace tandemize::dbaccess::phys {

TBindKind BindKindOf(TFieldType dataType) {
  using enum memtable::TFieldType;
  switch (dataType) {
    case ftBoolean:
      return TBindKind::Boolean;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftLongWord:
    case ftShortint:
    case ftByte:
      return TBindKind::Integer;
    case ftFloat:
    case ftExtended:
    case ftSingle:
      return TBindKind::Float;
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
      return TBindKind::Decimal;
    case ftDate:
      return TBindKind::Date;
    case ftTime:
      return TBindKind::Time;
    case ftDateTime:
    case ftTimeStamp:
    case ftOraTimeStamp:
    case ftTimeStampOffset:
      return TBindKind::DateTime;
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftOraBlob:
    case ftStream:
    case ftParadoxOle:
    case ftDBaseOle:
      return TBindKind::Blob;
    case ftUnknown:
      return TBindKind::Unknown;
    default:
      return TBindKind::Text;
  }
}

}  // namespace tandemize::dbaccess::phys
