// The import model's values: for every type of either form, the values a
// row sends and what each must become in a SQLite table.

#include "service/import_values.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "service/import_text.h"

namespace tandemize::importfuzz {

using DT = memtable::TColumnDataType;
using memtable::TVariant;
using text::AsciiCaseVariant;

// ---------------------------------------------------------------- types

const std::vector<TJsonType> kJsonTypes = {
    {"ftString", TVk::kText, TSizeRule::kRequired},
    {"ftFixedChar", TVk::kText, TSizeRule::kCut},
    {"ftOraInterval", TVk::kText, TSizeRule::kCut},
    {"ftWideString", TVk::kText, TSizeRule::kRequired},
    {"ftFixedWideChar", TVk::kText, TSizeRule::kCut},
    {"ftMemo", TVk::kText, TSizeRule::kAny},
    {"ftOraClob", TVk::kText, TSizeRule::kAny},
    {"ftWideMemo", TVk::kText, TSizeRule::kAny},
    {"ftSmallint", TVk::kInt, TSizeRule::kZero, -32768, 32767},
    {"ftShortint", TVk::kInt, TSizeRule::kZero, -128, 127},
    {"ftInteger", TVk::kInt, TSizeRule::kZero, kInt32Min, kInt32Max},
    {"ftAutoInc", TVk::kInt, TSizeRule::kZero, kInt32Min, kInt32Max},
    {"ftLongWord", TVk::kInt, TSizeRule::kZero, 0, 4294967295LL},
    {"ftLargeint", TVk::kInt, TSizeRule::kZero, kInt64Min, kInt64Max},
    {"ftBoolean", TVk::kBool, TSizeRule::kZero},
    {"ftFloat", TVk::kFloat, TSizeRule::kZero},
    {"ftExtended", TVk::kFloat, TSizeRule::kZero},
    {"ftSingle", TVk::kSingle, TSizeRule::kZero},
    {"ftCurrency", TVk::kCurrency, TSizeRule::kZero},
    {"ftBCD", TVk::kBcd, TSizeRule::kBcd},
    {"ftFMTBcd", TVk::kBcd, TSizeRule::kFmtBcd},
    {"ftDate", TVk::kDate, TSizeRule::kZero},
    {"ftTime", TVk::kTime, TSizeRule::kZero},
    {"ftDateTime", TVk::kDateTime, TSizeRule::kZero},
    {"ftTimeStamp", TVk::kDateTime, TSizeRule::kZero},
    {"ftOraTimeStamp", TVk::kDateTime, TSizeRule::kZero},
    {"ftBlob", TVk::kBlob, TSizeRule::kAny},
    {"ftGraphic", TVk::kBlob, TSizeRule::kAny},
    {"ftOraBlob", TVk::kBlob, TSizeRule::kAny},
    {"ftTypedBinary", TVk::kBlob, TSizeRule::kAny},
    {"ftFmtMemo", TVk::kBlob, TSizeRule::kAny},
    {"ftDBaseOle", TVk::kBlob, TSizeRule::kAny},
    {"ftParadoxOle", TVk::kBlob, TSizeRule::kAny},
    // Types with a field class that rows cannot be written into.
    {"ftWord", TVk::kUnsupported, TSizeRule::kZero},
    {"ftByte", TVk::kUnsupported, TSizeRule::kZero},
    {"ftBytes", TVk::kUnsupported, TSizeRule::kPositive},
    {"ftVarBytes", TVk::kUnsupported, TSizeRule::kPositive},
    {"ftGuid", TVk::kUnsupported, TSizeRule::kGuid},
    {"ftVariant", TVk::kUnsupported, TSizeRule::kZero},
    {"ftTimeStampOffset", TVk::kUnsupported, TSizeRule::kZero},
    // Types without a field class, and names of no type.
    {"ftStream", TVk::kNoClass, TSizeRule::kAny},
    {"ftUnknown", TVk::kNoClass, TSizeRule::kAny},
    {"ftCursor", TVk::kNoClass, TSizeRule::kAny},
    {"ftObject", TVk::kNoClass, TSizeRule::kAny},
    {"ftNothing", TVk::kUnknown, TSizeRule::kAny},
    {"Integer", TVk::kUnknown, TSizeRule::kAny},
};

const std::vector<TStreamType> kStreamTypes = {
    {DT::dtBoolean, TVk::kBool},
    {DT::dtSByte, TVk::kInt, -128, 127},
    {DT::dtInt16, TVk::kInt, -32768, 32767},
    {DT::dtInt32, TVk::kInt, kInt32Min, kInt32Max},
    {DT::dtInt64, TVk::kInt, kInt64Min, kInt64Max},
    {DT::dtByte, TVk::kInt, 0, 255},
    {DT::dtUInt16, TVk::kInt, 0, 65535},
    {DT::dtUInt32, TVk::kInt, 0, 4294967295LL},
    {DT::dtUInt64, TVk::kInt, 0, kInt64Max},
    {DT::dtSingle, TVk::kSingle},
    {DT::dtDouble, TVk::kFloat},
    {DT::dtExtended, TVk::kFloat},
    {DT::dtCurrency, TVk::kCurrency},
    {DT::dtBCD, TVk::kBcd},
    {DT::dtFmtBCD, TVk::kBcd},
    {DT::dtDate, TVk::kDate},
    {DT::dtTime, TVk::kTime},
    {DT::dtDateTime, TVk::kDateTime},
    {DT::dtDateTimeStamp, TVk::kDateTime},
    {DT::dtAnsiString, TVk::kText, 0, 0, true, true},
    {DT::dtWideString, TVk::kText, 0, 0, false, true},
    {DT::dtMemo, TVk::kText, 0, 0, true},
    {DT::dtWideMemo, TVk::kText},
    {DT::dtXML, TVk::kText},
    {DT::dtHMemo, TVk::kText, 0, 0, true},
    {DT::dtWideHMemo, TVk::kText},
    {DT::dtByteString, TVk::kBytes, 0, 0, false, true},
    {DT::dtBlob, TVk::kBlob},
    {DT::dtHBlob, TVk::kBlob},
    {DT::dtGUID, TVk::kGuid},
};

// The names of kStreamTypes' types, in the same order, for reports.
const char* const kStreamTypeNames[] = {
    "dtBoolean",       "dtSByte",      "dtInt16",      "dtInt32",  "dtInt64",    "dtByte",
    "dtUInt16",        "dtUInt32",     "dtUInt64",     "dtSingle", "dtDouble",   "dtExtended",
    "dtCurrency",      "dtBCD",        "dtFmtBCD",     "dtDate",   "dtTime",     "dtDateTime",
    "dtDateTimeStamp", "dtAnsiString", "dtWideString", "dtMemo",   "dtWideMemo", "dtXML",
    "dtHMemo",         "dtWideHMemo",  "dtByteString", "dtBlob",   "dtHBlob",    "dtGUID"};

const char* StreamColumnTypeName(int aTypeIndex) {
  static_assert(std::size(kStreamTypeNames) == 30);
  return kStreamTypeNames[static_cast<std::size_t>(aTypeIndex)];
}

TVk KindOf(const TCase& aCase, const TColumn& aColumn) {
  return aCase.Binary ? kStreamTypes[aColumn.TypeIndex].Kind : kJsonTypes[aColumn.TypeIndex].Kind;
}

// Declared types of the target table's column for a kind; decimals always
// get a REAL affinity, so the decimal text the service binds is read as a
// number whatever its number of places.
std::string SqlTypeFor(TChoices& c, TVk aKind, std::int32_t aSize, bool aNeutral) {
  if (aNeutral) {
    switch (aKind) {
      case TVk::kInt:
      case TVk::kBool:
        return "INTEGER";
      case TVk::kFloat:
      case TVk::kSingle:
      case TVk::kCurrency:
      case TVk::kBcd:
        return "REAL";
      case TVk::kBlob:
      case TVk::kBytes:
        return "BLOB";
      default:
        return "TEXT";
    }
  }
  switch (aKind) {
    case TVk::kText:
    case TVk::kGuid:
      return c.Pick(std::vector<std::string>{"TEXT", fmt::format("VARCHAR({})", aSize + 1), "CLOB",
                                             "", "NVARCHAR(20)"});
    case TVk::kInt:
      return c.Pick(std::vector<std::string>{"INTEGER", "INT", "BIGINT", "", "NUMERIC"});
    case TVk::kBool:
      return c.Pick(std::vector<std::string>{"BOOLEAN", "INTEGER", "", "SMALLINT"});
    case TVk::kFloat:
    case TVk::kSingle:
      return c.Pick(std::vector<std::string>{"REAL", "DOUBLE", "FLOAT", ""});
    case TVk::kCurrency:
    case TVk::kBcd:
      return c.Pick(std::vector<std::string>{"REAL", "DOUBLE PRECISION", "FLOAT"});
    case TVk::kDate:
    case TVk::kTime:
    case TVk::kDateTime:
      return c.Pick(std::vector<std::string>{"TEXT", "DATETIME", "", "TIMESTAMP", "DATE"});
    case TVk::kBlob:
    case TVk::kBytes:
      return c.Pick(std::vector<std::string>{"BLOB", "", "BYTEA"});
    default:
      return c.Pick(std::vector<std::string>{"TEXT", ""});
  }
}

bool SizeValid(TSizeRule aRule, std::int32_t aSize) {
  switch (aRule) {
    case TSizeRule::kZero:
      return aSize == 0;
    case TSizeRule::kAny:
      return true;
    case TSizeRule::kCut:
      return aSize >= 0;
    case TSizeRule::kRequired:
      return aSize > 0;
    case TSizeRule::kBcd:
      return aSize >= 0 && aSize <= 32;
    case TSizeRule::kFmtBcd:
      return aSize >= 0 && aSize <= 64;
    case TSizeRule::kPositive:
      return aSize > 0;
    case TSizeRule::kGuid:
      return aSize == 38;
  }
  return false;
}

namespace {

// ---------------------------------------------------------------- values

using text::TText;

// Pieces of generated text: ASCII, accented letters, other scripts, an
// emoji (a surrogate pair in UTF-16), quotes and escapes, control
// characters and NUL.
const std::vector<std::u32string> kTextPieces = {
    U"a",  U"Ana", U"ç",   U"ã",  U"Ω",  U"日本", U"\U0001F600", U"\"",
    U"\\", U"'",   U"--",  U"/*", U"\n", U"\t",   U" ",          std::u32string(1, U'\0'),
    U"€",  U"ÿ",   U"x y", U"Ž"};
// Pieces that Windows-1252 holds.
const std::vector<std::u32string> kAnsiPieces = {U"a", U"Ana", U"ç",   U"ã",  U"\"", U"\\",
                                                 U"'", U"--",  U"\n",  U"\t", U" ",  U"€",
                                                 U"ÿ", U"Ž",   U"x y", U"É",  U"ß",  U"0"};

// Text of up to aMaxUnits UTF-16 units (unbounded when negative).
TText RandomText(TChoices& c, bool aAnsi, bool aLoneSurrogates, bool aNul,
                 std::int64_t aMaxUnits = -1) {
  TText value;
  const std::uint64_t mode = c.Below(40);
  std::int64_t pieces = 0;
  if (mode < 4) {
    pieces = 0;
  } else if (mode == 39) {
    pieces = c.Range(300, 1500);
  } else {
    pieces = c.Range(1, 10);
  }
  const auto& pool = aAnsi ? kAnsiPieces : kTextPieces;
  for (std::int64_t i = 0; i < pieces; ++i) {
    if (aLoneSurrogates && c.OneIn(40)) {
      value.push_back(c.OneIn(2) ? 0xD83D : 0xDE00);  // a lone half of a pair
    } else {
      const std::u32string& piece = c.Pick(pool);
      value += aNul || piece.find(U'\0') == std::u32string::npos ? piece : U"a";
    }
  }
  // Two halves that meet make a pair: one character, as JSON reads them.
  for (std::size_t i = 0; i + 1 < value.size(); ++i) {
    if (value[i] >= 0xD800 && value[i] <= 0xDBFF && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      value[i] = 0x10000 + ((value[i] - 0xD800) << 10) + (value[i + 1] - 0xDC00);
      value.erase(i + 1, 1);
    }
  }
  if (aMaxUnits >= 0) value = text::CutToUnits(value, static_cast<std::size_t>(aMaxUnits));
  return value;
}

std::string RandomBytes(TChoices& c) {
  const std::uint64_t mode = c.Below(30);
  std::size_t length = 0;
  if (mode < 3) {
    length = 0;
  } else if (mode == 29) {
    length = static_cast<std::size_t>(c.Range(10000, 70000));
  } else {
    length = static_cast<std::size_t>(c.Range(1, 40));
  }
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>(i < 64 ? c.Below(256) : (i * 131 + bytes[i % 64]) & 0xFF);
  }
  return bytes;
}

std::int64_t RandomInteger(TChoices& c, std::int64_t aMin, std::int64_t aMax) {
  switch (c.Below(8)) {
    case 0:
      return aMin;
    case 1:
      return aMax;
    case 2:
      return std::clamp<std::int64_t>(0, aMin, aMax);
    case 3:
      return std::clamp<std::int64_t>(c.Range(-3, 3), aMin, aMax);
    case 4:
      return std::clamp<std::int64_t>(c.Range(-100000, 100000), aMin, aMax);
    default:
      return c.Range(aMin, aMax);
  }
}

double RandomDouble(TChoices& c, bool aNonFinite) {
  static const double kSpecial[] = {0.0,
                                    -0.0,
                                    1.5,
                                    -2.25,
                                    0.1,
                                    1.0 / 3.0,
                                    1e-300,
                                    4.9406564584124654e-324,
                                    -4.9406564584124654e-324,
                                    2.2250738585072014e-308,
                                    2.2250738585072009e-308,
                                    1.7976931348623157e308,
                                    -1.7976931348623157e308,
                                    123456789.123,
                                    9007199254740993.0,
                                    1e15,
                                    1e16,
                                    0.30000000000000004};
  switch (c.Below(6)) {
    case 0:
    case 1:
      return kSpecial[c.Below(std::size(kSpecial))];
    case 2: {
      double value;
      std::uint64_t bits = c.Bits64();
      std::memcpy(&value, &bits, sizeof value);
      if (!aNonFinite && !std::isfinite(value)) return 2.5;
      return value;
    }
    case 3:
      if (aNonFinite) {
        const double kNonFinite[] = {std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::quiet_NaN()};
        return kNonFinite[c.Below(3)];
      }
      return 7.0;
    default:
      return static_cast<double>(c.Range(-1000000, 1000000)) / 100.0;
  }
}

float RandomFloat(TChoices& c) {
  static const float kSpecial[] = {
      0.0F,           -0.0F,           0.1F,     1.5F,        3.4028235e38F,
      -3.4028235e38F, 1.17549435e-38F, 1.4e-45F, 16777217.0F, 123.456F};
  if (c.OneIn(2)) return kSpecial[c.Below(std::size(kSpecial))];
  return static_cast<float>(c.Range(-1000000, 1000000)) / 64.0F;
}

// Shortest text that reads back as aValue, always with a point or an
// exponent so that JSON reads it as a number, not an integer.
std::string NumberText(double aValue) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, aValue).ptr;
  std::string out(buffer, end);
  if (out.find_first_of(".eE") == std::string::npos) out += ".0";
  return out;
}

