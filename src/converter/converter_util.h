#pragma once
// Static helpers of the dataset/JSON converter: ISO date and time text,
// field-name casing, identifiers, field creation and nested-table origins.
// Stateless; every operation may be called from any thread.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "memtable/field_type.h"

namespace tandemize::memtable {
class TDataSetField;
class TField;
class TMemTable;
}  // namespace tandemize::memtable

namespace tandemize::converter {

// The converter's own failures; what() is the client-visible text.
class EDataSetConverterException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a nested-table field (ftDataSet) is written and read, chosen by its Origin.
enum class TDataSetFieldType { dfUnknown, dfJSONObject, dfJSONArray };

// Date-time values are days since 1899-12-30 with the time of day as the
// fraction (before that day the fraction still counts forward in the day:
// -1.25 is 1899-12-29 06:00).
using TDateTimeValue = double;

class TConverterUtil {
 public:
  TConverterUtil() = delete;

  // Lower-cases every letter (Unicode simple mapping); nothing else changes:
  // "CUSTOMER_ID" -> "customer_id", "OrderDate" -> "orderdate".
  static std::string ToLowerCamelCase(std::string_view aValue);

  // "YYYY-MM-DDThh:nn:ss.zzzZ"; the value is taken to be UTC already.
  static std::string DateTimeToISOTimeStamp(TDateTimeValue aDateTime);
  // "YYYY-MM-DD".
  static std::string DateToISODate(TDateTimeValue aDate);
  // "hh:nn:ss"; milliseconds are dropped, not rounded.
  static std::string TimeToISOTime(TDateTimeValue aTime);

  // Reads an ISO 8601 date, optionally followed by "T" and a time with an
  // optional fraction and zone; a zone offset is removed so the result is UTC.
  // Extended ("2024-03-05T14:07:09.5-03:00") and basic ("20240305T140709")
  // forms. Hour 24, second 60 and a fraction that rounds to 1000 ms carry.
  // Throws std::runtime_error "Invalid date string: %s", "Invalid time
  // string: %s", "Invalid time Offset string: %s" or "'%s' is not a valid
  // date and time" (the parts read as "Y-M-D h:n:s.zzz").
  static TDateTimeValue ISOTimeStampToDateTime(std::string_view aDateTime);
  // Characters 1-4, 6-7 and 9-10 are year, month and day; separators are not
  // checked and the rest is ignored. Throws "'%s' is not a valid integer
  // value" or "Invalid argument to date encode".
  static TDateTimeValue ISODateToDate(std::string_view aDate);
  // Characters 1-2, 4-5 and 7-8 are hour, minute and second. Throws "'%s' is
  // not a valid integer value" or "Invalid argument to time encode".
  static TDateTimeValue ISOTimeToTime(std::string_view aTime);

  // Adds one field to the closed table aDataSet and returns it, in steps:
  // field of the general class list for aFieldType (a type without a field
  // class is refused before anything changes); name (empty -> "Field<n>");
  // attached to aDataSet.Fields() ("Duplicate field name '%s'"); component
  // name MakeValidIdent(table name + field name), unique ignoring case ("A
  // component named %s already exists"); Size ("Invalid field size"); Origin
  // and DisplayLabel (when not empty); last, ftString and ftWideString with
  // aSize <= 0 fail with EDataSetConverterException "Size not defined for
  // field \"%s\".". A failing step leaves the earlier ones done: the field
  // stays attached to the table.
  static memtable::TField& NewDataSetField(memtable::TMemTable& aDataSet,
                                           memtable::TFieldType aFieldType,
                                           std::string_view aFieldName, std::int32_t aSize,
                                           std::string_view aOrigin,
                                           std::string_view aDisplaylabel);

  // The field's Origin, trimmed and compared ignoring case with "Unknown",
  // "JSONObject" and "JSONArray"; anything else is dfUnknown.
  static TDataSetFieldType DataSetFieldToType(const memtable::TDataSetField& aDataSetField);

  // Keeps 0-9, A-Z, a-z and "_"; "" becomes "_", a leading digit gets "_".
  static std::string MakeValidIdent(std::string_view aValue);
};

}  // namespace tandemize::converter
