#include "text/case_fold.h"

#include <gtest/gtest.h>

#include <string>

#include "text/charset.h"

namespace tandemize::text {
namespace {

std::string Utf8(char32_t cp) {
  std::string out;
  AppendUtf8(out, cp);
  return out;
}

TEST(CaseFold, NamesEqualIgnoringCase) {
  struct Case {
    const char* A;
    const char* B;
    bool Equal;
  };
  const Case cases[] = {
      // Portuguese names as clients write them.
      {"código", "CÓDIGO", true},
      {"Código", "cÓdigo", true},
      {"descrição", "DESCRIÇÃO", true},
      {"Preço", "PREÇO", true},
      {"ação", "AÇÃO", true},
      {"código", "codigo", false},  // an accent is part of the letter
      {"é", "e\u0301", false},      // no normalisation: one letter against two
      // Latin letters beyond Latin-1 and letters whose case pair lies elsewhere.
      {"ÿ", "Ÿ", true},
      {"Kőműves", "KŐMŰVES", true},
      {"ǆ", "ǅ", true},
      {"straße", "STRAẞE", true},
      {"straße", "STRASSE", false},  // simple folding maps a letter to one letter
      {"ſ", "S", true},
      {"\u212A", "k", true},  // Kelvin sign
      {"\u212B", "å", true},  // Angstrom sign
      {"µ", "Μ", true},       // micro sign, Greek capital mu
      {"σ", "Σ", true},
      {"ς", "Σ", true},
      {"Ꭰ", "ꭰ", true},  // Cherokee
      {"𐐀", "𐐨", true},    // Deseret, four bytes each
      // Turkish i: dotless and dotted stay apart from the plain letter.
      {"I", "i", true},
      {"ı", "I", false},
      {"ı", "i", false},
      {"İ", "i", false},
      {"İ", "I", false},
      // Lengths, ASCII and bytes that are not UTF-8.
      {"", "", true},
      {"Id", "iD", true},
      {"id", "id_", false},
      {"id_", "id", false},
      {"a_1$#", "A_1$#", true},
      {"x\xC3", "X\xC3", true},
      {"\xC3", "\xC4", false},
      {"\xFF", "\xEF\xBF\xBD", false},  // a bad byte is not U+FFFD
      {"\xC3\xA7", "\xC3\x87", true},   // ç Ç
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.A) + " / " + c.B);
    EXPECT_EQ(EqualsIgnoringCase(c.A, c.B), c.Equal);
    EXPECT_EQ(EqualsIgnoringCase(c.B, c.A), c.Equal);
  }
}

// Names are upper-cased where statement parameters are named; the upper-cased
// name must be the same name under the comparison, and two names must be
// equal exactly when their upper-cased forms are, for every code point.
TEST(CaseFold, UpperCaseIsOneSpellingOfTheSameName) {
  int failures = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // no UTF-8 form
    const char32_t upper = UpperCase(cp);
    const char32_t folded = FoldCase(cp);
    const bool holds = FoldCase(upper) == folded && FoldCase(folded) == folded &&
                       UpperCase(folded) == upper && UpperCase(upper) == upper &&
                       EqualsIgnoringCase(Utf8(cp), Utf8(upper)) &&
                       EqualsIgnoringCase("a" + Utf8(cp) + "B", "A" + Utf8(upper) + "b") &&
                       EqualsIgnoringCase(Utf8(cp), Utf8(folded));
    if (!holds && ++failures <= 10) {
      ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(cp) << " upper U+"
                    << static_cast<unsigned>(upper) << " folded U+"
                    << static_cast<unsigned>(folded);
    }
  }
  EXPECT_EQ(failures, 0);

  struct Case {
    char32_t Cp;
    char32_t Upper;
  };
  const Case cases[] = {
      {U'a', U'A'}, {U'Z', U'Z'},   {U'ç', U'Ç'},   {U'ã', U'Ã'}, {U'ÿ', U'Ÿ'},   {U'ß', U'ß'},
      {U'ẞ', U'ß'}, {U'ſ', U'S'},   {U'ı', U'ı'},   {U'İ', U'İ'}, {U'µ', U'Μ'},   {U'ς', U'Σ'},
      {U'ǅ', U'Ǆ'}, {0x212A, U'K'}, {U'名', U'名'}, {U'_', U'_'}, {U'ꭰ', U'Ꭰ'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpperCase(c.Cp), c.Upper) << std::hex << static_cast<unsigned>(c.Cp);
  }
}

TEST(CaseFold, AsciiRuleFoldsOnlyAsciiLetters) {
  struct Case {
    const char* A;
    const char* B;
    bool Equal;
  };
  const Case cases[] = {
      {"ftWideString", "FTWIDESTRING", true},
      {"Transfer-Encoding", "transfer-encoding", true},
      {"100-continue", "100-CONTINUE", true},
      {"", "", true},
      {"ftString", "ftStrin", false},
      {"ftStrin", "ftString", false},
      // Only letters fold: bytes that differ in the same bit as a letter's
      // case do not ("@" and "`", "[" and "{", "^" and "~", "_" and DEL).
      {"@", "`", false},
      {"[", "{", false},
      {"^", "~", false},
      {"_", "\x7f", false},
      // Beyond ASCII: bytes compare as they are, whatever letters they spell.
      {"ç", "Ç", false},
      {"ftString", "ftſtring", false},
      {"\u212A", "k", false},  // Kelvin sign
      {"ç", "ç", true},
      {"\xC3", "\xE3", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.A, c.B), c.Equal) << c.A << " / " << c.B;
  }
}

TEST(CaseFold, AsciiPrefixAndCaseMapping) {
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("Basic dXNlcg==", "basic "));
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("gzip", ""));
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("GZIP", "gzip"));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("gzi", "gzip"));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("Çharset", "çharset"));

  EXPECT_EQ(AsciiLowerCase("Content-Type: UTF-8 ÇÃO @[`{"), "content-type: utf-8 ÇÃo @[`{");
  EXPECT_EQ(AsciiUpperCase("content-type: utf-8 ção @[`{"), "CONTENT-TYPE: UTF-8 çãO @[`{");
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter) {
      EXPECT_EQ(AsciiLower(c), c) << b;
      EXPECT_EQ(AsciiUpper(c), c) << b;
    }
  }
  EXPECT_EQ(AsciiLower('Q'), 'q');
  EXPECT_EQ(AsciiUpper('q'), 'Q');
}

}  // namespace
}  // namespace tandemize::text
