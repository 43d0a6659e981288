#include "text/case_fold.h"

#include <unicode/uchar.h>

#include "text/charset.h"

namespace tandemize::text {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// DecodeUtf8 reads an ill-formed byte as U+FFFD and moves one byte on; a
// real U+FFFD takes three.
bool IsIllFormed(char32_t cp, std::size_t length) {
  return cp == kReplacementChar && length == 1;
}

}  // namespace

char32_t FoldCase(char32_t cp) {
  if (cp < 0x80) return AsciiLower(static_cast<unsigned char>(cp));
  if (cp > kMaxCodePoint) return cp;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(cp), U_FOLD_CASE_DEFAULT));
}

char32_t UpperCase(char32_t cp) {
  if (cp < 0x80) return cp >= U'a' && cp <= U'z' ? cp - U'a' + U'A' : cp;
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
      if (x != y && AsciiLower(x) != AsciiLower(y)) return false;
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
    if (AsciiLower(static_cast<unsigned char>(a[i])) !=
        AsciiLower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace tandemize::text
