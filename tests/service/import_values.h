#pragma once
// The field and column types of the import model and the values it makes
// for them, with the SQLite storage each value must reach. Shared by the
// generator (import_model.cpp) only.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "service/import_model.h"

namespace tandemize::importfuzz {

// What a value is, as far as its storage goes.
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

// What a structure's "size" may be for a type.
enum class TSizeRule : std::uint8_t {
  kZero,      // must be 0
  kAny,       // anything
  kCut,       // >= 0, text cut to it
  kRequired,  // > 0, text cut to it
  kBcd,       // 0..32
  kFmtBcd,    // 0..64
  kPositive,  // > 0
  kGuid,      // 38
};

// A "dataType" of the JSON form.
struct TJsonType {
  const char* Name;
  TVk Kind;
  TSizeRule Size;
  std::int64_t Min = 0, Max = 0;
};

// A column data type of the binary form.
struct TStreamType {
  memtable::TColumnDataType Type;
  TVk Kind;
  std::int64_t Min = 0, Max = 0;
  bool Ansi = false;   // text in Windows-1252
  bool Sized = false;  // the column has a size
};

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// Every type the JSON form names: the kJsonGoodTypes first take rows, the
// rest fail (no field class, no conversion, or no such type).
extern const std::vector<TJsonType> kJsonTypes;
constexpr std::size_t kJsonGoodTypes = 33;
extern const std::vector<TStreamType> kStreamTypes;

TVk KindOf(const TCase& aCase, const TColumn& aColumn);
bool SizeValid(TSizeRule aRule, std::int32_t aSize);
// A declared type of the target table for a column of aKind; aNeutral: the
// one type that stores the kind as other database kinds do.
std::string SqlTypeFor(TChoices& c, TVk aKind, std::int32_t aSize, bool aNeutral);

// A value of the JSON form for a column of type aType: good, null, missing
// (when aAllowMissing), lenient (another JSON kind that converts) or bad
// (when aAllowBad).
void JsonCell(TChoices& c, const TJsonType& aType, std::int32_t aSize, bool aAllowBad,
              bool aAllowMissing, TCell& aCell, const TGenOptions& aOptions);
// A value of the binary form for aColumn (of type aType), or null.
void StreamCell(TChoices& c, const TStreamType& aType, const TColumn& aColumn,
                const TGenOptions& aOptions, TCell& aCell);
// A good value of aColumn's kind for a starting row, or null.
TSqlValue StartValue(TChoices& c, const TCase& aCase, const TColumn& aColumn,
                     const TGenOptions& aOptions);

}  // namespace tandemize::importfuzz
