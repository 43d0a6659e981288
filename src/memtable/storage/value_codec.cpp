#include "memtable/storage/value_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "memtable/value_convert.h"
#include "text/charset.h"

namespace tandemize::memtable::storage {

static_assert(std::endian::native == std::endian::little,
              "stream payloads are copied in the host's byte order");

namespace {

using DT = TColumnDataType;

template <class T>
T Load(std::string_view aBytes) {
  T value{};
  std::memcpy(&value, aBytes.data(), std::min(sizeof value, aBytes.size()));
  return value;
}

template <class T>
std::string Store(const T& aValue) {
  static_assert(std::is_trivially_copyable_v<T>);
  return std::string(reinterpret_cast<const char*>(&aValue), sizeof aValue);
}

TSQLTimeStamp LoadTimeStamp(std::string_view b) {
  TSQLTimeStamp ts;
  ts.Year = Load<std::int16_t>(b.substr(0, 2));
  ts.Month = Load<std::uint16_t>(b.substr(2, 2));
  ts.Day = Load<std::uint16_t>(b.substr(4, 2));
  ts.Hour = Load<std::uint16_t>(b.substr(6, 2));
  ts.Minute = Load<std::uint16_t>(b.substr(8, 2));
  ts.Second = Load<std::uint16_t>(b.substr(10, 2));
  ts.Fractions = Load<std::uint32_t>(b.substr(12, 4));
  return ts;
}

std::string StoreTimeStamp(const TSQLTimeStamp& ts) {
  return Store(ts.Year) + Store(ts.Month) + Store(ts.Day) + Store(ts.Hour) + Store(ts.Minute) +
         Store(ts.Second) + Store(ts.Fractions);
}

std::string Utf16LeBytes(std::string_view aUtf8) {
  const std::u16string units = text::Utf8ToUtf16(aUtf8);
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string Utf8FromUtf16Le(std::string_view aBytes) {
  std::u16string units(aBytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(aBytes[2 * i]) |
                                     (static_cast<unsigned char>(aBytes[2 * i + 1]) << 8));
  }
  return text::Utf16ToUtf8(units);
}

bool IsAnsiText(DT aType) {
  return aType == DT::dtAnsiString || aType == DT::dtMemo || aType == DT::dtHMemo;
}

bool IsWideText(DT aType) {
  return aType == DT::dtWideString || aType == DT::dtWideMemo || aType == DT::dtXML ||
         aType == DT::dtWideHMemo;
}

bool IsBytes(DT aType) {
  return aType == DT::dtByteString || aType == DT::dtBlob || aType == DT::dtHBlob ||
         aType == DT::dtHBFile || aType == DT::dtGUID;
}

// Whether the value already has the alternative the column's layout uses.
bool HoldsLayout(DT aType, const TVariant& aValue) {
  switch (aType) {
    case DT::dtBoolean:
      return std::holds_alternative<std::uint16_t>(aValue);
    case DT::dtSByte:
      return std::holds_alternative<std::int8_t>(aValue);
    case DT::dtInt16:
      return std::holds_alternative<std::int16_t>(aValue);
    case DT::dtInt32:
    case DT::dtTime:
    case DT::dtDate:
      return std::holds_alternative<std::int32_t>(aValue);
    case DT::dtInt64:
      return std::holds_alternative<std::int64_t>(aValue);
    case DT::dtByte:
      return std::holds_alternative<std::uint8_t>(aValue);
    case DT::dtUInt16:
      return std::holds_alternative<std::uint16_t>(aValue);
    case DT::dtUInt32:
      return std::holds_alternative<std::uint32_t>(aValue);
    case DT::dtUInt64:
      return std::holds_alternative<std::uint64_t>(aValue);
    case DT::dtSingle:
      return std::holds_alternative<float>(aValue);
    case DT::dtDouble:
    case DT::dtExtended:
    case DT::dtDateTime:
      return std::holds_alternative<double>(aValue);
    case DT::dtCurrency:
      return std::holds_alternative<TCurrency>(aValue);
    case DT::dtBCD:
    case DT::dtFmtBCD:
      return std::holds_alternative<TBcd>(aValue);
    case DT::dtDateTimeStamp:
      return std::holds_alternative<TSQLTimeStamp>(aValue);
    case DT::dtTimeIntervalFull:
    case DT::dtTimeIntervalYM:
    case DT::dtTimeIntervalDS:
      return std::holds_alternative<TInterval>(aValue);
    case DT::dtGUID: {
      const auto* bytes = std::get_if<TBytes>(&aValue);
      return bytes != nullptr && bytes->size() == 16;
    }
    default:
      if (IsAnsiText(aType) || IsWideText(aType))
        return std::holds_alternative<std::string>(aValue);
      if (IsBytes(aType)) return std::holds_alternative<TBytes>(aValue);
      return false;
  }
}

}  // namespace

TVariant DecodeValue(TColumnDataType aType, std::string_view b) {
  switch (aType) {
    case DT::dtBoolean:
      return Load<std::uint16_t>(b);
    case DT::dtSByte:
      return Load<std::int8_t>(b);
    case DT::dtInt16:
      return Load<std::int16_t>(b);
    case DT::dtInt32:
    case DT::dtTime:
    case DT::dtDate:
      return Load<std::int32_t>(b);
    case DT::dtInt64:
      return Load<std::int64_t>(b);
    case DT::dtByte:
      return Load<std::uint8_t>(b);
    case DT::dtUInt16:
      return Load<std::uint16_t>(b);
    case DT::dtUInt32:
      return Load<std::uint32_t>(b);
    case DT::dtUInt64:
      return Load<std::uint64_t>(b);
    case DT::dtSingle:
      return Load<float>(b);
    case DT::dtDouble:
    case DT::dtExtended:
    case DT::dtDateTime:
      return Load<double>(b);
    case DT::dtCurrency:
      return TCurrency{Load<std::int64_t>(b)};
    case DT::dtBCD:
    case DT::dtFmtBCD: {
      TBcd bcd;
      if (b.size() >= 2) {
        bcd.Precision = static_cast<std::uint8_t>(b[0]);
        bcd.SignSpecialPlaces = static_cast<std::uint8_t>(b[1]);
        std::memcpy(bcd.Fraction.data(), b.data() + 2, std::min(bcd.Fraction.size(), b.size() - 2));
      }
      return bcd;
    }
    case DT::dtDateTimeStamp:
      return LoadTimeStamp(b);
    case DT::dtTimeIntervalFull:
    case DT::dtTimeIntervalYM:
    case DT::dtTimeIntervalDS: {
      TInterval interval;
      std::memcpy(interval.Raw.data(), b.data(), std::min(interval.Raw.size(), b.size()));
      return interval;
    }
    default:
      break;
  }
  if (IsAnsiText(aType)) return text::Windows1252ToUtf8(b);
  if (IsWideText(aType)) return Utf8FromUtf16Le(b);
  if (IsBytes(aType)) return TBytes(b.begin(), b.end());
  return TVariant{};
}

std::optional<std::string> EncodeValue(TColumnDataType aType, const TVariant& aValue) {
  if (VarIsNull(aValue)) return std::nullopt;
  const TVariant value = HoldsLayout(aType, aValue) ? aValue : PlainToColumn(aType, aValue);
  if (VarIsNull(value)) return std::nullopt;
  switch (aType) {
    case DT::dtBoolean:
      return Store(std::get<std::uint16_t>(value));
    case DT::dtSByte:
      return Store(std::get<std::int8_t>(value));
    case DT::dtInt16:
      return Store(std::get<std::int16_t>(value));
    case DT::dtInt32:
    case DT::dtTime:
    case DT::dtDate:
      return Store(std::get<std::int32_t>(value));
    case DT::dtInt64:
      return Store(std::get<std::int64_t>(value));
    case DT::dtByte:
      return Store(std::get<std::uint8_t>(value));
    case DT::dtUInt16:
      return Store(std::get<std::uint16_t>(value));
    case DT::dtUInt32:
      return Store(std::get<std::uint32_t>(value));
    case DT::dtUInt64:
      return Store(std::get<std::uint64_t>(value));
    case DT::dtSingle:
      return Store(std::get<float>(value));
    case DT::dtDouble:
    case DT::dtExtended:
    case DT::dtDateTime:
      return Store(std::get<double>(value));
    case DT::dtCurrency:
      return Store(std::get<TCurrency>(value).Value);
    case DT::dtBCD:
    case DT::dtFmtBCD: {
      const TBcd& bcd = std::get<TBcd>(value);
      std::string bytes;
      bytes.push_back(static_cast<char>(bcd.Precision));
      bytes.push_back(static_cast<char>(bcd.SignSpecialPlaces));
      bytes.append(reinterpret_cast<const char*>(bcd.Fraction.data()), bcd.Fraction.size());
      return bytes;
    }
    case DT::dtDateTimeStamp:
      return StoreTimeStamp(std::get<TSQLTimeStamp>(value));
    case DT::dtTimeIntervalFull:
    case DT::dtTimeIntervalYM:
    case DT::dtTimeIntervalDS: {
      const TInterval& interval = std::get<TInterval>(value);
      return std::string(reinterpret_cast<const char*>(interval.Raw.data()), interval.Raw.size());
    }
    default:
      break;
  }
  if (IsAnsiText(aType)) return text::Utf8ToWindows1252(std::get<std::string>(value));
  if (IsWideText(aType)) return Utf16LeBytes(std::get<std::string>(value));
  if (IsBytes(aType)) {
    const TBytes& bytes = std::get<TBytes>(value);
    return std::string(bytes.begin(), bytes.end());
  }
  return std::nullopt;
}

}  // namespace tandemize::memtable::storage
