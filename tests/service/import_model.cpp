// The import generator: names, types, values and rows, with the model of
// what each value must become in a SQLite table.

#include "service/import_model.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

#include <fmt/format.h>

#include "service/import_text.h"

namespace tandemize::importfuzz {

using memtable::TVariant;

// ---------------------------------------------------------------- choices

std::int64_t TChoices::Range(std::int64_t aLow, std::int64_t aHigh) {
  const auto span = static_cast<std::uint64_t>(aHigh) - static_cast<std::uint64_t>(aLow);
  if (span == std::numeric_limits<std::uint64_t>::max()) {
    return static_cast<std::int64_t>(Bits64());
  }
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(aLow) + Below(span + 1));
}

std::uint64_t TChoices::Bits64() {
  return (Below(std::uint64_t{1} << 32) << 32) | Below(std::uint64_t{1} << 32);
}

std::uint64_t TSeededChoices::Below(std::uint64_t aBound) {
  if (aBound <= 1) return 0;
  return std::uniform_int_distribution<std::uint64_t>(0, aBound - 1)(FEngine);
}

TByteChoices::TByteChoices(const std::uint8_t* aData, std::size_t aSize)
    : FData(aData), FSize(aSize) {
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (std::size_t i = 0; i < aSize; ++i) hash = (hash ^ aData[i]) * 1099511628211ULL;
  FRest.seed(hash);
}

std::uint64_t TByteChoices::Below(std::uint64_t aBound) {
  if (aBound <= 1) return 0;
  if (FPos >= FSize) return std::uniform_int_distribution<std::uint64_t>(0, aBound - 1)(FRest);
  std::uint64_t value = 0;
  for (std::uint64_t reach = 1; reach < aBound && reach != 0; reach <<= 8) {
    if (FPos >= FSize) break;
    value = (value << 8) | FData[FPos++];
    if (reach > (std::numeric_limits<std::uint64_t>::max() >> 8)) break;
  }
  return value % aBound;
}

// ---------------------------------------------------------------- options

namespace {

struct TOptionWord {
  const char* Word;
  bool TGenOptions::*Flag;
};
constexpr TOptionWord kOptionWords[] = {
    {"long", &TGenOptions::LongNames},         {"quoted", &TGenOptions::OddQuotedNames},
    {"accented", &TGenOptions::AccentedNames}, {"order", &TGenOptions::ConversionOrder},
    {"nul", &TGenOptions::NulInNames},         {"unsigned64", &TGenOptions::Unsigned64},
    {"autoinc", &TGenOptions::AutoIncMax},     {"json", &TGenOptions::JsonForm},
    {"binary", &TGenOptions::BinaryForm},
};

}  // namespace

void TGenOptions::Apply(std::string_view aList) {
  std::size_t start = 0;
  while (start <= aList.size()) {
    std::size_t end = aList.find(',', start);
    if (end == std::string_view::npos) end = aList.size();
    std::string_view word = aList.substr(start, end - start);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    start = end + 1;
    if (word.empty() || word == "all") continue;
    if (word == "none") {
      for (const TOptionWord& option : kOptionWords) {
        if (option.Flag != &TGenOptions::JsonForm && option.Flag != &TGenOptions::BinaryForm) {
          this->*option.Flag = false;
        }
      }
      continue;
    }
    bool on = true;
    if (word.front() == '-' || word.front() == '+') {
      on = word.front() == '+';
      word.remove_prefix(1);
    }
    const auto* found = std::find_if(std::begin(kOptionWords), std::end(kOptionWords),
                                     [&](const TOptionWord& o) { return word == o.Word; });
    if (found == std::end(kOptionWords)) {
      throw std::invalid_argument("unknown generator class: " + std::string(word));
    }
    this->*found->Flag = on;
  }
  if (!JsonForm && !BinaryForm) JsonForm = true;
}

std::string TGenOptions::Describe() const {
  std::string text;
  for (const TOptionWord& option : kOptionWords) {
    if (!text.empty()) text += ',';
    text += (this->*option.Flag ? "+" : "-");
    text += option.Word;
  }
  return text;
}

std::string_view KnownOpenFaultClasses() {
  // Names the service cannot take yet: long ones stop it, quoted ones with
  // comment or literal marks lose the row, accented ones in another letter
  // case are not found; a bad JSON value is reported after the database has
  // been used; NUL characters cut names and paths. An unsigned 64-bit value
  // above the signed range is written as a negative number; an
  // auto-increment field holding its largest value makes the next row fail.
  return "-long,-quoted,-accented,-order,-nul,-unsigned64,-autoinc";
}

// ---------------------------------------------------------------- values

TSqlValue TSqlValue::Int(std::int64_t aValue) {
  TSqlValue v;
  v.Kind = TKind::kInteger;
  v.Integer = aValue;
  return v;
}

TSqlValue TSqlValue::Float(double aValue) {
  // SQLite keeps no NaN: a NaN bound as a real is stored as NULL.
  if (std::isnan(aValue)) return Null();
  TSqlValue v;
  v.Kind = TKind::kReal;
  v.Real = aValue;
  return v;
}

TSqlValue TSqlValue::Text(std::string aValue) {
  TSqlValue v;
  v.Kind = TKind::kText;
  v.Bytes = std::move(aValue);
  return v;
}

