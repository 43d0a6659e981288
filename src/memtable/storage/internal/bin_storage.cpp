#include "memtable/storage/internal/bin_storage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "text/case_fold.h"
#include "text/charset.h"

namespace tandemize::memtable::storage {

namespace {

constexpr std::size_t kBcdSize = 34;
constexpr std::size_t kExtendedSize = 10;
// Names past this many can never be addressed by a 16-bit number.
constexpr std::size_t kMaxDictionaryEntries = kMaxDictionaryNumber + 1;
constexpr std::string_view kEndPlaceholder = "<end>";
constexpr std::string_view kBeginPlaceholder = "<begin>";

bool IsMarkerId(std::uint16_t aId) {
  const std::uint8_t low = static_cast<std::uint8_t>(aId & 0xFF);
  return low == kObjectBegin || low == kObjectEnd;
}

// Payload size of the fixed-size types; 0 for types without payload and -1
// for the types whose size is stored with the value.
constexpr int FixedPayloadSize(TColumnDataType aType) {
  using enum TColumnDataType;
  switch (aType) {
    case dtSByte:
    case dtByte:
      return 1;
    case dtBoolean:
    case dtInt16:
    case dtUInt16:
      return 2;
    case dtInt32:
    case dtUInt32:
    case dtSingle:
    case dtTime:
    case dtDate:
    case dtParentRowRef:
      return 4;
    case dtInt64:
    case dtUInt64:
    case dtDouble:
    case dtCurrency:
    case dtDateTime:
      return 8;
    case dtDateTimeStamp:
    case dtGUID:
      return 16;
    case dtTimeIntervalFull:
    case dtTimeIntervalYM:
    case dtTimeIntervalDS:
      return 25;
    case dtUnknown:
    case dtRowSetRef:
    case dtCursorRef:
    case dtRowRef:
    case dtArrayRef:
    case dtObject:
      return 0;
    default:
      return -1;
  }
}

constexpr bool IsWideText(TColumnDataType aType) {
  using enum TColumnDataType;
  return aType == dtWideString || aType == dtWideMemo || aType == dtXML || aType == dtWideHMemo;
}

constexpr bool IsBcd(TColumnDataType aType) {
  return aType == TColumnDataType::dtBCD || aType == TColumnDataType::dtFmtBCD;
}

// How a value of each type is stored after its column prefix, looked up
// once per value: the payload size of a fixed-size type, or one of these.
constexpr int kCountedLayout = -1;   // 32-bit byte count, then the bytes
constexpr int kWideLayout = -2;      // counted, an even number of bytes
constexpr int kExtendedLayout = -3;  // 10-byte float, narrowed to 8
constexpr int kBcdLayout = -4;       // packed decimal, widened to 34

constexpr int ValueLayout(TColumnDataType aType) {
  if (aType == TColumnDataType::dtExtended) return kExtendedLayout;
  if (IsBcd(aType)) return kBcdLayout;
  const int fixed = FixedPayloadSize(aType);
  if (fixed >= 0) return fixed;
  return IsWideText(aType) ? kWideLayout : kCountedLayout;
}

constexpr auto kValueLayouts = [] {
  std::array<std::int8_t, kColumnDataTypeCount> layouts{};
  for (int t = 0; t < kColumnDataTypeCount; ++t) {
    layouts[static_cast<std::size_t>(t)] =
        static_cast<std::int8_t>(ValueLayout(static_cast<TColumnDataType>(t)));
  }
  return layouts;
}();

// 80-bit extended float (64-bit mantissa with explicit integer bit, 15-bit
// exponent, sign) to a double, and back.
double ExtendedToDouble(const unsigned char* aBytes) {
  std::uint64_t mantissa = 0;
  std::memcpy(&mantissa, aBytes, 8);
  const std::uint16_t signExp = static_cast<std::uint16_t>(aBytes[8] | (aBytes[9] << 8));
  const bool negative = (signExp & 0x8000) != 0;
  const int exponent = signExp & 0x7FFF;
  double value;
  if (exponent == 0x7FFF) {
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
  } else if (exponent == 0 && mantissa == 0) {
    value = 0.0;
  } else {
    const int e = (exponent == 0 ? 1 : exponent) - 16383 - 63;
    value = std::ldexp(static_cast<double>(mantissa), e);
  }
  return negative ? -value : value;
}

void DoubleToExtended(double aValue, unsigned char* aOut) {
  std::uint64_t mantissa = 0;
  std::uint16_t signExp = std::signbit(aValue) ? 0x8000 : 0;
  const double magnitude = std::fabs(aValue);
  if (std::isnan(aValue)) {
    signExp |= 0x7FFF;
    mantissa = 0xC000000000000000ULL;
  } else if (std::isinf(aValue)) {
    signExp |= 0x7FFF;
    mantissa = 0x8000000000000000ULL;
  } else if (magnitude != 0.0) {
    int e = 0;
    const double fraction = std::frexp(magnitude, &e);  // [0.5, 1)
    mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
    signExp |= static_cast<std::uint16_t>(e - 1 + 16383);
  }
  std::memcpy(aOut, &mantissa, 8);
  aOut[8] = static_cast<unsigned char>(signExp & 0xFF);
  aOut[9] = static_cast<unsigned char>(signExp >> 8);
}

std::u16string Utf16FromLe(std::string_view aBytes) {
  std::u16string units(aBytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(aBytes[2 * i]) |
                                     (static_cast<unsigned char>(aBytes[2 * i + 1]) << 8));
  }
  return units;
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

void TBinStorage::Reset() {
  FOpen = false;
  FMode = TStorageMode::smRead;
  FVersion = kCurrentStreamVersion;
  FItems = kDefaultStoreItems;
  FIn = {};
  FDataEnd = 0;
  FPos = 0;
  FDictionary.clear();
  FOut.clear();
  FNameNumbers.clear();
  FNames.clear();
  FLevel = 0;
  FPending.clear();
}

void TBinStorage::OpenRead(std::string_view aStream, TStoreItems aItems) {
  Reset();
  FMode = TStorageMode::smRead;
  FItems = aItems;
  FIn = aStream;
  FDataEnd = aStream.size();
  FPos = 0;

  if (aStream.size() < kHeaderSize || aStream.substr(0, 4) != kMagic) RaiseInvalidFormat();
  FPos = 4;
  FVersion = ReadU16();
  ReadU16();  // reserved
  const std::uint32_t dictionaryOffset = ReadU32();
  // Only the versions whose layout is known are read: guessing at another
  // one would turn bytes into values they are not.
  if (FVersion < kOldestStreamVersion || FVersion > kCurrentStreamVersion) RaiseInvalidFormat();
  if (dictionaryOffset < kHeaderSize || dictionaryOffset > aStream.size()) RaiseInvalidFormat();

  FPos = dictionaryOffset;
  while (aStream.size() - FPos >= 2) {
    const std::uint16_t length = ReadU16();
    if (length % 2 != 0) RaiseInvalidFormat();
    if (FDictionary.size() >= kMaxDictionaryEntries) RaiseInvalidFormat();
    FDictionary.push_back(text::Utf16ToUtf8(Utf16FromLe(Take(length))));
  }
  // Object data ends where the dictionary begins.
  FDataEnd = dictionaryOffset;
  FPos = kHeaderSize;
  FOpen = true;
}

void TBinStorage::OpenWrite(int aVersion, TStoreItems aItems) {
  Reset();
  const int version = aVersion == -1 ? kCurrentStreamVersion : aVersion;
  if (version < kOldestStreamVersion || version > kCurrentStreamVersion) {
    throw std::invalid_argument("binary stream version " + std::to_string(aVersion) +
                                " cannot be written");
  }
  FMode = TStorageMode::smWrite;
  FVersion = version;
  FItems = aItems;
  FOut.assign(kHeaderSize, '\0');
  FOpen = true;
}

std::string TBinStorage::Close() {
  std::string result;
  if (FOpen && FMode == TStorageMode::smWrite) {
    if (FOut.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("binary stream larger than 4 GiB");
    }
    const auto dictionaryOffset = static_cast<std::uint32_t>(FOut.size());
    for (const std::string& name : FNames) {
      const std::u16string units = text::Utf8ToUtf16(name);
      PutU16(static_cast<std::uint16_t>(units.size() * 2));
      for (const char16_t unit : units) PutU16(static_cast<std::uint16_t>(unit));
    }
    std::string header(kMagic);
    header.push_back(static_cast<char>(FVersion & 0xFF));
    header.push_back(static_cast<char>(FVersion >> 8));
    header.append(2, '\0');
    for (int shift = 0; shift < 32; shift += 8) {
      header.push_back(static_cast<char>((dictionaryOffset >> shift) & 0xFF));
    }
    FOut.replace(0, kHeaderSize, header);
    result = std::move(FOut);
  }
  Reset();
  return result;
}

void TBinStorage::RaiseWrongMode() {
  throw std::logic_error("binary storage is not open in this mode");
}

// ---------------------------------------------------------------- primitives

// A 32-bit byte count and the bytes; the count is checked against what is
// left before anything is taken, so a huge count costs nothing.
std::string_view TBinStorage::ReadCountedBytes() {
  const std::uint32_t count = ReadU32();
  return Take(count);
}

std::string_view TBinStorage::DictionaryName(std::uint32_t aNumber) const {
  if (aNumber >= FDictionary.size()) throw EListError(aNumber);
  return FDictionary[aNumber];
}

void TBinStorage::GotoBookmark(std::size_t aBookmark) {
  CheckMode(TStorageMode::smRead);
  if (aBookmark < kHeaderSize || aBookmark > FDataEnd) RaiseInvalidFormat();
  FPos = aBookmark;
}

// ---------------------------------------------------------------- objects

std::string_view TBinStorage::ReadObjectBegin(std::string_view aExpected) {
  CheckMode(TStorageMode::smRead);
  if (ReadU8() != kObjectBegin) RaiseCannotReadObject("<unknown>");
  const std::string_view name = DictionaryName(ReadU8());
  if (!aExpected.empty() && !text::EqualsIgnoringCase(name, aExpected))
    RaiseCannotReadObject(aExpected);
  return name;
}

// The end byte is checked: taking whatever byte stands there would let a
// stream cut just after an object's begin byte pass as complete.
void TBinStorage::ReadObjectEnd() {
  CheckMode(TStorageMode::smRead);
  if (ReadU8() != kObjectEnd) RaiseInvalidFormat();
}

bool TBinStorage::IsObjectEnd() {
  CheckMode(TStorageMode::smRead);
  Need(1);
  return static_cast<std::uint8_t>(FIn[FPos]) == kObjectEnd;
}

bool TBinStorage::TestObject(std::string_view aName) {
  CheckMode(TStorageMode::smRead);
  if (FPos > FDataEnd || FDataEnd - FPos < 2) return false;
  if (static_cast<std::uint8_t>(FIn[FPos]) != kObjectBegin) return false;
  return text::EqualsIgnoringCase(DictionaryName(static_cast<std::uint8_t>(FIn[FPos + 1])), aName);
}

bool TBinStorage::TestAndReadObjectBegin(std::string_view aName) {
  if (!TestObject(aName)) return false;
  FPos += 2;
  return true;
}

// ---------------------------------------------------------------- properties

bool TBinStorage::ReadPropertyId(std::string_view aName, TValueNaming aNaming) {
  CheckMode(TStorageMode::smRead);
  // Too few bytes for an id: the property is absent, and the read that must
  // follow (at least the object's end) reports the truncation.
  if (FPos > FDataEnd || FDataEnd - FPos < 2) return false;
  const auto id = static_cast<std::uint16_t>(static_cast<unsigned char>(FIn[FPos]) |
                                             (static_cast<unsigned char>(FIn[FPos + 1]) << 8));
  if (IsMarkerId(id)) return false;
  const std::string_view name = DictionaryName(id);
  if (aNaming == TValueNaming::ExactName ? name != aName : !text::EqualsIgnoringCase(name, aName)) {
    return false;
  }
  FPos += 2;
  return true;
}

bool TBinStorage::TestProperty(std::string_view aName) {
  const std::size_t start = FPos;
  const bool found = ReadPropertyId(aName);
  FPos = start;
  return found;
}

bool TBinStorage::TestAndReadProperty(std::string_view aName) {
  return ReadPropertyId(aName);
}

bool TBinStorage::ReadBoolean(std::string_view aName, bool aDefault) {
  return ReadPropertyId(aName) ? ReadU8() != 0 : aDefault;
}

double TBinStorage::ReadDate(std::string_view aName, double aDefault) {
  return ReadFloat(aName, aDefault);
}

double TBinStorage::ReadFloat(std::string_view aName, double aDefault) {
  if (!ReadPropertyId(aName)) return aDefault;
  return std::bit_cast<double>(ReadU64());
}

std::int32_t TBinStorage::ReadInteger(std::string_view aName, std::int32_t aDefault) {
  return ReadPropertyId(aName) ? static_cast<std::int32_t>(ReadU32()) : aDefault;
}

std::uint32_t TBinStorage::ReadLongWord(std::string_view aName, std::uint32_t aDefault) {
  return ReadPropertyId(aName) ? ReadU32() : aDefault;
}

std::int64_t TBinStorage::ReadInt64(std::string_view aName, std::int64_t aDefault) {
  return ReadPropertyId(aName) ? static_cast<std::int64_t>(ReadU64()) : aDefault;
}

std::string TBinStorage::ReadAnsiString(std::string_view aName, std::string_view aDefault) {
  return std::string(ReadPropertyId(aName) ? ReadCountedBytes() : aDefault);
}

std::string TBinStorage::ReadString(std::string_view aName, std::string_view aDefault) {
  if (!ReadPropertyId(aName)) return std::string(aDefault);
  const std::string_view bytes = ReadCountedBytes();
  if (bytes.size() % 2 != 0) RaiseInvalidFormat();
  return text::Utf16ToUtf8(Utf16FromLe(bytes));
}

int TBinStorage::ReadEnum(std::string_view aName, const TEnumTypeInfo& aType, int aDefault) {
  if (!ReadPropertyId(aName)) return aDefault;
  const auto count = static_cast<int>(aType.Names.size());
  if (FVersion <= 2) {
    int ordinal = static_cast<std::int32_t>(ReadU32());
    if (ordinal < 0 || ordinal >= count) RaiseInvalidFormat();
    if (FVersion == 1 && aType.OldDataTypeOrdinals) ordinal = ConvertOldDataTypeOrdinal(ordinal);
    if (ordinal >= count) RaiseInvalidFormat();
    return ordinal;
  }
  if (FVersion <= 4) {
    const std::string_view bytes = ReadCountedBytes();
    if (bytes.size() % 2 != 0) RaiseInvalidFormat();
    const std::string name = text::Utf16ToUtf8(Utf16FromLe(bytes));
    for (int i = 0; i < count; ++i) {
      if (text::EqualsIgnoringCase(aType.Names[i].substr(2), name)) return i;
    }
    RaiseInvalidFormat();
  }
  const std::string_view name = DictionaryName(ReadU16());
  for (int i = 0; i < count; ++i) {
    if (text::EqualsIgnoringCase(aType.Names[i], name)) return i;
  }
  RaiseInvalidFormat();
}

// ---------------------------------------------------------------- values

void TBinStorage::ReadPayload(TColumnDataType aType, TStorageValue& aValue) {
  const auto typeIndex = static_cast<std::size_t>(aType);
  const int layout = typeIndex < kValueLayouts.size() ? kValueLayouts[typeIndex] : kCountedLayout;
  if (layout >= 0) {
    const std::string_view raw = Take(static_cast<std::size_t>(layout));
    aValue = {raw, raw.size()};
    return;
  }
  switch (layout) {
    case kExtendedLayout: {
      const std::string_view raw = Take(kExtendedSize);
      const double value = ExtendedToDouble(reinterpret_cast<const unsigned char*>(raw.data()));
      FValueBuffer.assign(reinterpret_cast<const char*>(&value), sizeof value);
      aValue = {FValueBuffer, sizeof value};
      return;
    }
    case kBcdLayout: {
      std::size_t stored = kBcdSize;
      if (FVersion >= 4) {
        stored = ReadU8();
        if (stored > kBcdSize) RaiseInvalidFormat();
      }
      FValueBuffer.assign(kBcdSize, '\0');
      const std::string_view raw = Take(stored);
      FValueBuffer.replace(0, raw.size(), raw);
      aValue = {FValueBuffer, kBcdSize};
      return;
    }
    case kWideLayout: {
      const std::string_view raw = ReadCountedBytes();
      if (raw.size() % 2 != 0) RaiseInvalidFormat();
      aValue = {raw, raw.size() / 2};
      return;
    }
    default: {
      const std::string_view raw = ReadCountedBytes();
      aValue = {raw, raw.size()};
      return;
    }
  }
}

// ---------------------------------------------------------------- writing

void TBinStorage::PutU16(std::uint16_t aValue) {
  PutU8(static_cast<std::uint8_t>(aValue & 0xFF));
  PutU8(static_cast<std::uint8_t>(aValue >> 8));
}

void TBinStorage::PutU32(std::uint32_t aValue) {
  for (int shift = 0; shift < 32; shift += 8) PutU8(static_cast<std::uint8_t>(aValue >> shift));
}

void TBinStorage::PutU64(std::uint64_t aValue) {
  for (int shift = 0; shift < 64; shift += 8) PutU8(static_cast<std::uint8_t>(aValue >> shift));
}

void TBinStorage::PutUtf16(std::string_view aUtf8) {
  const std::u16string units = text::Utf8ToUtf16(aUtf8);
  if (units.size() * 2 > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("text value too long for a binary stream");
  }
  PutU32(static_cast<std::uint32_t>(units.size() * 2));
  for (const char16_t unit : units) PutU16(static_cast<std::uint16_t>(unit));
}

// Names get numbers in order of first use. A number whose low byte is 0xFE
// or 0xFF would read back as an object marker, so such numbers (254 and 255,
// and likewise 510 and 511, ...) go to the placeholders "<end>" and
// "<begin>" instead of a real name.
std::uint16_t TBinStorage::NameNumber(std::string_view aName) {
  const std::string key(aName);
  if (const auto found = FNameNumbers.find(key); found != FNameNumbers.end()) {
    return found->second;
  }
  if (FNames.size() > kMaxDictionaryNumber) RaiseDictionaryOverflow();
  const auto number = static_cast<std::uint16_t>(FNames.size());
  FNames.push_back(key);
  FNameNumbers.emplace(key, number);
  if ((FNames.size() & 0xFF) == kObjectEnd) {
    FNames.emplace_back(kEndPlaceholder);
    FNames.emplace_back(kBeginPlaceholder);
  }
  return number;
}

void TBinStorage::WriteObjectBegin(std::string_view aName) {
  CheckMode(TStorageMode::smWrite);
  const std::uint16_t number = NameNumber(aName);
  // An object's name number is a single byte.
  if (number >= kObjectEnd) RaiseDictionaryOverflow();
  PutU8(kObjectBegin);
  PutU8(static_cast<std::uint8_t>(number));
}

void TBinStorage::WriteObjectEnd() {
  CheckMode(TStorageMode::smWrite);
  PutU8(kObjectEnd);
}

void TBinStorage::WriteBoolean(std::string_view aName, bool aValue, bool aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutU8(aValue ? 1 : 0);
}

void TBinStorage::WriteDate(std::string_view aName, double aValue, double aDefault) {
  WriteFloat(aName, aValue, aDefault);
}

void TBinStorage::WriteFloat(std::string_view aName, double aValue, double aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutU64(std::bit_cast<std::uint64_t>(aValue));
}

void TBinStorage::WriteInteger(std::string_view aName, std::int32_t aValue, std::int32_t aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutU32(static_cast<std::uint32_t>(aValue));
}

void TBinStorage::WriteLongWord(std::string_view aName, std::uint32_t aValue,
                                std::uint32_t aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutU32(aValue);
}

void TBinStorage::WriteInt64(std::string_view aName, std::int64_t aValue, std::int64_t aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutU64(static_cast<std::uint64_t>(aValue));
}

void TBinStorage::WriteAnsiString(std::string_view aName, std::string_view aValue,
                                  std::string_view aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  if (aValue.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("text value too long for a binary stream");
  }
  PutPropertyId(aName);
  PutU32(static_cast<std::uint32_t>(aValue.size()));
  Put(aValue);
}

void TBinStorage::WriteString(std::string_view aName, std::string_view aValue,
                              std::string_view aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue == aDefault) return;
  PutPropertyId(aName);
  PutUtf16(aValue);
}

void TBinStorage::WriteEnum(std::string_view aName, const TEnumTypeInfo& aType, int aValue,
                            int aDefault) {
  CheckMode(TStorageMode::smWrite);
  if (aValue < 0 || aValue >= static_cast<int>(aType.Names.size())) {
    throw std::invalid_argument("enumeration value out of range");
  }
  if (aValue == aDefault) return;
  if (FVersion <= 2) {
    int ordinal = aValue;
    if (FVersion == 1 && aType.OldDataTypeOrdinals) ordinal = ToOldDataTypeOrdinal(aValue);
    if (ordinal < 0) {
      throw std::invalid_argument(std::string(aType.Names[aValue]) +
                                  " has no ordinal in version 1 streams");
    }
    PutPropertyId(aName);
    PutU32(static_cast<std::uint32_t>(ordinal));
  } else if (FVersion <= 4) {
    PutPropertyId(aName);
    PutUtf16(aType.Names[aValue].substr(2));
  } else {
    PutPropertyId(aName);
    PutU16(NameNumber(aType.Names[aValue]));
  }
}

void TBinStorage::WriteValue(std::string_view aColumnName, std::uint16_t aColumnIndex,
                             TColumnDataType aType, std::string_view aBytes) {
  CheckMode(TStorageMode::smWrite);
  const auto sizeError = [&] {
    throw std::invalid_argument("value of " + std::string(DataTypeName(aType)) +
                                " column has the wrong size");
  };
  if (FVersion >= 4) {
    PutU16(aColumnIndex);
  } else {
    PutPropertyId(aColumnName);
  }
  if (aType == TColumnDataType::dtExtended) {
    if (aBytes.size() != sizeof(double)) sizeError();
    double value;
    std::memcpy(&value, aBytes.data(), sizeof value);
    unsigned char raw[kExtendedSize];
    DoubleToExtended(value, raw);
    Put(std::string_view(reinterpret_cast<const char*>(raw), kExtendedSize));
    return;
  }
  if (IsBcd(aType)) {
    if (aBytes.size() != kBcdSize) sizeError();
    if (FVersion >= 4) {
      const std::size_t digits = static_cast<unsigned char>(aBytes[0]);
      const std::size_t stored = std::min<std::size_t>((digits + 1) / 2 + 2, kBcdSize);
      PutU8(static_cast<std::uint8_t>(stored));
      Put(aBytes.substr(0, stored));
    } else {
      Put(aBytes);
    }
    return;
  }
  const int fixed = FixedPayloadSize(aType);
  if (fixed >= 0) {
    if (aBytes.size() != static_cast<std::size_t>(fixed)) sizeError();
    Put(aBytes);
    return;
  }
  if (aBytes.size() > std::numeric_limits<std::uint32_t>::max() ||
      (IsWideText(aType) && aBytes.size() % 2 != 0)) {
    sizeError();
  }
  PutU32(static_cast<std::uint32_t>(aBytes.size()));
  Put(aBytes);
}

// ---------------------------------------------------------------- levels

void TBinStorage::EnterObjectLevel() {
  if (FLevel >= kMaxObjectDepth) RaiseInvalidFormat();
  if (FLevel == 0) FPending.clear();
  ++FLevel;
}

void TBinStorage::LeaveObjectLevel(bool aRunActions) {
  if (FLevel == 0) return;
  if (--FLevel != 0) return;
  std::vector<TPendingAction> actions;
  actions.swap(FPending);
  if (!aRunActions) return;
  for (TPendingAction& action : actions) action.Action(action.Name, action.Value);
}

void TBinStorage::DeferAction(std::string aName, std::string aValue, TDeferredAction aAction) {
  if (aName.empty() || aValue.empty() || !aAction) return;
  FPending.push_back({std::move(aName), std::move(aValue), std::move(aAction)});
}

}  // namespace tandemize::memtable::storage
