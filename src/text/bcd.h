#pragma once
// Packed decimals (BCD): decimal digits two to a byte, the first digit in the
// high nibble, with the sign and the number of places kept beside them by the
// value that holds the digits. Both the table's values and the drivers read
// and write decimal text with these.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tandemize::text {

// The most digits, and the most places after the point, a packed decimal
// holds.
inline constexpr std::size_t kMaxBcdDigits = 64;
inline constexpr std::size_t kMaxBcdPlaces = 63;

// BcdNibble()
//
// Digit `aIndex` of `aPacked` as stored: 0 to 9, or 10 to 15 where the bytes
// are not a packed decimal (each reader decides what such a nibble reads as).
// REQUIRES: aIndex < 2 * aPacked.size().
inline unsigned BcdNibble(std::span<const std::uint8_t> aPacked, std::size_t aIndex) {
  const std::uint8_t byte = aPacked[aIndex / 2];
  return aIndex % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

// PackBcdDigits()
//
// Writes the digits of `aDigits` ('0' to '9') into `aPacked`, two to a byte.
// REQUIRES: aDigits.size() <= 2 * aPacked.size() and the bytes written to are
// zero (the digits are or-ed in).
void PackBcdDigits(std::string_view aDigits, std::span<std::uint8_t> aPacked);

// ReadDecimalText()
//
// Reads a plain decimal text: an optional "+" or "-", digits, and optionally
// "." and more digits, with at least one digit in all ("-12.340", ".5", "7.";
// not "1e3", " 1" or "."). The result has the digits without the leading
// zeros before the point ("0" when none is left), and the number of places
// after the point, trailing zeros included. Returns false when the text is
// not such a decimal or has more than kMaxBcdDigits digits (leading zeros not
// counted) or more than kMaxBcdPlaces places.
struct TDecimalText {
  bool Negative = false;
  std::string Digits;
  std::size_t Places = 0;
};
bool ReadDecimalText(std::string_view aText, TDecimalText& aResult);

}  // namespace tandemize::text