TSqlValue TSqlValue::Blob(std::string aValue) {
  TSqlValue v;
  v.Kind = TKind::kBlob;
  v.Bytes = std::move(aValue);
  return v;
}

namespace {

std::uint64_t RealBits(double aValue) {
  std::uint64_t bits;
  std::memcpy(&bits, &aValue, sizeof bits);
  return bits;
}

}  // namespace

bool operator==(const TSqlValue& a, const TSqlValue& b) {
  if (a.Kind != b.Kind) return false;
  switch (a.Kind) {
    case TSqlValue::TKind::kNull:
      return true;
    case TSqlValue::TKind::kInteger:
      return a.Integer == b.Integer;
    case TSqlValue::TKind::kReal:
      return RealBits(a.Real) == RealBits(b.Real);
    default:
      return a.Bytes == b.Bytes;
  }
}

bool operator<(const TSqlValue& a, const TSqlValue& b) {
  if (a.Kind != b.Kind) return a.Kind < b.Kind;
  switch (a.Kind) {
    case TSqlValue::TKind::kNull:
      return false;
    case TSqlValue::TKind::kInteger:
      return a.Integer < b.Integer;
    case TSqlValue::TKind::kReal:
      return RealBits(a.Real) < RealBits(b.Real);
    default:
      return a.Bytes < b.Bytes;
  }
}

std::string TSqlValue::Describe() const {
  switch (Kind) {
    case TKind::kNull:
      return "NULL";
    case TKind::kInteger:
      return fmt::format("INTEGER {}", Integer);
    case TKind::kReal: {
      char buffer[64];
      const auto end = std::to_chars(buffer, buffer + sizeof buffer, Real).ptr;
      return "REAL " + std::string(buffer, end);
    }
    case TKind::kText:
      return "TEXT " + text::Quoted(Bytes);
    case TKind::kBlob:
      return "BLOB " + text::Hex(Bytes);
  }
  return "?";
}

// ---------------------------------------------------------------- names

