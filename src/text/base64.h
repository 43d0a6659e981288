#pragma once
// Base64 with the standard alphabet (A-Z a-z 0-9 + /) and "=" padding. The
// codec handles the characters of the alphabet only: how a caller's text
// frames them (line breaks, padding, other characters) is the caller's rule.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tandemize::text {

// EncodeBase64()
//
// `aBytes` encoded on one line, padded with "=" to a multiple of four
// characters.
std::string EncodeBase64(std::span<const std::uint8_t> aBytes);

// Base64DecodedSize()
//
// How many bytes `aLength` alphabet characters carry: three for each group of
// four, and one or two for a last group of two or three. A last lone character
// carries none.
constexpr std::size_t Base64DecodedSize(std::size_t aLength) {
  const std::size_t tail = aLength % 4;
  return aLength / 4 * 3 + (tail == 0 ? 0 : tail - 1);
}

// DecodeBase64()
//
// Decodes `aDigits`, alphabet characters without padding, into the
// Base64DecodedSize(aDigits.size()) bytes at `aOut`. The bits below the last
// whole byte are ignored. Returns false when a character of `aDigits` is not
// in the alphabet; the bytes at `aOut` are then unspecified.
bool DecodeBase64(std::string_view aDigits, std::uint8_t* aOut);

// IsBase64Digit()
//
// Whether `c` is one of the 64 characters of the alphabet ("=" is not).
bool IsBase64Digit(char c);

}  // namespace tandemize::text