std::string FloatText(float aValue) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, aValue).ptr;
  std::string out(buffer, end);
  if (out.find_first_of(".eE") == std::string::npos) out += ".0";
  return out;
}

// A decimal with up to aPlaces places and up to 14 significant digits.
struct TDecimal {
  std::int64_t Units = 0;  // value times 10^Places
  int Places = 0;
  std::string Text() const {
    const bool negative = Units < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(Units) : static_cast<std::uint64_t>(Units);
    std::uint64_t scale = 1;
    for (int i = 0; i < Places; ++i) scale *= 10;
    std::string out = (negative ? "-" : "") + std::to_string(magnitude / scale);
    if (Places > 0) out += fmt::format(".{:0{}}", magnitude % scale, Places);
    return out;
  }
};

TDecimal RandomDecimal(TChoices& c, int aMaxPlaces, std::int64_t aMaxUnits) {
  TDecimal d;
  d.Places = static_cast<int>(c.Range(0, aMaxPlaces));
  switch (c.Below(4)) {
    case 0:
      d.Units = 0;
      break;
    case 1:
      d.Units = c.Range(-aMaxUnits, aMaxUnits);
      break;
    default:
      d.Units = c.Range(-99999, 99999);
      break;
  }
  return d;
}

// Calendar arithmetic of the model: days from 0001-01-01 (day 0).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