namespace {

using text::AsciiCaseVariant;
using text::Fold;
using text::UnicodeCaseVariant;

const std::vector<std::string> kPlainNames = {
    "id", "codigo", "nome",  "preco",      "qtd",    "loja", "data_cad", "valor", "obs", "ativo",
    "x1", "_tmp",   "x$1",   "Cliente_ID", "descr",  "foto", "hora",     "peso",  "a",   "b",
    "c",  "NUM",    "saldo", "Email",      "cidade", "uf",   "cep",      "fone",  "sku", "lote"};
// Plain names by the identifier rule that SQLite reads otherwise ("$" starts
// a parameter, "#" is no name character): the statements fail in SQLite.
const std::vector<std::string> kSqliteOddPlainNames = {"$sys", "#n", "t$x#y"};
const std::vector<std::string> kAccentedNames = {
    "código", "descrição", "preço",  "ação", "Ñandú",  "número", "endereço", "situação",
    "öl",     "Ærø",       "façade", "über", "Łódź",   "ŝati",   "őz",       "Ĳssel",
    "émile",  "ÿes",       "crème",  "Øre",  "ĉapelo", "ŧest",   "ǉubav",    "ÀÉÎÕÜ"};
const std::vector<std::string> kQuotedSafeNames = {"\"Nome Completo\"", "\"x.y\"",   "\"select\"",
                                                   "\"a b c\"",         "\"Order\"", "\"nº\"",
                                                   "\"50%\"",           "\"a+b\"",   "\"(x)\""};
const std::vector<std::string> kQuotedOddNames = {
    "\"x--y\"", "\"x/*y\"", "\"it's\"",     "\"a :b\"",  "\"a;b\"",     "\"q*/r\"",
    "\"a::b\"", "\"c:d\"",  "\"e :f --g\"", "\"h'i'j\"", "\"k -- :l\"", "\"/*m*/\"",
    "[x y]",    "[z]",      "`w`",          "`a--b`",    "[it's]",      "`c :d`"};
const std::vector<std::string> kReservedNames = {"select",  "order",  "group",   "from",   "where",
                                                 "table",   "values", "key",     "index",  "limit",
                                                 "default", "check",  "primary", "insert", "set"};
const std::vector<std::string> kRefusedNames = {"a-b", "1abc", "a b",  "x;y", "\"a\"b\"", "t)",
                                                "a.",  ".a",   "a..b", "c'd", "\"e\nf\""};
const std::vector<std::string> kNulNames = {std::string("t\0; drop", 8), std::string("id\0x", 4),
                                            std::string("\"a\0b\"", 5)};
const std::vector<std::string> kTableNames = {"clientes", "Pedidos", "t_itens", "produtos",
                                              "Vendas2",  "estoque", "T",       "log$"};
const std::vector<std::string> kAccentedTableNames = {"preços", "Ações", "órgãos", "Ŧabela"};
const std::vector<std::string> kOddTableNames = {"\"x--y\"", "\"x/*y\"", "\"it's\"", "\"a :nome\"",
                                                 "[tab x]",  "`tab`",    "\"u;v\""};

enum class TNameSource : std::uint8_t {
  kPlain,
  kAccented,
  kQuotedSafe,
  kQuotedOdd,
  kReserved,
  kRefused,
  kNul,
  kLong,
  kQualified,
  kSynthetic
};

// The name in a statement without its quotes, as its marker reads it.
std::string InnerName(const std::string& aName) {
  if (aName.size() >= 2) {
    const char open = aName.front(), close = aName.back();
    if ((open == '"' && close == '"') || (open == '[' && close == ']') ||
        (open == '`' && close == '`')) {
      return aName.substr(1, aName.size() - 2);
    }
  }
  return aName;
}

std::string LongName(TChoices& c, const TGenOptions& aOptions) {
  const std::int64_t length = c.Range(200, 300);
  const bool accented = aOptions.AccentedNames && c.OneIn(3);
  const bool quoted = aOptions.OddQuotedNames ? c.OneIn(3) : c.OneIn(5);
  std::string name = "n";
  static const char* kLetters[] = {"a", "b", "c", "x", "_", "1", "ç", "ã", "é", "Ő", "Z"};
  for (std::int64_t i = 1; i < length; ++i) {
    const int pick = static_cast<int>(c.Below(accented ? 11 : 7));
    if (quoted && c.OneIn(12)) {
      name += ' ';
    } else {
      name += kLetters[pick];
    }
  }
  if (quoted) name = "\"" + name + "\"";
  return name;
}

std::string PickName(TChoices& c, const TGenOptions& aOptions, TNameSource& aSource) {
  for (;;) {
    switch (c.Below(20)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
      case 6:
      case 7:
        aSource = TNameSource::kPlain;
        return c.Pick(kPlainNames);
      case 8:
      case 9:
      case 10:
        if (!aOptions.AccentedNames) continue;
        aSource = TNameSource::kAccented;
        return c.Pick(kAccentedNames);
      case 11:
        aSource = TNameSource::kQuotedSafe;
        return c.Pick(kQuotedSafeNames);
      case 12:
      case 13:
        if (!aOptions.OddQuotedNames) continue;
        aSource = TNameSource::kQuotedOdd;
        return c.Pick(kQuotedOddNames);
      case 14:
        if (!c.OneIn(6)) continue;
        if (c.OneIn(3)) {
          aSource = TNameSource::kPlain;
          return c.Pick(kSqliteOddPlainNames);
        }
        aSource = TNameSource::kReserved;
        return c.Pick(kReservedNames);
      case 15:
        if (!c.OneIn(6)) continue;
        aSource = TNameSource::kRefused;
        return c.Pick(kRefusedNames);
      case 16:
        if (!aOptions.NulInNames || !c.OneIn(4)) continue;
        aSource = TNameSource::kNul;
        return c.Pick(kNulNames);
      case 17:
        if (!aOptions.LongNames || !c.OneIn(2)) continue;
        aSource = TNameSource::kLong;
        return LongName(c, aOptions);
      default:
        aSource = TNameSource::kPlain;
        return c.Pick(kPlainNames) + std::to_string(c.Below(100));
    }
  }
}

// A quoted or bracketed name keeps its quotes in the variant.
std::string DbSpelling(TChoices& c, const std::string& aName, TNameSource aSource) {
  std::string name = AsciiCaseVariant(c, aName);
  switch (aSource) {
    case TNameSource::kPlain:
    case TNameSource::kAccented:
    case TNameSource::kLong:
    case TNameSource::kSynthetic:
      // SQLite reads "$" as the start of a parameter and refuses "#".
      if (name.front() != '"' && (c.OneIn(6) || name.find_first_of("$#") != std::string::npos)) {
        name = "\"" + name + "\"";
      }
      return name;
    case TNameSource::kReserved:
      return "\"" + name + "\"";
    default:
      return name;
  }
}

// ---------------------------------------------------------------- types

enum class TVk : std::uint8_t {
  kText,
  kInt,
  kBool,
  kFloat,
  kSingle,
  kCurrency,
  kBcd,
  kDate,
  kTime,
  kDateTime,
  kBlob,
  kGuid,
  kBytes,  // stream byte strings: empty stays an empty blob
  kUnsupported,
  kNoClass,
  kUnknown
};

enum class TSizeRule : std::uint8_t {
  kZero,      // must be 0
  kAny,       // anything
  kCut,       // >= 0, text cut to it
  kRequired,  // > 0, text cut to it
  kBcd,       // 0..32
  kFmtBcd,    // 0..64
};

struct TJsonType {
  const char* Name;
  TVk Kind;
  TSizeRule Size;
  std::int64_t Min = 0, Max = 0;
};

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

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
    {"ftWord", TVk::kUnsupported, TSizeRule::kAny},
    {"ftByte", TVk::kUnsupported, TSizeRule::kAny},
    {"ftBytes", TVk::kUnsupported, TSizeRule::kAny},
    {"ftVarBytes", TVk::kUnsupported, TSizeRule::kAny},
    {"ftGuid", TVk::kUnsupported, TSizeRule::kAny},
    {"ftVariant", TVk::kUnsupported, TSizeRule::kAny},
    {"ftTimeStampOffset", TVk::kUnsupported, TSizeRule::kAny},
    // Types without a field class, and names of no type.
    {"ftStream", TVk::kNoClass, TSizeRule::kAny},
    {"ftUnknown", TVk::kNoClass, TSizeRule::kAny},
    {"ftCursor", TVk::kNoClass, TSizeRule::kAny},
    {"ftObject", TVk::kNoClass, TSizeRule::kAny},
    {"ftNothing", TVk::kUnknown, TSizeRule::kAny},
    {"Integer", TVk::kUnknown, TSizeRule::kAny},
};
constexpr std::size_t kJsonGoodTypes = 33;  // the entries before ftWord

