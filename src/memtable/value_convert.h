#pragma once
// Conversions between row-store values (in their column's layout) and the
// plain values fields read and write: bool, integers, double, TCurrency,
// TDateTime, TSQLTimeStamp, TBcd, TInterval, std::string and TBytes.

#include <cstdint>
#include <string>
#include <string_view>

#include "memtable/row_store.h"
#include "memtable/variant.h"

namespace tandemize::memtable {

// Calendar helpers; day numbers count 0001-01-01 as day 1.
std::int32_t EncodeDayNumber(int aYear, unsigned aMonth, unsigned aDay);
void DecodeDayNumber(std::int32_t aDayNumber, int& aYear, unsigned& aMonth, unsigned& aDay);
// Days since 1899-12-30 (time as fraction) <-> day number and milliseconds of the day.
void DateTimeToDayAndTime(double aDateTime, std::int32_t& aDayNumber, std::int32_t& aMSecs);
double DayAndTimeToDateTime(std::int32_t aDayNumber, std::int32_t aMSecs);
TSQLTimeStamp DateTimeToSQLTimeStamp(double aDateTime);
double SQLTimeStampToDateTime(const TSQLTimeStamp& aValue);

// Packed decimals.
std::string BcdToString(const TBcd& aValue);
// Parses "[-]digits[.digits]"; false on anything else or more than 64 digits.
bool StringToBcd(std::string_view aText, TBcd& aValue);
TBcd DoubleToBcd(double aValue);
double BcdToDouble(const TBcd& aValue);
// Rounds half away from zero to aScale decimal places.
TBcd BcdRound(const TBcd& aValue, int aScale);
bool BcdToCurrency(const TBcd& aValue, TCurrency& aResult);
TBcd CurrencyToBcd(TCurrency aValue);

// GUID bytes (16) <-> "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string GuidToString(const TBytes& aBytes);
bool StringToGuid(std::string_view aText, TBytes& aBytes);

// A value of column type aType as its plain form (a dtDate day number as
// TDateTime, a dtBoolean word as bool, GUID bytes as text ...); null stays null.
TVariant ColumnToPlain(TColumnDataType aType, const TVariant& aRaw);
// A plain value in the layout of aType. Throws EDatabaseError when it cannot
// be converted. Text and bytes that are already in their column's layout are
// moved, not copied.
TVariant PlainToColumn(TColumnDataType aType, TVariant aPlain);

// Plain value readers; they throw EDatabaseError when the value cannot be
// read as that type. Null reads as 0, "", false.
std::int64_t PlainToInt64(const TVariant& aValue);
double PlainToDouble(const TVariant& aValue);
std::string PlainToString(const TVariant& aValue);
bool PlainToBool(const TVariant& aValue);
double PlainToDateTime(const TVariant& aValue);
TSQLTimeStamp PlainToSQLTimeStamp(const TVariant& aValue);
TBcd PlainToBcd(const TVariant& aValue);
TCurrency PlainToCurrency(const TVariant& aValue);
TBytes PlainToBytes(const TVariant& aValue);

}  // namespace tandemize::memtable
