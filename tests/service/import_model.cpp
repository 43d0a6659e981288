// The import generator: names, types, values and rows, with the model of
// what each value must become in a SQLite table.

#include "service/import_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

#include <fmt/format.h>

#include "service/import_text.h"
#include "service/import_values.h"

namespace tandemize::importfuzz {

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
    {"long", &TGenOptions::LongNames},
    {"quoted", &TGenOptions::OddQuotedNames},
    {"accented", &TGenOptions::AccentedNames},
    {"order", &TGenOptions::ConversionOrder},
    {"nul", &TGenOptions::NulInNames},
    {"unsigned64", &TGenOptions::Unsigned64},
    {"autoinc", &TGenOptions::AutoIncMax},
    {"emptybytes", &TGenOptions::EmptyBytes},
    {"oldalike", &TGenOptions::OldStreamAlikeNames},
    {"json", &TGenOptions::JsonForm},
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
  // None: every class is generated.
  return "all";
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
  // Unquoted names that other kinds fold as SQLite matches them (ASCII
  // letters only), so that the target table's name finds the same column.
  while (aOptions.KindNeutral) {
    if (aOptions.AccentedNames && c.OneIn(4)) {
      aSource = TNameSource::kAccented;
      return c.Pick(kAccentedNames);
    }
    aSource = TNameSource::kPlain;
    const std::string& name = c.Pick(kPlainNames);
    if (name.find('$') == std::string::npos) return name;
  }
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
std::string DbSpelling(TChoices& c, const std::string& aName, TNameSource aSource, bool aNeutral) {
  std::string name = AsciiCaseVariant(c, aName);
  if (aNeutral) return name;  // quoted names keep their case in other kinds
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
    column.DbName = DbSpelling(c, column.EnvelopeName, source, aOptions.KindNeutral);
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
        case TSizeRule::kPositive:
          column.Size = static_cast<std::int32_t>(badSize ? 0 : c.Range(1, 40));
          break;
        case TSizeRule::kGuid:
          column.Size = badSize ? 36 : 38;
          break;
      }
    }
    column.SqlType = SqlTypeFor(c, KindOf(aCase, column), column.Size, aOptions.KindNeutral);
    column.InTable = !c.OneIn(60);
    aCase.Columns.push_back(std::move(column));
  }

  // A stream column named like an earlier one (ignoring case) shows as a
  // field with "_1" after its name.
  if (aCase.Binary && aCase.Columns.size() > 1 && c.OneIn(12)) {
    const std::size_t later = static_cast<std::size_t>(c.Range(1, columnCount - 1));
    const TColumn& earlier = aCase.Columns[static_cast<std::size_t>(c.Below(later))];
    const std::string streamName = UnicodeCaseVariant(c, earlier.FieldName, aOptions.AccentedNames);
    const std::string fieldName = streamName + "_1";
    if (InnerName(earlier.EnvelopeName) == earlier.EnvelopeName && !folded.count(Fold(fieldName))) {
      TColumn& column = aCase.Columns[later];
      folded.insert(Fold(fieldName));
      column.StreamName = streamName;
      column.FieldName = fieldName;
      column.EnvelopeName = AsciiCaseVariant(c, fieldName);
      column.DbName = column.EnvelopeName;
    }
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
  // A key listed as a field too (SQLite takes a column named twice in an
  // INSERT, other kinds refuse it).
  if (keyCount > 0 && c.OneIn(30) && !aOptions.KindNeutral) {
    aCase.Fields.push_back(aCase.Pks.front());
    aCase.FieldColumns.push_back(aCase.PkColumns.front());
  }
  if (c.OneIn(40)) {  // a name no column has
    aCase.Fields.push_back("nao_existe");
    aCase.FieldColumns.push_back(-1);
  }

  // The target table.
  TNameSource tableSource = TNameSource::kPlain;
  switch (aOptions.KindNeutral ? 99 : c.Below(12)) {
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
      do {
        aCase.TableName = AsciiCaseVariant(c, c.Pick(kTableNames));
      } while (aOptions.KindNeutral && aCase.TableName.find('$') != std::string::npos);
      break;
  }
  aCase.DbTableName = tableSource == TNameSource::kNul
                          ? "t"
                          : DbSpelling(c, aCase.TableName, tableSource, aOptions.KindNeutral);
  aCase.TableExists = !c.OneIn(40);
  aCase.DatabaseExists = !c.OneIn(60);
  if (aOptions.NulInNames && c.OneIn(60)) aCase.DatabaseSuffix = std::string("\0.other", 7);
  if (aCase.Binary) aCase.StreamVersion = c.OneIn(4) ? static_cast<int>(c.Range(2, 15)) : -1;
  // Streams before version 4 name a row's values by column name, read
  // ignoring case: two columns named alike cannot be told apart there.
  const bool alikeNames =
      std::any_of(aCase.Columns.begin(), aCase.Columns.end(),
                  [](const TColumn& aColumn) { return !aColumn.StreamName.empty(); });
  if (alikeNames && aCase.StreamVersion > 0 && aCase.StreamVersion < 4 &&
      !aOptions.OldStreamAlikeNames) {
    aCase.StreamVersion = 4;
  }
  aCase.UpperMembers = c.OneIn(10);
  aCase.EscapeNames = c.OneIn(4);
  aCase.Windows1252Body = !aCase.Binary && c.OneIn(15);

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
      // Other kinds refuse a NULL in a primary key, and a rowid key is SQLite's own.
      switch (aOptions.KindNeutral ? 1 + 2 * c.Below(2) : c.Below(4)) {
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
  // A rowid key (an INTEGER column that is the whole primary key) gives a
  // NULL the next rowid, or a random one once the largest rowid is taken:
  // no such key where values come near it.
  for (std::size_t i = 0; i < aCase.Columns.size(); ++i) {
    TColumn& column = aCase.Columns[i];
    const bool tableKey =
        aCase.PkColumns.size() == 1 && aCase.PkColumns.front() == static_cast<int>(i) &&
        column.SqlType == "INTEGER" && aCase.KeyConstraint.rfind("PRIMARY KEY", 0) == 0;
    if (column.SqlType != "INTEGER PRIMARY KEY" && !tableKey) continue;
    auto nearTop = [](const TSqlValue& v) {
      return v.Kind == TSqlValue::TKind::kInteger && v.Integer > (kInt64Max >> 1);
    };
    bool high = false;
    for (const TRow& row : aCase.Rows) high = high || nearTop(row.Cells[i].Expected);
    for (std::size_t d = 0; d < aCase.DbOrder.size(); ++d) {
      if (aCase.DbOrder[d] != static_cast<int>(i)) continue;
      for (const TSqlRow& row : aCase.StartRows) high = high || nearTop(row[d]);
    }
    if (!high) continue;
    if (tableKey) {
      aCase.KeyConstraint.replace(0, std::string_view("PRIMARY KEY").size(), "UNIQUE");
    } else {
      column.SqlType = "INTEGER";
    }
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
      } else if (type.Kind == TVk::kUnsupported) {
        // Only a null goes into such a field.
        const std::size_t index = static_cast<std::size_t>(&column - aCase.Columns.data());
        bool written = false;
        for (const TRow& row : aCase.Rows) {
          written =
              written || (row.NotAnObject.empty() && row.Cells[index].Mode != TCell::TMode::kNull);
        }
        if (written) {
          fail(std::string("rows cannot be written into ") + type.Name);
          conversionFails = true;
          ++otherFailures;
        }
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
      // The message names the member as the envelope spells it.
      aCase.ExpectedMessage =
          fmt::format("<TJsonValue>\"{}\" value type error: {} to jvObject",
                      aCase.UpperMembers ? "DATA" : "data",
                      row.NotAnObject.front() == '"' ? "jvString" : "jvInteger");
      break;
    }
  }
}

}  // namespace tandemize::importfuzz
