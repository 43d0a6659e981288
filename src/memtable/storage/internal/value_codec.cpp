#include "memtable/storage/internal/value_codec.h"

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

using enum TColumnDataType;

template <class T>
T Load(std::string_view aBytes) {
  T value{};
  // A payload read from a stream has the type's size: one fixed-size copy.
  if (aBytes.size() >= sizeof value) {
    std::memcpy(&value, aBytes.data(), sizeof value);
  } else {
    std::memcpy(&value, aBytes.data(), aBytes.size());
  }
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

bool IsHighSurrogate(char32_t aUnit) {
  return aUnit >= 0xD800 && aUnit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t aUnit) {
  return aUnit >= 0xDC00 && aUnit <= 0xDFFF;
}

char32_t Utf16LeUnit(const char* aBytes, std::size_t aIndex) {
  std::uint16_t unit;
  std::memcpy(&unit, aBytes + 2 * aIndex, sizeof unit);
  return unit;
}

// Writes `aCount` UTF-16LE units as UTF-8, as text::Utf16ToUtf8 converts
// them (a lone surrogate becomes U+FFFD), and returns the end written.
// Writes at most three bytes per unit; ASCII runs take a short loop of
// their own.
char* WriteUtf8(const char* aBytes, std::size_t aCount, char* aOut) {
  std::size_t i = 0;
  while (i < aCount) {
    char32_t u = Utf16LeUnit(aBytes, i++);
    while (u < 0x80) {
      *aOut++ = static_cast<char>(u);
      if (i == aCount) return aOut;
      u = Utf16LeUnit(aBytes, i++);
    }
    if (u < 0x800) {
      *aOut++ = static_cast<char>(0xC0 | (u >> 6));
      *aOut++ = static_cast<char>(0x80 | (u & 0x3F));
    } else if (IsHighSurrogate(u) && i < aCount && IsLowSurrogate(Utf16LeUnit(aBytes, i))) {
      u = 0x10000 + ((u - 0xD800) << 10) + (Utf16LeUnit(aBytes, i++) - 0xDC00);
      *aOut++ = static_cast<char>(0xF0 | (u >> 18));
      *aOut++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      *aOut++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *aOut++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      if (IsHighSurrogate(u) || IsLowSurrogate(u)) u = text::kReplacementChar;
      *aOut++ = static_cast<char>(0xE0 | (u >> 12));
      *aOut++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *aOut++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return aOut;
}

// The UTF-8 length WriteUtf8 gives.
std::size_t Utf8Size(const char* aBytes, std::size_t aCount) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < aCount;) {
    const char32_t u = Utf16LeUnit(aBytes, i++);
    if (u < 0x80) {
      size += 1;
    } else if (u < 0x800) {
      size += 2;
    } else if (IsHighSurrogate(u) && i < aCount && IsLowSurrogate(Utf16LeUnit(aBytes, i))) {
      size += 4;
      ++i;
    } else {
      size += 3;
    }
  }
  return size;
}

// Text of a column value, converted straight from the payload bytes into a
// string of its exact size: through a buffer on the stack when the text is
// short, as nearly all are; otherwise sized first and then written.
std::string Utf8FromUtf16Le(std::string_view aBytes) {
  constexpr std::size_t kStackUnits = 512;
  const std::size_t count = aBytes.size() / 2;
  if (count <= kStackUnits) {
    char buffer[kStackUnits * 3];
    return std::string(buffer, WriteUtf8(aBytes.data(), count, buffer));
  }
  std::string text(Utf8Size(aBytes.data(), count), '\0');
  WriteUtf8(aBytes.data(), count, text.data());
  return text;
}

bool IsAnsiText(TColumnDataType aType) {
  return aType == dtAnsiString || aType == dtMemo || aType == dtHMemo;
}

bool IsWideText(TColumnDataType aType) {
  return aType == dtWideString || aType == dtWideMemo || aType == dtXML || aType == dtWideHMemo;
}

bool IsBytes(TColumnDataType aType) {
  return aType == dtByteString || aType == dtBlob || aType == dtHBlob || aType == dtHBFile ||
         aType == dtGUID;
}

// Whether the value already has the alternative the column's layout uses.
bool HoldsLayout(TColumnDataType aType, const TVariant& aValue) {
  switch (aType) {
    case dtBoolean:
      return std::holds_alternative<std::uint16_t>(aValue);
    case dtSByte:
      return std::holds_alternative<std::int8_t>(aValue);
    case dtInt16:
      return std::holds_alternative<std::int16_t>(aValue);
    case dtInt32:
    case dtTime:
    case dtDate:
      return std::holds_alternative<std::int32_t>(aValue);
    case dtInt64:
      return std::holds_alternative<std::int64_t>(aValue);
    case dtByte:
      return std::holds_alternative<std::uint8_t>(aValue);
    case dtUInt16:
      return std::holds_alternative<std::uint16_t>(aValue);
    case dtUInt32:
      return std::holds_alternative<std::uint32_t>(aValue);
    case dtUInt64:
      return std::holds_alternative<std::uint64_t>(aValue);
    case dtSingle:
      return std::holds_alternative<float>(aValue);
    case dtDouble:
    case dtExtended:
    case dtDateTime:
      return std::holds_alternative<double>(aValue);
    case dtCurrency:
      return std::holds_alternative<TCurrency>(aValue);
    case dtBCD:
    case dtFmtBCD:
      return std::holds_alternative<TBcdValue>(aValue);
    case dtDateTimeStamp:
      return std::holds_alternative<TSQLTimeStamp>(aValue);
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS:
      return std::holds_alternative<TInterval>(aValue);
    case dtGUID: {
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

void DecodeValueInto(TColumnDataType aType, std::string_view b, TVariant& aTarget) {
  switch (aType) {
    case dtBoolean:
      aTarget.emplace<std::uint16_t>(Load<std::uint16_t>(b));
      return;
    case dtSByte:
      aTarget.emplace<std::int8_t>(Load<std::int8_t>(b));
      return;
    case dtInt16:
      aTarget.emplace<std::int16_t>(Load<std::int16_t>(b));
      return;
    case dtInt32:
    case dtTime:
    case dtDate:
      aTarget.emplace<std::int32_t>(Load<std::int32_t>(b));
      return;
    case dtInt64:
      aTarget.emplace<std::int64_t>(Load<std::int64_t>(b));
      return;
    case dtByte:
      aTarget.emplace<std::uint8_t>(Load<std::uint8_t>(b));
      return;
    case dtUInt16:
      aTarget.emplace<std::uint16_t>(Load<std::uint16_t>(b));
      return;
    case dtUInt32:
      aTarget.emplace<std::uint32_t>(Load<std::uint32_t>(b));
      return;
    case dtUInt64:
      aTarget.emplace<std::uint64_t>(Load<std::uint64_t>(b));
      return;
    case dtSingle:
      aTarget.emplace<float>(Load<float>(b));
      return;
    case dtDouble:
    case dtExtended:
    case dtDateTime:
      aTarget.emplace<double>(Load<double>(b));
      return;
    case dtCurrency:
      aTarget.emplace<TCurrency>(TCurrency{Load<std::int64_t>(b)});
      return;
    case dtBCD:
    case dtFmtBCD: {
      TBcd& bcd = aTarget.emplace<TBcdValue>().Mutable();
      if (b.size() >= 2) {
        bcd.Precision = static_cast<std::uint8_t>(b[0]);
        bcd.SignSpecialPlaces = static_cast<std::uint8_t>(b[1]);
        std::memcpy(bcd.Fraction.data(), b.data() + 2, std::min(bcd.Fraction.size(), b.size() - 2));
      }
      return;
    }
    case dtDateTimeStamp:
      aTarget.emplace<TSQLTimeStamp>(LoadTimeStamp(b));
      return;
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS: {
      TInterval& interval = aTarget.emplace<TInterval>();
      std::memcpy(interval.Raw.data(), b.data(), std::min(interval.Raw.size(), b.size()));
      return;
    }
    default:
      break;
  }
  if (IsAnsiText(aType)) {
    aTarget.emplace<std::string>(text::Windows1252ToUtf8(b));
  } else if (IsWideText(aType)) {
    aTarget.emplace<std::string>(Utf8FromUtf16Le(b));
  } else if (IsBytes(aType)) {
    aTarget.emplace<TBytes>(b.begin(), b.end());
  } else {
    aTarget.emplace<std::monostate>();
  }
}

TVariant DecodeValue(TColumnDataType aType, std::string_view aPayload) {
  TVariant value;
  DecodeValueInto(aType, aPayload, value);
  return value;
}

std::optional<std::string> EncodeValue(TColumnDataType aType, const TVariant& aValue) {
  if (VarIsNull(aValue)) return std::nullopt;
  const TVariant value = HoldsLayout(aType, aValue) ? aValue : PlainToColumn(aType, aValue);
  if (VarIsNull(value)) return std::nullopt;
  switch (aType) {
    case dtBoolean:
      return Store(std::get<std::uint16_t>(value));
    case dtSByte:
      return Store(std::get<std::int8_t>(value));
    case dtInt16:
      return Store(std::get<std::int16_t>(value));
    case dtInt32:
    case dtTime:
    case dtDate:
      return Store(std::get<std::int32_t>(value));
    case dtInt64:
      return Store(std::get<std::int64_t>(value));
    case dtByte:
      return Store(std::get<std::uint8_t>(value));
    case dtUInt16:
      return Store(std::get<std::uint16_t>(value));
    case dtUInt32:
      return Store(std::get<std::uint32_t>(value));
    case dtUInt64:
      return Store(std::get<std::uint64_t>(value));
    case dtSingle:
      return Store(std::get<float>(value));
    case dtDouble:
    case dtExtended:
    case dtDateTime:
      return Store(std::get<double>(value));
    case dtCurrency:
      return Store(std::get<TCurrency>(value).Value);
    case dtBCD:
    case dtFmtBCD: {
      const TBcd& bcd = std::get<TBcdValue>(value);
      std::string bytes;
      bytes.push_back(static_cast<char>(bcd.Precision));
      bytes.push_back(static_cast<char>(bcd.SignSpecialPlaces));
      bytes.append(reinterpret_cast<const char*>(bcd.Fraction.data()), bcd.Fraction.size());
      return bytes;
    }
    case dtDateTimeStamp:
      return StoreTimeStamp(std::get<TSQLTimeStamp>(value));
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS: {
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
