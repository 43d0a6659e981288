#pragma once
// Column types of a loaded table: given by name ("--schema id:integer") or
// inferred from the values, and each value converted to its column's type.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/source.h"
#include "memtable/variant.h"

namespace tandemize::cli {

enum class TValueType : std::uint8_t {
  vtInteger,   // 64-bit signed whole number
  vtDecimal,   // exact decimal number ("12.50")
  vtFloat,     // binary floating point ("1.5e3")
  vtDate,      // ISO date ("2024-02-29")
  vtDateTime,  // ISO date and time ("2024-02-29T13:45:00", "2024-02-29 13:45:00.250")
  vtText,
  vtBlob,  // bytes written as hexadecimal after "0x" or "\x", or as Base64
};

// "integer", "decimal", ...; and the type of such a name.
std::string_view ValueTypeName(TValueType aType);
std::optional<TValueType> ValueTypeByName(std::string_view aName);

// The types a value can be read as, one bit per TValueType.
using TTypeSet = std::uint8_t;
constexpr TTypeSet TypeBit(TValueType aType) {
  return static_cast<TTypeSet>(1U << static_cast<unsigned>(aType));
}
TTypeSet TypesOf(const TCell& aCell);

struct TColumnSchema {
  std::string Name;
  TValueType Type = TValueType::vtText;
  bool Given = false;                     // named on the command line
  std::int32_t Length = 0;                // text: the most characters of a value
  std::int32_t Precision = 0, Scale = 0;  // decimal: the most digits, after the point
  bool HasNull = false;
};

// "id:integer,price:decimal" into name and type; EInputError when malformed.
std::map<std::string, TValueType> ParseSchemaOption(std::string_view aOption);

// One column per source column: its given type, or the narrowest type in
// the order integer, decimal, float, date, date-time, blob, text that reads
// every value of the column. A column with no values is text.
std::vector<TColumnSchema> InferSchema(const TSourceTable& aTable,
                                       const std::map<std::string, TValueType>& aGiven);

// A value converted to its column's type, in the layout a row store keeps
// for the column type the binary form gives it (integer int64, decimal TBcd,
// float double, date day number, date-time TSQLTimeStamp, text UTF-8, blob
// bytes). EInputError, naming the place, when it does not read as that type.
memtable::TVariant ConvertValue(const TSourceTable& aTable, const TSourceRow& aRow,
                                std::size_t aColumn, const TColumnSchema& aSchema);

// Days from 0001-01-01 (day 1), as the row store counts dates, and back.
std::int32_t DayNumber(int aYear, unsigned aMonth, unsigned aDay);
void CivilFromDayNumber(std::int32_t aDay, int& aYear, unsigned& aMonth, unsigned& aDay2);

// The ISO text of a converted date or date-time ("2024-02-29",
// "2024-02-29T13:45:00.250").
std::string IsoDate(std::int32_t aDayNumber);
std::string IsoDateTime(const memtable::TSQLTimeStamp& aValue);

}  // namespace tandemize::cli
