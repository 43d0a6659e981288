#include "text/case_fold.h"

#include <unicode/uchar.h>

#include "text/charset.h"

namespace tandemize::text {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

// DecodeUtf8 reads an ill-formed byte as U+FFFD and moves one byte on; a
// real U+FFFD takes three.
bool IsIllFormed(char32_t cp, std::size_t length) {
  return cp == kReplacementChar && length == 1;
}

}  // namespace

char32_t FoldCase(char32_t cp) {
  if (cp < 0x80) return static_cast<unsigned char>(AsciiLower(static_cast<char>(cp)));
  if (cp > kMaxCodePoint) return cp;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(cp), U_FOLD_CASE_DEFAULT));
}

char32_t UpperCase(char32_t cp) {
  if (cp < 0x80) return static_cast<unsigned char>(AsciiUpper(static_cast<char>(cp)));
  const char32_t folded = FoldCase(cp);
  if (folded > kMaxCodePoint) return folded;
  const auto upper = static_cast<char32_t>(u_toupper(static_cast<UChar32>(folded)));
  return FoldCase(upper) == folded ? upper : folded;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[j]);
    if ((x | y) < 0x80) {
      if (x != y && AsciiLower(static_cast<char>(x)) != AsciiLower(static_cast<char>(y))) {
        return false;
      }
      ++i;
      ++j;
      continue;
    }
    // One side is beyond ASCII: compare whole code points (an ASCII letter
    // can fold like one that is not, as "k" and the Kelvin sign do).
    const std::size_t startA = i;
    const std::size_t startB = j;
    const char32_t cpA = DecodeUtf8(a, i);
    const char32_t cpB = DecodeUtf8(b, j);
    if (a.substr(startA, i - startA) == b.substr(startB, j - startB)) continue;
    if (IsIllFormed(cpA, i - startA) || IsIllFormed(cpB, j - startB)) return false;
    if (FoldCase(cpA) != FoldCase(cpB)) return false;
  }
  return i == a.size() && j == b.size();
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringAsciiCase(std::string_view aText, std::string_view aPrefix) {
  return aText.size() >= aPrefix.size() &&
         EqualsIgnoringAsciiCase(aText.substr(0, aPrefix.size()), aPrefix);
}

std::string AsciiLowerCase(std::string_view aText) {
  std::string out(aText);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string AsciiUpperCase(std::string_view aText) {
  std::string out(aText);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

}  // namespace tandemize::text