struct TMoment {
  int Year = 1899;
  unsigned Month = 12, Day = 30;
  unsigned Hour = 0, Minute = 0, Second = 0, Milli = 0;

  std::int64_t DayNumber() const { return DaysFromCivil(Year, Month, Day); }
  // Whole days since 1899-12-30 plus the time of day as a fraction; before
  // that day the fraction still counts forward in the day.
  double DateTime() const {
    const double days = static_cast<double>(DayNumber() - DaysFromCivil(1899, 12, 30));
    const double time =
        (Hour * 3600000.0 + Minute * 60000.0 + Second * 1000.0 + Milli) / 86400000.0;
    return days < 0 ? days - time : days + time;
  }
  // The text the service binds for any date or time value.
  std::string BoundText() const {
    std::string text =
        fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", Year, Month, Day, Hour, Minute, Second);
    if (Milli != 0) text += fmt::format(".{:03}", Milli);
    return text;
  }
  // Moves by aMinutes, as a zone offset is taken off.
  void AddMinutes(std::int64_t aMinutes) {
    std::int64_t total = DayNumber() * 1440 + Hour * 60 + Minute + aMinutes;
    const std::int64_t day = total >= 0 ? total / 1440 : (total - 1439) / 1440;
    total -= day * 1440;
    CivilFromDays(day, Year, Month, Day);
    Hour = static_cast<unsigned>(total / 60);
    Minute = static_cast<unsigned>(total % 60);
  }
};

