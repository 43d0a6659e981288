// ComparableKeys decides which rows may share a window of a batched import:
// two key values a server may find equal must share a text, or a row would
// be looked up before the row it should find was written.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dbaccess/db_batch.h"

namespace tandemize::dbaccess {
namespace {

using memtable::TBytes;
using memtable::TSQLTimeStamp;

bool ShareAText(const TVariant& a, const TVariant& b) {
  const std::vector<std::string> x = ComparableKeys(a), y = ComparableKeys(b);
  return std::any_of(x.begin(), x.end(), [&](const std::string& k) {
    return std::find(y.begin(), y.end(), k) != y.end();
  });
}

TEST(ComparableKeys, ValuesAServerMayFindEqualShareAText) {
  struct Case {
    const char* what;
    TVariant a, b;
  };
  const TSQLTimeStamp noon{2024, 3, 5, 12, 0, 0, 0};
  const TSQLTimeStamp midnight{2024, 3, 5, 0, 0, 0, 0};
  const std::vector<Case> cases = {
      {"integer widths", std::int32_t{7}, std::int64_t{7}},
      {"integer and float", std::int64_t{7}, 7.0},
      {"integer and its text", std::int64_t{7}, std::string("7")},
      {"text with blanks and zeros", std::string(" 7"), std::string("7.0")},
      {"negative zero", -0.0, std::int32_t{0}},
      {"letter case", std::string("Abc"), std::string("aBC")},
      {"trailing blanks (char columns)", std::string("abc  "), std::string("abc")},
      {"a day and a time on it (date columns)", noon, midnight},
      {"a day and its text", midnight, std::string("2024-03-05")},
      {"bool and integer", true, std::int32_t{1}},
      // What a collation that ignores case and accents (and, set so,
      // punctuation) finds equal.
      {"accents and case beyond ASCII", std::string("AÇÃO"), std::string("acao")},
      {"accent as a combining mark", std::string("a\xCC\x81gua"), std::string("\xC3\x81GUA")},
      {"sharp s and SS",
       std::string("stra\xC3\x9F"
                   "e"),
       std::string("STRASSE")},
      {"Greek final sigma", std::string("\xCE\xA3\xCE\x99\xCE\xA3"),
       std::string("\xCF\x83\xCE\xB9\xCF\x82")},
      {"full-width letters", std::string("\xEF\xBC\xA1\xEF\xBD\x82\xEF\xBD\x83"),
       std::string("abc")},
      {"a ligature",
       std::string("\xEF\xAC\x81"
                   "le"),
       std::string("file")},
      {"an invisible character",
       std::string("ab\xE2\x80\x8B"
                   "c"),
       std::string("abc")},
      {"punctuation and blanks", std::string("a-b c."), std::string("abc")},
      {"text that strips to a number", std::string("1-2"), std::string("12")},
      {"digits of another script", std::string("\xD9\xA1\xD9\xA2x"), std::string("12x")},
      {"katakana and hiragana", std::string("\xE3\x82\xAB"), std::string("\xE3\x81\x8B")},
      {"dotted capital I", std::string("\xC4\xB0stanbul"), std::string("istanbul")},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ShareAText(c.a, c.b)) << c.what;
  }
}

TEST(ComparableKeys, DistinctValuesAndNull) {
  EXPECT_TRUE(ComparableKeys(TVariant{}).empty());
  const std::vector<TVariant> distinct = {std::int64_t{1},
                                          std::int64_t{2},
                                          std::string("a"),
                                          std::string("b"),
                                          std::string("2024-03-05"),
                                          std::string("2024-03-06"),
                                          TBytes{1, 2},
                                          TBytes{1, 3},
                                          std::string("a\xC3\xA7\xC3\xA3o"),
                                          std::string("a\xC3\xA7"
                                                      "ai"),
                                          std::string("\xCE\xB1")};
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    for (std::size_t j = i + 1; j < distinct.size(); ++j) {
      EXPECT_FALSE(ShareAText(distinct[i], distinct[j])) << i << " " << j;
    }
  }
}

}  // namespace
}  // namespace tandemize::dbaccess
