#include "cli/schema.h"

#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "converter/base64.h"
#include "json/json.h"
#include "json/json_text.h"
#include "memtable/value_convert.h"

namespace tandemize::cli {

using memtable::TBcd;
using memtable::TBytes;
using memtable::TSQLTimeStamp;
using memtable::TVariant;

namespace {

constexpr std::string_view kTypeNames[] = {"integer",  "decimal", "float", "date",
                                           "datetime", "text",    "blob"};
// Databases keep at most this many digits in their decimal columns.
constexpr int kMostDecimalDigits = 38;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Sign, then digits with no leading zero (except a lone "0"); the digits' span.
bool WholePart(std::string_view aText, std::size_t& aPos) {
  if (aPos < aText.size() && (aText[aPos] == '-' || aText[aPos] == '+')) ++aPos;
  const std::size_t start = aPos;
  while (aPos < aText.size() && IsDigit(aText[aPos])) ++aPos;
  if (aPos == start) return false;
  // "007" is a code, not a number: leading zeros keep a value text.
  return !(aText[start] == '0' && aPos - start > 1);
}

std::optional<std::int64_t> ReadInteger(std::string_view aText) {
  std::size_t pos = 0;
  if (!WholePart(aText, pos) || pos != aText.size()) return std::nullopt;
  std::int64_t value = 0;
  const char* first = aText.data() + (aText[0] == '+' ? 1 : 0);
  const auto [end, error] = std::from_chars(first, aText.data() + aText.size(), value);
  if (error != std::errc() || end != aText.data() + aText.size()) return std::nullopt;
  return value;
}

// Digits before and after the point of a plain decimal ("-12.50": 2 and 2).
bool ReadDecimal(std::string_view aText, int& aWhole, int& aScale) {
  std::size_t pos = 0;
  if (!WholePart(aText, pos)) return false;
  const std::size_t signs = (aText[0] == '-' || aText[0] == '+') ? 1 : 0;
  aWhole = static_cast<int>(pos - signs);
  aScale = 0;
  if (pos < aText.size()) {
    if (aText[pos] != '.') return false;
    const std::size_t start = ++pos;
    while (pos < aText.size() && IsDigit(aText[pos])) ++pos;
    if (pos == start || pos != aText.size()) return false;
    aScale = static_cast<int>(pos - start);
  }
  if (aWhole == 1 && aText[signs] == '0') aWhole = 0;
  return aWhole + aScale <= kMostDecimalDigits;
}

std::optional<double> ReadFloat(std::string_view aText) {
  if (aText.empty() || aText.front() == ' ' || aText.back() == ' ') return std::nullopt;
  std::size_t pos = 0;
  if (!WholePart(aText, pos)) return std::nullopt;
  return json::TryReadNumber(aText);
}

int Digits(std::string_view aText, std::size_t aPos, std::size_t aCount) {
  if (aPos + aCount > aText.size()) return -1;
  int value = 0;
  for (std::size_t i = aPos; i < aPos + aCount; ++i) {
    if (!IsDigit(aText[i])) return -1;
    value = value * 10 + (aText[i] - '0');
  }
  return value;
}

bool ValidDate(int aYear, int aMonth, int aDay) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (aYear < 1 || aMonth < 1 || aMonth > 12 || aDay < 1) return false;
  const bool leap = (aYear % 4 == 0 && aYear % 100 != 0) || aYear % 400 == 0;
  return aDay <= kDays[aMonth - 1] + (aMonth == 2 && leap ? 1 : 0);
}

bool ReadDate(std::string_view aText, int& aYear, int& aMonth, int& aDay) {
  if (aText.size() < 10 || aText[4] != '-' || aText[7] != '-') return false;
  aYear = Digits(aText, 0, 4);
  aMonth = Digits(aText, 5, 2);
  aDay = Digits(aText, 8, 2);
  return aYear >= 0 && aMonth >= 0 && aDay >= 0 && ValidDate(aYear, aMonth, aDay);
}

// "YYYY-MM-DD" then "T" or a blank, "HH:MM", optionally ":SS" and a fraction.
std::optional<TSQLTimeStamp> ReadDateTime(std::string_view aText, bool aDateAlone) {
  int year = 0, month = 0, day = 0;
  if (!ReadDate(aText, year, month, day)) return std::nullopt;
  TSQLTimeStamp value;
  value.Year = static_cast<std::int16_t>(year);
  value.Month = static_cast<std::uint16_t>(month);
  value.Day = static_cast<std::uint16_t>(day);
  if (aText.size() == 10) {
    if (!aDateAlone) return std::nullopt;
    return value;
  }
  if (aText[10] != 'T' && aText[10] != ' ') return std::nullopt;
  const int hour = Digits(aText, 11, 2);
  const int minute = aText.size() > 13 && aText[13] == ':' ? Digits(aText, 14, 2) : -1;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return std::nullopt;
  value.Hour = static_cast<std::uint16_t>(hour);
  value.Minute = static_cast<std::uint16_t>(minute);
  std::size_t pos = 16;
  if (pos < aText.size()) {
    const int second = aText[pos] == ':' ? Digits(aText, pos + 1, 2) : -1;
    if (second < 0 || second > 59) return std::nullopt;
    value.Second = static_cast<std::uint16_t>(second);
    pos += 3;
  }
  if (pos < aText.size()) {
    if (aText[pos] != '.' || pos + 1 == aText.size() || aText.size() - pos - 1 > 9) {
      return std::nullopt;
    }
    // Milliseconds; digits past the third are dropped.
    std::uint32_t millis = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t at = pos + 1 + i;
      int digit = 0;
      if (at < aText.size()) {
        if (!IsDigit(aText[at])) return std::nullopt;
        digit = aText[at] - '0';
      }
      millis = millis * 10 + static_cast<std::uint32_t>(digit);
    }
    for (std::size_t at = pos + 4; at < aText.size(); ++at) {
      if (!IsDigit(aText[at])) return std::nullopt;
    }
    value.Fractions = millis;
  }
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes written "0x0102" or "\x0102".
std::optional<TBytes> ReadHex(std::string_view aText) {
  if (aText.size() < 2 || (aText[0] != '0' && aText[0] != '\\') || aText[1] != 'x' ||
      aText.size() % 2 != 0) {
    return std::nullopt;
  }
  TBytes bytes;
  bytes.reserve(aText.size() / 2 - 1);
  for (std::size_t i = 2; i < aText.size(); i += 2) {
    const int high = HexDigit(aText[i]), low = HexDigit(aText[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

// Standard padded Base64 that also shows a mark of it ("+", "/" or "="
// padding): a plain word such as "Lisboa" is text even though it decodes.
bool LooksBase64(std::string_view aText) {
  if (aText.empty() || aText.size() % 4 != 0) return false;
  bool marked = false;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    if (c == '=') {
      ++padding;
      marked = true;
      continue;
    }
    if (padding > 0) return false;
    if (c == '+' || c == '/') {
      marked = true;
    } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c))) {
      return false;
    }
  }
  return marked && padding <= 2;
}

std::int32_t Utf16Length(std::string_view aText) {
  std::int32_t units = 0;
  for (const char c : aText) {
    const auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) != 0x80) units += (b >= 0xF0) ? 2 : 1;
  }
  return units;
}

}  // namespace