unsigned DaysInMonth(int y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return 29;
  return kDays[m - 1];
}

TMoment RandomMoment(TChoices& c, bool aWithTime, bool aWithMillis) {
  TMoment t;
  static const TMoment kLimits[] = {
      {1, 1, 1},     {9999, 12, 31, 23, 59, 59, 999}, {1899, 12, 30}, {1899, 12, 29, 6},
      {1900, 2, 28}, {2000, 2, 29, 12, 30},           {1600, 2, 29},  {1, 1, 1, 0, 0, 0, 1},
      {1970, 1, 1},  {2038, 1, 19, 3, 14, 7}};
  if (c.OneIn(3)) {
    t = kLimits[c.Below(std::size(kLimits))];
  } else {
    t.Year = static_cast<int>(c.OneIn(4) ? c.Range(1, 9999) : c.Range(1850, 2100));
    t.Month = static_cast<unsigned>(c.Range(1, 12));
    t.Day = static_cast<unsigned>(c.Range(1, DaysInMonth(t.Year, t.Month)));
    t.Hour = static_cast<unsigned>(c.Range(0, 23));
    t.Minute = static_cast<unsigned>(c.Range(0, 59));
    t.Second = static_cast<unsigned>(c.Range(0, 59));
    t.Milli = c.OneIn(2) ? 0 : static_cast<unsigned>(c.Range(0, 999));
  }
  if (!aWithTime) t.Hour = t.Minute = t.Second = t.Milli = 0;
  if (!aWithMillis) t.Milli = 0;
  return t;
}

std::string DateText(const TMoment& t) {
  return fmt::format("{:04}-{:02}-{:02}", t.Year, t.Month, t.Day);
}
std::string TimeText(const TMoment& t) {
  return fmt::format("{:02}:{:02}:{:02}", t.Hour, t.Minute, t.Second);
}

// The ISO text of a moment for a date-and-time field; aMoment may move when
// the text carries a zone offset (the service keeps the UTC moment).
std::string DateTimeIso(TChoices& c, TMoment& aMoment) {
  const bool inner = aMoment.Year > 1 && aMoment.Year < 9999;
  switch (c.Below(6)) {
    case 0:
      if (aMoment.Hour == 0 && aMoment.Minute == 0 && aMoment.Second == 0 && aMoment.Milli == 0) {
        return DateText(aMoment);
      }
      break;
    case 1:
      if (aMoment.Milli == 0) {
        return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}", aMoment.Year, aMoment.Month,
                           aMoment.Day, aMoment.Hour, aMoment.Minute, aMoment.Second);
      }
      break;
    case 2:
      if (inner) {
        const std::int64_t offset = c.Range(-14 * 4, 14 * 4) * 15;  // minutes
        std::string text = DateText(aMoment) + "T" + TimeText(aMoment);
        if (aMoment.Milli != 0) text += fmt::format(".{:03}", aMoment.Milli);
        text += fmt::format("{}{:02}:{:02}", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                            std::abs(offset) % 60);
        aMoment.AddMinutes(-offset);
        return text;
      }
      break;
    case 3:
      if (aMoment.Milli % 100 == 0) {
        std::string text = DateText(aMoment) + "T" + TimeText(aMoment);
        if (aMoment.Milli != 0) text += fmt::format(".{}", aMoment.Milli / 100);
        return text + "Z";
      }
      break;
    default:
      break;
  }
  std::string text = DateText(aMoment) + "T" + TimeText(aMoment);
  if (aMoment.Milli != 0) text += fmt::format(".{:03}", aMoment.Milli);
  return text;
}