struct TStreamType {
  memtable::TColumnDataType Type;
  TVk Kind;
  std::int64_t Min = 0, Max = 0;
  bool Ansi = false;   // text in Windows-1252
  bool Sized = false;  // the column has a size
};

using DT = memtable::TColumnDataType;
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

TVk KindOf(const TCase& aCase, const TColumn& aColumn) {
  return aCase.Binary ? kStreamTypes[aColumn.TypeIndex].Kind : kJsonTypes[aColumn.TypeIndex].Kind;
}

// Declared types of the target table's column for a kind; decimals always
// get a REAL affinity, so the decimal text the service binds is read as a
// number whatever its number of places.
std::string SqlTypeFor(TChoices& c, TVk aKind, std::int32_t aSize) {
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
TText RandomText(TChoices& c, bool aAnsi, bool aLoneSurrogates, std::int64_t aMaxUnits = -1) {
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
      value += c.Pick(pool);
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
      const TText value = RandomText(c, false, true);
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
        if ((n == 0 || n == 1) && c.OneIn(2)) {
          aCell.Json = n == 1 ? "true" : "false";
        } else {
          aCell.Json = "\"" + std::to_string(n) + "\"";
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
      const TDecimal d = c.OneIn(8) ? TDecimal{c.Range(-900000000000000LL, 900000000000000LL), 0}
                                    : RandomDecimal(c, 4, 99999999999LL);
      aCell.Json = d.Text();
      if (aCell.Json.find('.') == std::string::npos && c.OneIn(2)) aCell.Json += ".0";
      const double read = std::strtod(aCell.Json.c_str(), nullptr);
      // The number times 10000, rounded to the nearest integer.
      const auto units = static_cast<std::int64_t>(std::nearbyint(read * 10000.0));
      aCell.Expected = TSqlValue::Text(TDecimal{units, 4}.Text());
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

std::string DecimalText(std::int64_t aUnits, int aPlaces) {
  return TDecimal{aUnits, aPlaces}.Text();
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
      if (c.OneIn(10)) {
        f = c.Pick(std::vector<float>{std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN()});
      }
      aCell.Stream = f;
      aCell.Expected = TSqlValue::Float(static_cast<double>(f));
      return;
    }
    case TVk::kFloat: {
      const double d = RandomDouble(c, true);
      aCell.Stream = d;
      aCell.Expected = TSqlValue::Float(d);
      return;
    }
    case TVk::kCurrency: {
      const std::int64_t units =
          c.OneIn(5) ? c.Pick(std::vector<std::int64_t>{kInt64Min, kInt64Max, 0, -1, 1})
                     : c.Range(-999999999999LL, 999999999999LL);
      aCell.Stream = memtable::TCurrency{units};
      aCell.Expected = TSqlValue::Text(DecimalText(units, 4));
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
      const TText value = RandomText(c, aType.Ansi, false, aType.Sized ? aColumn.Size : -1);
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

}  // namespace

// ---------------------------------------------------------------- the case

memtable::TColumnDataType StreamColumnType(int aTypeIndex) {
  return kStreamTypes[static_cast<std::size_t>(aTypeIndex)].Type;
}

std::string TCase::CreateTableSql() const {
  std::string columns;
  for (const int index : DbOrder) {
    if (!columns.empty()) columns += ", ";
    if (index >= 0) {
      const TColumn& column = Columns[static_cast<std::size_t>(index)];
      columns += column.DbName;
      if (!column.SqlType.empty()) columns += " " + column.SqlType;
      if (column.NotNull) columns += " NOT NULL";
    } else {
      columns += ExtraDbColumns[static_cast<std::size_t>(-index - 1)].Definition;
    }
  }
  if (!KeyConstraint.empty()) columns += ", " + KeyConstraint;
  return fmt::format("CREATE TABLE {} ({})", DbTableName, columns);
}

namespace {

// Fills the rows of aCase; aKeyDomains holds the key values rows draw from.
void GenerateRows(TChoices& c, const TGenOptions& aOptions, TCase& aCase,
                  const std::vector<std::vector<TCell>>& aKeyDomains, bool aAllowBad, bool aBig) {
  const std::int64_t count = aBig ? c.Range(129, 300) : c.Range(1, 8);
  const std::size_t badRow =
      aAllowBad ? static_cast<std::size_t>(c.Below(static_cast<std::uint64_t>(count))) : SIZE_MAX;
  for (std::int64_t r = 0; r < count; ++r) {
    TRow row;
    const bool allowBad =
        static_cast<std::size_t>(r) == badRow || (aAllowBad && !aBig && c.OneIn(4));
    for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
      const TColumn& column = aCase.Columns[i];
      TCell cell;
      if (!aKeyDomains[i].empty() && c.Below(10) < 8) {
        cell = c.Pick(aKeyDomains[i]);
      } else if (aCase.Binary) {
        StreamCell(c, kStreamTypes[column.TypeIndex], column, aOptions, cell);
      } else {
        JsonCell(c, kJsonTypes[column.TypeIndex], column.Size, allowBad, true, cell, aOptions);
      }
      row.Cells.push_back(std::move(cell));
    }
    if (aCase.Binary) {
      row.State = static_cast<int>(c.Below(10) < 6 ? 0 : c.Below(4));
      if (row.State == 2 || row.State == 3) {
        for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
          TCell old;
          StreamCell(c, kStreamTypes[aCase.Columns[i].TypeIndex], aCase.Columns[i], aOptions, old);
          row.Original.push_back(std::move(old));
        }
      }
    } else {
      if (aOptions.ConversionOrder && !aBig && c.OneIn(60)) {
        row.NotAnObject = c.OneIn(2) ? "7" : "\"row\"";
      }
      row.Nested = c.OneIn(20);
    }
    aCase.Rows.push_back(std::move(row));
  }
}

// JSON member names of the row cells: an ASCII case variant of the field's
// name (the member lookup folds ASCII letters only), sometimes repeated.
void NameMembers(TChoices& c, TCase& aCase) {
  if (aCase.Binary) return;
  for (TRow& row : aCase.Rows) {
    for (std::size_t i = 0; i < row.Cells.size(); ++i) {
      TCell& cell = row.Cells[i];
      cell.MemberName = AsciiCaseVariant(c, aCase.Columns[i].FieldName);
      if (cell.Mode != TCell::TMode::kMissing && c.OneIn(40)) {
        cell.Extra.push_back({AsciiCaseVariant(c, aCase.Columns[i].FieldName), "\"later\""});
      }
    }
  }
}

}  // namespace

TCase GenerateCase(TChoices& c, const TGenOptions& aOptions) {
  TCase aCase;
  aCase.Binary = aOptions.BinaryForm && (!aOptions.JsonForm || c.OneIn(3));
  aCase.CheckConversionOrder = aOptions.ConversionOrder;
  const bool big = c.Below(100) < aOptions.BigCasePercent;

  // Columns with names unique under case folding.
  const std::int64_t columnCount = big ? c.Range(1, 4) : c.Range(1, 12);
  std::set<std::string> folded;
  const std::int64_t badColumn = !aCase.Binary && c.OneIn(12) ? c.Range(0, columnCount - 1) : -1;
  for (std::int64_t i = 0; i < columnCount; ++i) {
    TColumn column;
    TNameSource source = TNameSource::kPlain;
    std::string name;
    for (int attempt = 0; attempt < 8; ++attempt) {
      name = PickName(c, aOptions, source);
      if (!folded.count(Fold(InnerName(name)))) break;
      name.clear();
    }
    if (name.empty()) {
      source = TNameSource::kSynthetic;
      name = fmt::format("col{}", i);
    }
    folded.insert(Fold(InnerName(name)));

    column.EnvelopeName = source == TNameSource::kAccented || source == TNameSource::kLong
                              ? UnicodeCaseVariant(c, name, aOptions.AccentedNames)
                              : AsciiCaseVariant(c, name);
    column.DbName = DbSpelling(c, column.EnvelopeName, source);
    if (source == TNameSource::kRefused || source == TNameSource::kNul) {
      column.DbName = fmt::format("\"refused{}\"", i);
    }
    column.FieldName =
        UnicodeCaseVariant(c, InnerName(column.EnvelopeName), aOptions.AccentedNames);

    if (aCase.Binary) {
      column.TypeIndex = static_cast<int>(c.Below(kStreamTypes.size()));
      const TStreamType& type = kStreamTypes[column.TypeIndex];
      if (type.Sized)
        column.Size = static_cast<std::int32_t>(c.OneIn(8) ? c.Range(1, 5000) : c.Range(1, 60));
      if (type.Kind == TVk::kBcd) {
        column.Scale = static_cast<std::int32_t>(c.Range(0, 4));
        column.Precision = 18;
      }
    } else {
      // One column of a bad structure has a type rows cannot take or a size
      // its type does not allow.
      const bool bad = i == badColumn;
      const bool badType = bad && c.OneIn(2);
      column.TypeIndex =
          static_cast<int>(badType ? kJsonGoodTypes + c.Below(kJsonTypes.size() - kJsonGoodTypes)
                                   : c.Below(kJsonGoodTypes));
      const TJsonType& type = kJsonTypes[column.TypeIndex];
      column.TypeName = c.OneIn(5) ? AsciiCaseVariant(c, type.Name) : type.Name;
      const bool badSize = bad && !badType;
      switch (type.Size) {
        case TSizeRule::kZero:
          column.Size = badSize ? static_cast<std::int32_t>(c.Range(1, 8)) : 0;
          break;
        case TSizeRule::kRequired:
        case TSizeRule::kCut:
          column.Size = static_cast<std::int32_t>(
              badSize       ? c.Range(-2, -1)
              : c.OneIn(10) ? c.Range(1000, 100000)
                            : c.Range(type.Size == TSizeRule::kCut ? 0 : 1, 40));
          break;
        case TSizeRule::kBcd:
        case TSizeRule::kFmtBcd:
          column.Size = static_cast<std::int32_t>(badSize ? c.Range(65, 99) : c.Range(0, 8));
          break;
        case TSizeRule::kAny:
          column.Size = c.OneIn(4) ? static_cast<std::int32_t>(c.Range(0, 100)) : 0;
          break;
      }
    }
    column.SqlType = SqlTypeFor(c, KindOf(aCase, column), column.Size);
    column.InTable = !c.OneIn(60);
    aCase.Columns.push_back(std::move(column));
  }

  // Keys and fields as the envelope names them.
  std::vector<int> order(aCase.Columns.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[c.Below(i)]);
  const std::size_t keyCount =
      c.OneIn(40) ? 0
                  : static_cast<std::size_t>(std::min<std::int64_t>(c.Range(1, 3), columnCount));
  std::vector<bool> isKey(aCase.Columns.size(), false);
  for (std::size_t k = 0; k < keyCount; ++k) {
    const int index = order[k];
    isKey[static_cast<std::size_t>(index)] = true;
    aCase.Pks.push_back(c.OneIn(4) ? AsciiCaseVariant(c, aCase.Columns[index].EnvelopeName)
                                   : aCase.Columns[index].EnvelopeName);
    aCase.PkColumns.push_back(index);
  }
  for (std::size_t k = keyCount; k < order.size(); ++k) {
    if (c.OneIn(8)) continue;  // a column the import leaves alone
    const int index = order[k];
    aCase.Fields.push_back(aCase.Columns[index].EnvelopeName);
    aCase.FieldColumns.push_back(index);
  }
  if (keyCount > 0 && c.OneIn(30)) {  // a key listed as a field too
    aCase.Fields.push_back(aCase.Pks.front());
    aCase.FieldColumns.push_back(aCase.PkColumns.front());
  }
  if (c.OneIn(40)) {  // a name no column has
    aCase.Fields.push_back("nao_existe");
    aCase.FieldColumns.push_back(-1);
  }

  // The target table.
  TNameSource tableSource = TNameSource::kPlain;
  switch (c.Below(12)) {
    case 0:
      if (aOptions.AccentedNames) {
        aCase.TableName = c.Pick(kAccentedTableNames);
        tableSource = TNameSource::kAccented;
        break;
      }
      [[fallthrough]];
    case 1:
      if (aOptions.OddQuotedNames) {
        aCase.TableName = c.Pick(kOddTableNames);
        tableSource = TNameSource::kQuotedOdd;
        break;
      }
      [[fallthrough]];
    case 2:
      if (aOptions.LongNames && c.OneIn(3)) {
        aCase.TableName = LongName(c, aOptions);
        tableSource = TNameSource::kLong;
        break;
      }
      [[fallthrough]];
    case 3:
      if (c.OneIn(3)) {
        aCase.TableName = "\"Minha Tabela\"";
        tableSource = TNameSource::kQuotedSafe;
        break;
      }
      if (aOptions.NulInNames && c.OneIn(3)) {
        aCase.TableName = std::string("t\0; drop", 8);
        tableSource = TNameSource::kNul;
        break;
      }
      if (c.OneIn(3)) {
        aCase.TableName = "main." + c.Pick(kTableNames);
        tableSource = TNameSource::kQualified;
        break;
      }
      [[fallthrough]];
    default:
      aCase.TableName = AsciiCaseVariant(c, c.Pick(kTableNames));
      break;
  }
  aCase.DbTableName =
      tableSource == TNameSource::kNul ? "t" : DbSpelling(c, aCase.TableName, tableSource);
  aCase.TableExists = !c.OneIn(40);
  aCase.DatabaseExists = !c.OneIn(60);
  if (aOptions.NulInNames && c.OneIn(60)) aCase.DatabaseSuffix = std::string("\0.other", 7);
  if (aCase.Binary) aCase.StreamVersion = c.OneIn(4) ? static_cast<int>(c.Range(4, 15)) : -1;
  aCase.UpperMembers = c.OneIn(10);
  aCase.EscapeNames = c.OneIn(4);

  // The table's column order, its extra columns and its key constraint.
  for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
    if (aCase.Columns[i].InTable) aCase.DbOrder.push_back(static_cast<int>(i));
  }
  const std::int64_t extras = c.OneIn(3) ? c.Range(1, 2) : 0;
  for (std::int64_t e = 0; e < extras; ++e) {
    const std::string definition = c.Pick(std::vector<std::string>{
        "TEXT", "INTEGER DEFAULT 7", "TEXT NOT NULL DEFAULT 'x'", "REAL", "INTEGER NOT NULL"});
    const std::string name = fmt::format("extra_{}", e);
    aCase.ExtraDbColumns.push_back({name, name + " " + definition});
    aCase.DbOrder.push_back(static_cast<int>(-e - 1));
  }
  for (std::size_t i = aCase.DbOrder.size(); i > 1; --i) {
    std::swap(aCase.DbOrder[i - 1], aCase.DbOrder[c.Below(i)]);
  }
  if (!aCase.PkColumns.empty()) {
    bool allInTable = true;
    std::string keyList;
    for (const int index : aCase.PkColumns) {
      if (!aCase.Columns[index].InTable) allInTable = false;
      if (!keyList.empty()) keyList += ", ";
      keyList += aCase.Columns[index].DbName;
    }
    if (allInTable) {
      switch (c.Below(4)) {
        case 0:
          aCase.KeyConstraint = "PRIMARY KEY (" + keyList + ")";
          break;
        case 1:
          aCase.KeyConstraint = "UNIQUE (" + keyList + ")";
          break;
        case 2:
          if (aCase.PkColumns.size() == 1 &&
              KindOf(aCase, aCase.Columns[aCase.PkColumns[0]]) == TVk::kInt) {
            aCase.Columns[aCase.PkColumns[0]].SqlType = "INTEGER PRIMARY KEY";
          }
          break;
        default:
          break;
      }
    }
  }
  for (TColumn& column : aCase.Columns) {
    if (!isKey[static_cast<std::size_t>(&column - aCase.Columns.data())] && c.OneIn(15)) {
      column.NotNull = true;
    }
  }

  // Key values shared by the starting rows and the request, so that keys
  // repeat within a request and meet stored keys.
  std::vector<std::vector<TCell>> keyDomains(aCase.Columns.size());
  for (const int index : aCase.PkColumns) {
    const TColumn& column = aCase.Columns[index];
    const std::int64_t size = c.Range(1, 4);
    for (std::int64_t v = 0; v < size; ++v) {
      TCell cell;
      if (aCase.Binary) {
        StreamCell(c, kStreamTypes[column.TypeIndex], column, aOptions, cell);
      } else {
        JsonCell(c, kJsonTypes[column.TypeIndex], column.Size, false, false, cell, aOptions);
      }
      keyDomains[static_cast<std::size_t>(index)].push_back(std::move(cell));
    }
  }

  // Starting rows, in the table's column order.
  const std::int64_t startCount = aCase.TableExists ? c.Range(0, 5) : 0;
  for (std::int64_t r = 0; r < startCount; ++r) {
    TSqlRow row;
    for (const int index : aCase.DbOrder) {
      if (index < 0) {
        row.push_back(c.OneIn(2) ? TSqlValue::Null() : TSqlValue::Int(c.Range(-5, 5)));
      } else if (!keyDomains[static_cast<std::size_t>(index)].empty()) {
        row.push_back(c.Pick(keyDomains[static_cast<std::size_t>(index)]).Expected);
      } else {
        row.push_back(StartValue(c, aCase, aCase.Columns[index], aOptions));
      }
    }
    aCase.StartRows.push_back(std::move(row));
  }

  // The request's rows. A bad value only where its failure cannot be
  // mistaken for the database's, unless the conversion order is checked.
  bool allowBad = !aCase.Binary && c.OneIn(6);
  if (allowBad && !aOptions.ConversionOrder &&
      (!aCase.TableExists || !aCase.DatabaseExists || big)) {
    allowBad = false;
  }
  GenerateRows(c, aOptions, aCase, keyDomains, allowBad, big);
  NameMembers(c, aCase);
  // A rowid key gives a NULL the next rowid, or a random one once the
  // largest rowid is taken: no such key where values come near it.
  for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
    TColumn& column = aCase.Columns[i];
    if (column.SqlType != "INTEGER PRIMARY KEY") continue;
    auto nearTop = [](const TSqlValue& v) {
      return v.Kind == TSqlValue::TKind::kInteger && v.Integer > (kInt64Max >> 1);
    };
    bool high = false;
    for (const TRow& row : aCase.Rows) high = high || nearTop(row.Cells[i].Expected);
    for (std::size_t d = 0; d < aCase.DbOrder.size(); ++d) {
      if (aCase.DbOrder[d] != static_cast<int>(i)) continue;
      for (const TSqlRow& row : aCase.StartRows) high = high || nearTop(row[d]);
    }
    if (high) column.SqlType = "INTEGER";
  }
  Expectation(aCase);
  return aCase;
}

