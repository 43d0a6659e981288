#include "text/bcd.h"

namespace tandemize::text {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void PackBcdDigits(std::string_view aDigits, std::span<std::uint8_t> aPacked) {
  for (std::size_t i = 0; i < aDigits.size(); ++i) {
    const auto digit = static_cast<std::uint8_t>(aDigits[i] - '0');
    aPacked[i / 2] |= i % 2 == 0 ? static_cast<std::uint8_t>(digit << 4) : digit;
  }
}

bool ReadDecimalText(std::string_view aText, TDecimalText& aResult) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < aText.size() && (aText[pos] == '-' || aText[pos] == '+')) {
    negative = aText[pos++] == '-';
  }
  const std::size_t wholeStart = pos;
  while (pos < aText.size() && IsDigit(aText[pos])) ++pos;
  std::string_view whole = aText.substr(wholeStart, pos - wholeStart);
  std::string_view fraction;
  if (pos < aText.size() && aText[pos] == '.') {
    const std::size_t fractionStart = ++pos;
    while (pos < aText.size() && IsDigit(aText[pos])) ++pos;
    fraction = aText.substr(fractionStart, pos - fractionStart);
  }
  if (pos != aText.size() || (whole.empty() && fraction.empty())) return false;
  const std::size_t firstNonZero = whole.find_first_not_of('0');
  whole = firstNonZero == std::string_view::npos ? std::string_view{} : whole.substr(firstNonZero);
  if (whole.size() + fraction.size() > kMaxBcdDigits || fraction.size() > kMaxBcdPlaces) {
    return false;
  }
  aResult.Negative = negative;
  aResult.Digits.assign(whole);
  aResult.Digits.append(fraction);
  if (aResult.Digits.empty()) aResult.Digits = "0";
  aResult.Places = fraction.size();
  return true;
}

}  // namespace tandemize::text