std::string JsonInteger(std::int64_t aValue) {
  return std::to_string(aValue);
}

// A JSON value that no field can take: an object or an array.
std::string StructuredJson(TChoices& c) {
  return c.OneIn(2) ? R"({"v":1})" : "[1,2]";
}

// The text a field of aType holds: lone surrogates became U+FFFD when the
// JSON was read, and the fixed-size text fields cut to their size in UTF-16
// units.
TText CutForField(const TText& aValue, const TJsonType& aType, std::int32_t aSize) {
  if (aType.Size == TSizeRule::kCut || aType.Size == TSizeRule::kRequired) {
    return text::CutToUnits(aValue, static_cast<std::size_t>(std::max(aSize, 0)));
  }
  return text::CutToUnits(aValue, SIZE_MAX);
}

memtable::TBcd MakeBcd(const TDecimal& d) {
  memtable::TBcd bcd;
  const bool negative = d.Units < 0;
  std::string digits = std::to_string(negative ? 0 - static_cast<std::uint64_t>(d.Units)
                                               : static_cast<std::uint64_t>(d.Units));
  while (static_cast<int>(digits.size()) < d.Places + 1) digits.insert(0, "0");
  bcd.Precision = static_cast<std::uint8_t>(digits.size());
  bcd.SignSpecialPlaces = static_cast<std::uint8_t>((negative ? 0x80 : 0) | d.Places);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    const auto digit = static_cast<std::uint8_t>(digits[i] - '0');
    bcd.Fraction[i / 2] |= (i % 2 == 0) ? static_cast<std::uint8_t>(digit << 4) : digit;
  }
  return bcd;
}

}  // namespace

