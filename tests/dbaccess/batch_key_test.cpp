// ComparableKey decides which rows may share a window of a batched import:
// two key values a server may find equal must share a text, or a row would
// be looked up before the row it should find was written.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbaccess/db_batch.h"

namespace tandemize::dbaccess {
namespace {

using memtable::TBytes;
using memtable::TSQLTimeStamp;

TEST(ComparableKey, ValuesAServerMayFindEqualShareAText) {
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
  };
  for (const Case& c : cases) {
    const std::optional<std::string> a = ComparableKey(c.a), b = ComparableKey(c.b);
    ASSERT_TRUE(a && b) << c.what;
    EXPECT_EQ(*a, *b) << c.what;
  }
}

TEST(ComparableKey, DistinctValuesAndNull) {
  EXPECT_FALSE(ComparableKey(TVariant{}));
  const std::vector<TVariant> distinct = {
      std::int64_t{1},           std::int64_t{2},           std::string("a"), std::string("b"),
      std::string("2024-03-05"), std::string("2024-03-06"), TBytes{1, 2},     TBytes{1, 3}};
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    for (std::size_t j = i + 1; j < distinct.size(); ++j) {
      EXPECT_NE(ComparableKey(distinct[i]), ComparableKey(distinct[j])) << i << " " << j;
    }
  }
}

}  // namespace
}  // namespace tandemize::dbaccess
