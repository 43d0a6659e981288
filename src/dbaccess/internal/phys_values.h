#pragma once
// The value conversions the drivers share, and the groups of data types they
// bind parameters by. Text is UTF-8.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "memtable/field_type.h"
#include "memtable/variant.h"

namespace tandemize::dbaccess::phys {

using memtable::TFieldType;
using memtable::TVariant;

// What a driver uses to convert values (phys_values.cpp). Text is UTF-8.
// Canonical text: integers in decimal; floats with the fewest digits that
// read back exactly; currency with 4 decimals; TDateTime and TSQLTimeStamp as
// "YYYY-MM-DD HH:MM:SS[.fff]"; BCD as a plain decimal; bool as "1"/"0";
// bytes as they are; TInterval as hex.
std::string VariantToText(const TVariant& value);
// Integer value (bool 0/1, floats truncated, texts parsed); throws
// EDatabaseError when the value has no integer reading.
std::int64_t VariantToInt64(const TVariant& value);
double VariantToDouble(const TVariant& value);
// The bytes of a byte array, or of a text's UTF-8 form.
memtable::TBytes VariantToBytes(const TVariant& value);
// TDateTime, TSQLTimeStamp or a "YYYY-MM-DD[ HH:MM:SS[.f]]" text as a timestamp.
memtable::TSQLTimeStamp VariantToTimeStamp(const TVariant& value);

memtable::TSQLTimeStamp DateTimeToTimeStamp(memtable::TDateTime value);
memtable::TDateTime TimeStampToDateTime(const memtable::TSQLTimeStamp& value);
// "YYYY-MM-DD HH:MM:SS" plus ".fff" when there are fractions
// (TSQLTimeStamp::Fractions are milliseconds).
std::string TimeStampToText(const memtable::TSQLTimeStamp& value);
// The same text written into a caller's buffer (no allocation); the view
// points into it.
using TTimeStampText = std::array<char, 64>;
std::string_view TimeStampToText(const memtable::TSQLTimeStamp& value, TTimeStampText& buffer);
// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS[.f...]" (also with 'T') or
// "HH:MM:SS[.f]"; false when the text is none of those.
bool TextToTimeStamp(std::string_view text, memtable::TSQLTimeStamp& out);

// How a parameter of a data type is sent to a client: the groups the drivers
// bind by. Text covers the string, memo, wide and GUID types (always UTF-8,
// never narrowed); Unknown is a type with no value kind (an untyped NULL).
enum class TBindKind {
  Unknown,
  Boolean,
  Integer,
  Float,
  Decimal,
  Date,
  Time,
  DateTime,
  Blob,
  Text
};
TBindKind BindKindOf(TFieldType dataType);

std::string BcdToText(const memtable::TBcd& value);
// A plain decimal text ("-12.340") as BCD; false when it is not one or has
// more than 64 digits.
bool TextToBcd(std::string_view text, memtable::TBcd& out);

}  // namespace tandemize::dbaccess::phys