// Fills aCell with a value of the JSON form for a column of type aType.
void JsonCell(TChoices& c, const TJsonType& aType, std::int32_t aSize, bool aAllowBad,
              bool aAllowMissing, TCell& aCell, const TGenOptions& aOptions) {
  using TMode = TCell::TMode;
  const std::uint64_t roll = c.Below(100);
  if (roll < 8) {
    aCell.Mode = TMode::kNull;
    aCell.Json = "null";
    aCell.Expected = TSqlValue::Null();
    return;
  }
  const bool bad = aAllowBad && roll >= 97;
  if (aAllowMissing && roll >= 8 && roll < 12) {
    aCell.Mode = TMode::kMissing;
    switch (aType.Kind) {
      case TVk::kText:
        aCell.Expected = TSqlValue::Text("");
        break;
      case TVk::kInt:
      case TVk::kBool:
        aCell.Expected = TSqlValue::Int(0);
        break;
      case TVk::kFloat:
      case TVk::kSingle:
      case TVk::kCurrency:
      case TVk::kBcd:
        aCell.Expected = TSqlValue::Float(0);
        break;
      case TVk::kBlob:
        aCell.Expected = TSqlValue::Null();
        break;
      default:  // an empty date or time is not a date
        aCell.Fails = true;
        break;
    }
    return;
  }
  aCell.Mode = bad ? TMode::kBad : TMode::kGood;
  const bool lenient = !bad && c.OneIn(6);
  if (bad && c.OneIn(3)) {
    aCell.Json = StructuredJson(c);
    aCell.Fails = true;
    return;
  }
  switch (aType.Kind) {
    case TVk::kText: {
      if (lenient) {
        if (c.OneIn(2)) {
          const std::int64_t n = RandomInteger(c, kInt64Min, kInt64Max);
          aCell.Json = JsonInteger(n);
          aCell.Expected = TSqlValue::Text(
              text::ToUtf8(CutForField(text::FromUtf8(std::to_string(n)), aType, aSize)));
        } else {
          const bool b = c.OneIn(2);
          aCell.Json = b ? "true" : "false";
          aCell.Expected = TSqlValue::Text(
              text::ToUtf8(CutForField(text::FromUtf8(b ? "true" : "false"), aType, aSize)));
        }
        return;
      }
      if (bad) {  // text takes every scalar: only structure is bad
        aCell.Json = StructuredJson(c);
        aCell.Fails = true;
        return;
      }
      const TText value = RandomText(c, false, true, !aOptions.KindNeutral);
      aCell.Json = text::JsonString(value, c.OneIn(3));
      aCell.Expected = TSqlValue::Text(text::ToUtf8(CutForField(value, aType, aSize)));
      return;
    }
    case TVk::kInt: {
      if (bad) {
        switch (c.Below(3)) {
          case 0:
            aCell.Json = c.Pick(std::vector<std::string>{"\"abc\"", "\"12x\"", "\"\"", "\"1.5\""});
            break;
          default:
            if (aType.Min > kInt64Min) {
              aCell.Json = JsonInteger(aType.Min - c.Range(1, 1000));
            } else if (aType.Max < kInt64Max) {
              aCell.Json = JsonInteger(aType.Max + c.Range(1, 1000));
            } else {
              aCell.Json = "\"x\"";
            }
            if (aType.Max < kInt64Max && c.OneIn(2)) {
              aCell.Json = JsonInteger(aType.Max + c.Range(1, 1000));
            }
            break;
        }
        aCell.Fails = true;
        return;
      }
      // An auto-increment field counts on from its largest value with every
      // row appended: values near the top of its range, unless asked for.
      const bool nearTop = aOptions.AutoIncMax || std::string_view(aType.Name) != "ftAutoInc";
      const std::int64_t n = RandomInteger(c, aType.Min, nearTop ? aType.Max : 1 << 30);
      aCell.Expected = TSqlValue::Int(n);
      if (lenient) {
        // Another kind, or integer text the reader takes: a sign, leading
        // zeros, hexadecimal.
        const std::uint64_t magnitude =
            n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
        switch (c.Below(5)) {
          case 0:
            if (n == 0 || n == 1) {
              aCell.Json = n == 1 ? "true" : "false";
              break;
            }
            [[fallthrough]];
          case 1:
            aCell.Json = "\"" + std::to_string(n) + "\"";
            break;
          case 2:
            aCell.Json = (n < 0 ? "-" : "+") + std::to_string(magnitude);
            break;
          case 3:
            aCell.Json = (n < 0 ? "-00" : "00") + std::to_string(magnitude);
            break;
          default:
            // Hexadecimal reads as a 32-bit two's complement first: only
            // below 2^31 is it the same number whatever its width.
            if (n >= 0 && n <= kInt32Max) {
              aCell.Json = fmt::format("0x{:X}", magnitude);
            } else {
              aCell.Json = JsonInteger(n);
            }
            break;
        }
      } else {
        aCell.Json = JsonInteger(n);
      }
      return;
    }
    case TVk::kBool: {
      if (bad) {
        aCell.Json = StructuredJson(c);
        aCell.Fails = true;
        return;
      }
      if (lenient) {
        switch (c.Below(3)) {
          case 0: {
            const std::int64_t n = c.OneIn(2) ? 0 : c.Range(-5, 5);
            aCell.Json = JsonInteger(n);
            aCell.Expected = TSqlValue::Int(n != 0 ? 1 : 0);
            break;
          }
          case 1: {
            const std::string s =
                c.Pick(std::vector<std::string>{"true", "TRUE", "True", "yes", "1", "false", ""});
            aCell.Json = "\"" + s + "\"";
            aCell.Expected = TSqlValue::Int(
                s.size() == 4 && (s[0] == 't' || s[0] == 'T') && (s[1] == 'r' || s[1] == 'R') ? 1
                                                                                              : 0);
            break;
          }
          default: {
            const double d = c.Pick(std::vector<double>{0.0, 0.5, -2.5, 1e-300});
            aCell.Json = NumberText(d);
            aCell.Expected = TSqlValue::Int(d != 0 ? 1 : 0);
            break;
          }
        }
        return;
      }
      const bool b = c.OneIn(2);
      aCell.Json = b ? "true" : "false";
      aCell.Expected = TSqlValue::Int(b ? 1 : 0);
      return;
    }
    case TVk::kFloat:
    case TVk::kSingle: {
      const bool single = aType.Kind == TVk::kSingle;
      if (bad) {
        aCell.Json = c.Pick(std::vector<std::string>{"\"abc\"", "\"1,5x\"", "\"\""});
        aCell.Fails = true;
        return;
      }
      if (lenient) {
        if (c.OneIn(2)) {
          const std::int64_t n = RandomInteger(c, kInt64Min, kInt64Max);
          aCell.Json = JsonInteger(n);
          const double d = static_cast<double>(n);
          aCell.Expected =
              TSqlValue::Float(single ? static_cast<double>(static_cast<float>(d)) : d);
        } else {
          const double d = static_cast<double>(c.Range(-100000, 100000)) / 4.0;
          aCell.Json = "\"" + NumberText(d) + "\"";
          aCell.Expected =
              TSqlValue::Float(single ? static_cast<double>(static_cast<float>(d)) : d);
        }
        return;
      }
      if (single) {
        const float f = RandomFloat(c);
        aCell.Json = FloatText(f);
        const double read = std::strtod(aCell.Json.c_str(), nullptr);
        aCell.Expected = TSqlValue::Float(static_cast<double>(static_cast<float>(read)));
      } else {
        const double d = RandomDouble(c, false);
        aCell.Json = NumberText(d);
        aCell.Expected = TSqlValue::Float(d);
      }
      return;
    }
    case TVk::kCurrency: {
      if (bad) {
        const double big = c.Pick(std::vector<double>{1e16, -1e16, 9.3e14, 1e300});
        aCell.Json = NumberText(big);
        aCell.Fails = true;
        return;
      }
      // Beyond 2^53 ten-thousandths a currency value no longer fits a
      // double's digits, and the kinds round it differently.
      const std::int64_t whole = aOptions.KindNeutral ? 900000000LL : 900000000000000LL;
      const TDecimal d =
          c.OneIn(8) ? TDecimal{c.Range(-whole, whole), 0} : RandomDecimal(c, 4, 99999999999LL);
      aCell.Json = d.Text();
      if (aCell.Json.find('.') == std::string::npos && c.OneIn(2)) aCell.Json += ".0";
      const double read = std::strtod(aCell.Json.c_str(), nullptr);
      // The number times 10000, rounded to the nearest integer; a currency
      // field gives its value as a double.
      const auto units = static_cast<std::int64_t>(std::nearbyint(read * 10000.0));
      aCell.Expected = TSqlValue::Float(static_cast<double>(units) / 10000.0);
      return;
    }
    case TVk::kBcd: {
      if (bad) {
        aCell.Json = c.Pick(std::vector<std::string>{"\"abc\"", "[]", "{}"});
        aCell.Fails = true;
        return;
      }
      const int places = std::min<int>(aSize, 4);
      const TDecimal d = RandomDecimal(c, places, 99999999999LL);
      aCell.Json = d.Text();
      aCell.Expected = TSqlValue::Text(d.Text());
      return;
    }
    case TVk::kDate: {
      if (bad) {
        aCell.Json = "\"" +
                     c.Pick(std::vector<std::string>{"2021-02-30", "2021-13-01", "2021-00-10",
                                                     "0000-01-01", "20x1-01-01", "", "hello"}) +
                     "\"";
        aCell.Fails = true;
        return;
      }
      TMoment t = RandomMoment(c, false, false);
      std::string iso = DateText(t);
      if (c.OneIn(4)) iso += "T12:34:56";  // the date's own characters are read
      aCell.Json = "\"" + iso + "\"";
      aCell.Expected = TSqlValue::Text(t.BoundText());
      return;
    }
    case TVk::kTime: {
      if (bad) {
        aCell.Json = "\"" +
                     c.Pick(std::vector<std::string>{"25:00:00", "12:60:00", "12:00:60", "ab:cd:ef",
                                                     "", "1:2:3"}) +
                     "\"";
        aCell.Fails = true;
        return;
      }
      TMoment t = RandomMoment(c, true, false);
      std::string iso = TimeText(t);
      if (c.OneIn(4)) iso += ".789";  // characters after the seconds are not read
      aCell.Json = "\"" + iso + "\"";
      TMoment bound;
      bound.Hour = t.Hour;
      bound.Minute = t.Minute;
      bound.Second = t.Second;
      aCell.Expected = TSqlValue::Text(bound.BoundText());
      return;
    }
    case TVk::kDateTime: {
      if (bad) {
        aCell.Json =
            "\"" +
            c.Pick(std::vector<std::string>{"2021-02-30T00:00:00", "2021-01-01T25:00:00",
                                            "2021-01-01T12:61:00", "garbage", "", "2021-1x-01"}) +
            "\"";
        aCell.Fails = true;
        return;
      }
      TMoment t = RandomMoment(c, true, true);
      aCell.Json = "\"" + DateTimeIso(c, t) + "\"";
      aCell.Expected = TSqlValue::Text(t.BoundText());
      return;
    }
    case TVk::kBlob: {
      if (bad) {
        aCell.Json =
            "\"" + c.Pick(std::vector<std::string>{"@@@@", "QUJD!A==", "*", "QQ=A"}) + "\"";
        aCell.Fails = true;
        return;
      }
      const std::string bytes = RandomBytes(c);
      aCell.Json = "\"" + text::Base64(bytes) + "\"";
      // No bytes read as null.
      aCell.Expected = bytes.empty() ? TSqlValue::Null() : TSqlValue::Blob(bytes);
      return;
    }
    default:  // the structure already fails
      aCell.Json = JsonInteger(1);
      return;
  }
}

