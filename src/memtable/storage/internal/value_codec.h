#pragma once
// Column values between their stream payload (the bytes TBinStorage reads
// and writes for a column) and the TVariant a row-store buffer holds.

#include <optional>
#include <string>
#include <string_view>

#include "memtable/row_store.h"
#include "memtable/variant.h"

namespace tandemize::memtable::storage {

// The row-store value of a payload; null for the types that hold no value.
// 8-bit text is Windows-1252 in the stream and UTF-8 in the row store.
TVariant DecodeValue(TColumnDataType aType, std::string_view aPayload);
// The same, built in place in `aTarget` (a row buffer's slot), so that a
// value read from a stream is constructed once.
void DecodeValueInto(TColumnDataType aType, std::string_view aPayload, TVariant& aTarget);

// The payload of a value: a value already in the column's layout is taken
// as it is, a plain one (TDateTime for a date, text for a GUID, ...) is
// converted first. None for a null value or a type without payload. Throws
// EDatabaseError when the value cannot be converted.
std::optional<std::string> EncodeValue(TColumnDataType aType, const TVariant& aValue);

}  // namespace tandemize::memtable::storage
