#pragma once
// The integer and number text rules of the JSON library, which the reader
// and the writer apply to values and which other layers share for the same
// texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tandemize::json {

// Integer text: optional leading spaces, optional sign, then decimal digits or
// hexadecimal digits after "$", "0x", "0X", "x" or "X"; nothing may follow and
// the value must fit the width (hexadecimal wraps as two's complement).
std::optional<std::int32_t> TryReadInt32(std::string_view aText);
std::optional<std::int64_t> TryReadInt64(std::string_view aText);
// Number text: optional leading spaces, optional sign, digits with an optional
// "." and fraction (at least one digit), optional exponent, optional trailing
// spaces. Overflow is refused; underflow reads as zero.
std::optional<double> TryReadNumber(std::string_view aText);
// Writes a number with 15 significant digits: fixed notation while the decimal
// exponent lies in -3..15, otherwise "1.5E20" / "1E-5"; "INF", "-INF", "NAN".
std::string NumberToText(double aValue);

}  // namespace tandemize::json