// Fills aCell with a stream value for a column of type aType.
void StreamCell(TChoices& c, const TStreamType& aType, const TColumn& aColumn,
                const TGenOptions& aOptions, TCell& aCell) {
  if (c.Below(100) < 8) {
    aCell.Mode = TCell::TMode::kNull;
    aCell.Stream = TVariant{};
    aCell.Expected = TSqlValue::Null();
    return;
  }
  aCell.Mode = TCell::TMode::kGood;
  switch (aType.Kind) {
    case TVk::kBool: {
      const bool b = c.OneIn(2);
      aCell.Stream = b;
      aCell.Expected = TSqlValue::Int(b ? 1 : 0);
      return;
    }
    case TVk::kInt: {
      if (aType.Type == DT::dtUInt64 && aOptions.Unsigned64 && c.OneIn(6)) {
        const std::uint64_t big = c.Pick(
            std::vector<std::uint64_t>{std::numeric_limits<std::uint64_t>::max(),
                                       std::uint64_t{1} << 63, (std::uint64_t{1} << 63) + 12345});
        aCell.Stream = big;
        // Beyond INTEGER: the number as text, or a refusal.
        aCell.Expected = TSqlValue::Text(std::to_string(big));
        return;
      }
      const std::int64_t n = RandomInteger(c, aType.Min, aType.Max);
      switch (aType.Type) {
        case DT::dtSByte:
          aCell.Stream = static_cast<std::int8_t>(n);
          break;
        case DT::dtInt16:
          aCell.Stream = static_cast<std::int16_t>(n);
          break;
        case DT::dtInt32:
          aCell.Stream = static_cast<std::int32_t>(n);
          break;
        case DT::dtByte:
          aCell.Stream = static_cast<std::uint8_t>(n);
          break;
        case DT::dtUInt16:
          aCell.Stream = static_cast<std::uint16_t>(n);
          break;
        case DT::dtUInt32:
          aCell.Stream = static_cast<std::uint32_t>(n);
          break;
        case DT::dtUInt64:
          aCell.Stream = static_cast<std::uint64_t>(n);
          break;
        default:
          aCell.Stream = n;
          break;
      }
      aCell.Expected = TSqlValue::Int(n);
      return;
    }
    case TVk::kSingle: {
      float f = RandomFloat(c);
      if (c.OneIn(10) && !aOptions.KindNeutral) {
        f = c.Pick(std::vector<float>{std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN()});
      }
      aCell.Stream = f;
      aCell.Expected = TSqlValue::Float(static_cast<double>(f));
      return;
    }
    case TVk::kFloat: {
      const double d = RandomDouble(c, !aOptions.KindNeutral);
      aCell.Stream = d;
      aCell.Expected = TSqlValue::Float(d);
      return;
    }
    case TVk::kCurrency: {
      const std::int64_t units =
          c.OneIn(5) && !aOptions.KindNeutral
              ? c.Pick(std::vector<std::int64_t>{kInt64Min, kInt64Max, 0, -1, 1})
              : c.Range(-999999999999LL, 999999999999LL);
      aCell.Stream = memtable::TCurrency{units};
      // A currency field gives its value as a double.
      aCell.Expected = TSqlValue::Float(static_cast<double>(units) / 10000.0);
      return;
    }
    case TVk::kBcd: {
      const TDecimal d = RandomDecimal(c, std::min<int>(aColumn.Scale, 4), 999999999999LL);
      aCell.Stream = memtable::TBcdValue(MakeBcd(d));
      aCell.Expected = TSqlValue::Text(d.Text());
      return;
    }
    case TVk::kDate: {
      const TMoment t = RandomMoment(c, false, false);
      aCell.Stream = memtable::TDateTime{t.DateTime()};
      aCell.Expected = TSqlValue::Text(t.BoundText());
      return;
    }
    case TVk::kTime: {
      TMoment t = RandomMoment(c, true, true);
      TMoment time;
      time.Hour = t.Hour;
      time.Minute = t.Minute;
      time.Second = t.Second;
      time.Milli = t.Milli;
      aCell.Stream = memtable::TDateTime{time.DateTime()};
      aCell.Expected = TSqlValue::Text(time.BoundText());
      return;
    }
    case TVk::kDateTime: {
      const TMoment t = RandomMoment(c, true, true);
      if (aType.Type == DT::dtDateTimeStamp) {
        memtable::TSQLTimeStamp ts;
        ts.Year = static_cast<std::int16_t>(t.Year);
        ts.Month = static_cast<std::uint16_t>(t.Month);
        ts.Day = static_cast<std::uint16_t>(t.Day);
        ts.Hour = static_cast<std::uint16_t>(t.Hour);
        ts.Minute = static_cast<std::uint16_t>(t.Minute);
        ts.Second = static_cast<std::uint16_t>(t.Second);
        ts.Fractions = t.Milli;
        aCell.Stream = ts;
      } else {
        aCell.Stream = memtable::TDateTime{t.DateTime()};
      }
      aCell.Expected = TSqlValue::Text(t.BoundText());
      return;
    }
    case TVk::kText: {
      const TText value =
          RandomText(c, aType.Ansi, false, !aOptions.KindNeutral, aType.Sized ? aColumn.Size : -1);
      aCell.Stream = text::ToUtf8(value);
      aCell.Expected = TSqlValue::Text(text::ToUtf8(value));
      return;
    }
    case TVk::kBytes:
    case TVk::kBlob: {
      std::string bytes = RandomBytes(c);
      if (aType.Sized && bytes.size() > static_cast<std::size_t>(aColumn.Size)) {
        bytes.resize(static_cast<std::size_t>(aColumn.Size));
      }
      if (bytes.empty() && aType.Kind == TVk::kBytes && !aOptions.EmptyBytes) bytes = "\x01";
      aCell.Stream = memtable::TBytes(bytes.begin(), bytes.end());
      // A byte string keeps an empty value; a blob with no bytes is null.
      aCell.Expected =
          bytes.empty() && aType.Kind == TVk::kBlob ? TSqlValue::Null() : TSqlValue::Blob(bytes);
      return;
    }
    case TVk::kGuid: {
      std::string guid = "{";
      static const char kHex[] = "0123456789ABCDEF";
      for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) guid += '-';
        guid += kHex[c.Below(16)];
      }
      guid += '}';
      aCell.Stream = guid;
      aCell.Expected = TSqlValue::Text(guid);
      return;
    }
    default:
      aCell.Stream = TVariant{};
      aCell.Expected = TSqlValue::Null();
      return;
  }
}

// The column's value for a starting row: a good value of its kind, in the
// model's storage, or null.
TSqlValue StartValue(TChoices& c, const TCase& aCase, const TColumn& aColumn,
                     const TGenOptions& aOptions) {
  TCell cell;
  if (aCase.Binary) {
    StreamCell(c, kStreamTypes[aColumn.TypeIndex], aColumn, aOptions, cell);
  } else {
    JsonCell(c, kJsonTypes[aColumn.TypeIndex], aColumn.Size, false, false, cell, aOptions);
  }
  return cell.Expected;
}

}  // namespace tandemize::importfuzz