// ---------------------------------------------------------------- expectation

namespace {

enum class TNameClass : std::uint8_t { kPlain, kQuoted, kOtherQuote, kRefused };

bool IsLetter(char32_t cp) {
  return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || cp == '_' || cp == '$' ||
         cp == '#' || (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7);
}

TNameClass Classify(const std::string& aName) {
  if (aName.find('\0') != std::string::npos) return TNameClass::kRefused;
  const std::u32string cps = text::CodePoints(aName);
  // Plain, optionally qualified with ".".
  bool plain = !cps.empty();
  bool partStart = true;
  for (const char32_t cp : cps) {
    if (cp == '.') {
      if (partStart) plain = false;
      partStart = true;
      continue;
    }
    if (partStart ? !IsLetter(cp) : !(IsLetter(cp) || (cp >= '0' && cp <= '9'))) plain = false;
    partStart = false;
  }
  if (plain && !partStart) return TNameClass::kPlain;
  if (cps.size() >= 3) {
    const char32_t open = cps.front(), close = cps.back();
    const bool quoted = (open == '"' && close == '"') || (open == '[' && close == ']') ||
                        (open == '`' && close == '`');
    if (quoted) {
      for (std::size_t i = 1; i + 1 < cps.size(); ++i) {
        if (cps[i] == close || cps[i] < 0x20 || cps[i] == 0x7F) return TNameClass::kRefused;
      }
      return open == '"' ? TNameClass::kQuoted : TNameClass::kOtherQuote;
    }
  }
  return TNameClass::kRefused;
}

// Keeps 0-9, A-Z, a-z and "_" (the table's component names of its fields).
std::string ValidIdent(const std::string& aName) {
  std::string out;
  for (const char ch : aName) {
    if ((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
        ch == '_') {
      out += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
  }
  if (out.empty()) return "_";
  if (out.front() >= '0' && out.front() <= '9') out.insert(out.begin(), '_');
  return out;
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
  }
  return false;
}

}  // namespace

void Expectation(TCase& aCase) {
  aCase.Expect = TExpect::kOracle;
  aCase.Reasons.clear();
  aCase.ExpectedMessage.clear();
  aCase.FailsBeforeDatabase = false;
  bool fails = false, either = false;
  bool conversionFails = false;
  int notObjectRows = 0, otherFailures = 0;
  auto fail = [&](std::string aReason) {
    aCase.Reasons.push_back("fails: " + std::move(aReason));
    fails = true;
  };
  auto mayFail = [&](std::string aReason) {
    aCase.Reasons.push_back("may be refused: " + std::move(aReason));
    either = true;
  };

  // Names written into statements.
  switch (Classify(aCase.TableName)) {
    case TNameClass::kRefused:
      fail("table name refused");
      ++otherFailures;
      break;
    case TNameClass::kOtherQuote:
      mayFail("table name quoted with a form SQLite's markers may not know");
      break;
    default:
      if (text::CodePoints(InnerName(aCase.TableName)).size() > 255) {
        mayFail("table name longer than 255 characters");
      }
      break;
  }
  std::vector<std::string> names = aCase.Pks;
  names.insert(names.end(), aCase.Fields.begin(), aCase.Fields.end());
  for (const std::string& name : names) {
    switch (Classify(name)) {
      case TNameClass::kRefused:
        fail("column name refused: " + text::Quoted(name));
        ++otherFailures;
        break;
      case TNameClass::kOtherQuote:
        mayFail("column name quoted with a form SQLite's markers may not know: " + name);
        break;
      default:
        if (text::CodePoints(InnerName(name)).size() > 255) {
          fail("parameter name longer than 255 characters");
          ++otherFailures;
        }
        break;
    }
  }
  for (const int index : aCase.PkColumns) {
    if (index < 0) {
      fail("a key the rows do not have");
      ++otherFailures;
    }
  }
  for (const int index : aCase.FieldColumns) {
    if (index < 0) {
      fail("a field the rows do not have");
      ++otherFailures;
    }
  }
  if (!aCase.DatabaseSuffix.empty()) {
    fail("database path holds a NUL");
    ++otherFailures;
  }

  // The structure (JSON form).
  bool anyShown = false;
  for (const TRow& row : aCase.Rows) anyShown = anyShown || row.Shown();
  if (!aCase.Binary) {
    std::set<std::string> seen, idents;
    for (const TColumn& column : aCase.Columns) {
      const TJsonType& type = kJsonTypes[column.TypeIndex];
      if (type.Kind == TVk::kUnknown || type.Kind == TVk::kNoClass) {
        fail("structure type " + column.TypeName);
        conversionFails = true;
        ++otherFailures;
      } else if (!SizeValid(type.Size, column.Size)) {
        fail(fmt::format("structure size {} for {}", column.Size, type.Name));
        conversionFails = true;
        ++otherFailures;
      } else if (type.Kind == TVk::kUnsupported && !aCase.Rows.empty()) {
        fail(std::string("rows cannot be written into ") + type.Name);
        conversionFails = true;
        ++otherFailures;
      }
      if (!seen.insert(Fold(column.FieldName)).second) {
        fail("duplicate field name " + column.FieldName);
        conversionFails = true;
        ++otherFailures;
      }
      if (!idents.insert(ValidIdent(column.FieldName)).second) {
        fail("field names with the same component name " + ValidIdent(column.FieldName));
        conversionFails = true;
        ++otherFailures;
      }
    }
    for (const TRow& row : aCase.Rows) {
      if (!row.NotAnObject.empty()) {
        fail("a data element that is not an object");
        conversionFails = true;
        ++notObjectRows;
        continue;
      }
      for (std::size_t i = 0; i < row.Cells.size(); ++i) {
        if (row.Cells[i].Fails) {
          fail(fmt::format("bad value {} for {}", row.Cells[i].Json.substr(0, 40),
                           kJsonTypes[aCase.Columns[i].TypeIndex].Name));
          conversionFails = true;
          ++otherFailures;
        }
      }
    }
  } else {
    for (const TRow& row : aCase.Rows) {
      if (!row.Shown()) continue;
      for (const TCell& cell : row.Cells) {
        if (std::holds_alternative<std::uint64_t>(cell.Stream) &&
            std::get<std::uint64_t>(cell.Stream) > static_cast<std::uint64_t>(kInt64Max)) {
          mayFail("an unsigned 64-bit value above the signed range");
        }
      }
    }
  }
  if (!anyShown) {
    fail("no rows to import");
    ++otherFailures;
  }

  aCase.FailsBeforeDatabase = conversionFails;
  if (fails) {
    aCase.Expect = TExpect::kFailure;
  } else if (either) {
    aCase.Expect = TExpect::kEither;
  }
  if (aCase.CheckConversionOrder && notObjectRows > 0 && otherFailures == 0) {
    for (const TRow& row : aCase.Rows) {
      if (row.NotAnObject.empty()) continue;
      aCase.ExpectedMessage =
          fmt::format("<TJsonValue>\"data\" value type error: {} to jvObject",
                      row.NotAnObject.front() == '"' ? "jvString" : "jvInteger");
      break;
    }
  }
}

}  // namespace tandemize::importfuzz