std::string_view ValueTypeName(TValueType aType) {
  return kTypeNames[static_cast<std::size_t>(aType)];
}

std::optional<TValueType> ValueTypeByName(std::string_view aName) {
  for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (kTypeNames[i] == aName) return static_cast<TValueType>(i);
  }
  return std::nullopt;
}

TTypeSet TypesOf(const TCell& aCell) {
  const TTypeSet text = TypeBit(TValueType::vtText);
  switch (aCell.Kind) {
    case TCellKind::ckNull:
      return static_cast<TTypeSet>(0x7F);
    case TCellKind::ckBytes:
      return TypeBit(TValueType::vtBlob);
    case TCellKind::ckReal:
      return TypeBit(TValueType::vtFloat) | text;
    case TCellKind::ckInteger:
      return TypeBit(TValueType::vtInteger) | TypeBit(TValueType::vtDecimal) |
             TypeBit(TValueType::vtFloat) | text;
    case TCellKind::ckText:
      break;
  }
  const std::string_view value = aCell.Text;
  TTypeSet types = text;
  if (ReadInteger(value)) types |= TypeBit(TValueType::vtInteger);
  int whole = 0, scale = 0;
  if (ReadDecimal(value, whole, scale)) types |= TypeBit(TValueType::vtDecimal);
  if (ReadFloat(value)) types |= TypeBit(TValueType::vtFloat);
  if (ReadDateTime(value, false)) types |= TypeBit(TValueType::vtDateTime);
  int year = 0, month = 0, day = 0;
  if (value.size() == 10 && ReadDate(value, year, month, day)) {
    types |= TypeBit(TValueType::vtDate) | TypeBit(TValueType::vtDateTime);
  }
  if (ReadHex(value) || LooksBase64(value)) types |= TypeBit(TValueType::vtBlob);
  return types;
}

std::map<std::string, TValueType> ParseSchemaOption(std::string_view aOption) {
  std::map<std::string, TValueType> result;
  std::size_t start = 0;
  while (start <= aOption.size()) {
    std::size_t end = aOption.find(',', start);
    if (end == std::string_view::npos) end = aOption.size();
    const std::string_view item = aOption.substr(start, end - start);
    const std::size_t colon = item.rfind(':');
    const std::optional<TValueType> type =
        colon == std::string_view::npos ? std::nullopt : ValueTypeByName(item.substr(colon + 1));
    if (colon == 0 || !type) {
      throw EInputError(fmt::format(
          "--schema: \"{}\" is not NAME:TYPE with TYPE one of integer, decimal, float, date, "
          "datetime, text, blob",
          item));
    }
    result[std::string(item.substr(0, colon))] = *type;
    start = end + 1;
  }
  return result;
}

std::vector<TColumnSchema> InferSchema(const TSourceTable& aTable,
                                       const std::map<std::string, TValueType>& aGiven) {
  for (const auto& [name, type] : aGiven) {
    bool found = false;
    for (const std::string& column : aTable.Columns) found = found || column == name;
    if (!found) throw EInputError("--schema names \"" + name + "\", which the input does not have");
  }
  static constexpr TValueType kOrder[] = {
      TValueType::vtInteger,  TValueType::vtDecimal, TValueType::vtFloat, TValueType::vtDate,
      TValueType::vtDateTime, TValueType::vtBlob,    TValueType::vtText};
  std::vector<TColumnSchema> schema(aTable.Columns.size());
  for (std::size_t c = 0; c < schema.size(); ++c) {
    TColumnSchema& column = schema[c];
    column.Name = aTable.Columns[c];
    TTypeSet types = 0x7F;
    bool any = false;
    for (const TSourceRow& row : aTable.Rows) {
      const TCell& cell = row.Cells[c];
      if (cell.Kind == TCellKind::ckNull) {
        column.HasNull = true;
        continue;
      }
      any = true;
      types &= TypesOf(cell);
    }
    const auto given = aGiven.find(column.Name);
    if (given != aGiven.end()) {
      column.Type = given->second;
      column.Given = true;
    } else if (!any) {
      column.Type = TValueType::vtText;
    } else {
      column.Type = TValueType::vtText;
      for (const TValueType type : kOrder) {
        if (types & TypeBit(type)) {
          column.Type = type;
          break;
        }
      }
    }
    // Sizes the column's values need.
    int whole = 0;
    for (const TSourceRow& row : aTable.Rows) {
      const TCell& cell = row.Cells[c];
      if (cell.Kind == TCellKind::ckNull) continue;
      if (column.Type == TValueType::vtText) {
        column.Length = std::max(column.Length, Utf16Length(cell.Text));
      } else if (column.Type == TValueType::vtDecimal) {
        int w = 0, s = 0;
        if (ReadDecimal(cell.Text, w, s)) {
          whole = std::max(whole, w);
          column.Scale = std::max(column.Scale, s);
        }
      }
    }
    column.Precision = std::max(1, whole + column.Scale);
  }
  return schema;
}

TVariant ConvertValue(const TSourceTable& aTable, const TSourceRow& aRow, std::size_t aColumn,
                      const TColumnSchema& aSchema) {
  const TCell& cell = aRow.Cells[aColumn];
  if (cell.Kind == TCellKind::ckNull) return TVariant{};
  const std::string_view text = cell.Text;
  const auto refuse = [&]() -> TVariant {
    const std::string shown = cell.Kind == TCellKind::ckBytes
                                  ? fmt::format("a blob of {} bytes", cell.Text.size())
                                  : fmt::format("\"{}\"", text.substr(0, 60));
    throw EInputError(fmt::format("{}: {} is not {} {}", aTable.Where(aRow, aColumn), shown,
                                  aSchema.Type == TValueType::vtInteger ? "an" : "a",
                                  ValueTypeName(aSchema.Type)));
  };
  if (cell.Kind == TCellKind::ckBytes) {
    if (aSchema.Type != TValueType::vtBlob) return refuse();
    return TBytes(cell.Text.begin(), cell.Text.end());
  }
  switch (aSchema.Type) {
    case TValueType::vtInteger: {
      const std::optional<std::int64_t> value = ReadInteger(text);
      if (!value) return refuse();
      return *value;
    }
    case TValueType::vtDecimal: {
      int whole = 0, scale = 0;
      TBcd value;
      if (!ReadDecimal(text, whole, scale) || !memtable::StringToBcd(text, value)) {
        return refuse();
      }
      return memtable::TBcdValue(value);
    }
    case TValueType::vtFloat: {
      const std::optional<double> value = ReadFloat(text);
      if (!value) return refuse();
      return *value;
    }
    case TValueType::vtDate: {
      int year = 0, month = 0, day = 0;
      if (text.size() != 10 || !ReadDate(text, year, month, day)) return refuse();
      return DayNumber(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    }
    case TValueType::vtDateTime: {
      const std::optional<TSQLTimeStamp> value = ReadDateTime(text, true);
      if (!value) return refuse();
      return *value;
    }
    case TValueType::vtText:
      return std::string(text);
    case TValueType::vtBlob: {
      if (std::optional<TBytes> bytes = ReadHex(text)) return std::move(*bytes);
      if (std::optional<TBytes> bytes = converter::DecodeBase64(text)) return std::move(*bytes);
      return refuse();
    }
  }
  return refuse();
}

std::int32_t DayNumber(int aYear, unsigned aMonth, unsigned aDay) {
  // Days from 1970-01-01 (civil calendar), then moved to start at 0001-01-01.
  const int y = aYear - (aMonth <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (aMonth + (aMonth > 2 ? -3 : 9)) + 2) / 5 + aDay - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t fromEpoch = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  return static_cast<std::int32_t>(fromEpoch + 719163);  // 1970-01-01 is day 719163
}

void CivilFromDayNumber(std::int32_t aDay, int& aYear, unsigned& aMonth, unsigned& aDay2) {
  const std::int64_t z = static_cast<std::int64_t>(aDay) - 719163 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  aDay2 = doy - (153 * mp + 2) / 5 + 1;
  aMonth = mp < 10 ? mp + 3 : mp - 9;
  aYear = static_cast<int>(yoe + era * 400) + (aMonth <= 2 ? 1 : 0);
}

std::string IsoDate(std::int32_t aDayNumber) {
  int year = 0;
  unsigned month = 0, day = 0;
  CivilFromDayNumber(aDayNumber, year, month, day);
  return fmt::format("{:04}-{:02}-{:02}", year, month, day);
}

std::string IsoDateTime(const TSQLTimeStamp& aValue) {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", aValue.Year, aValue.Month,
                     aValue.Day, aValue.Hour, aValue.Minute, aValue.Second, aValue.Fractions);
}

}  // namespace tandemize::cli
