// The value conversions the drivers share.

#include <gtest/gtest.h>

#include <limits>

#include "dbaccess/db_connection.h"
#include "dbaccess/internal/phys_values.h"
#include "memtable/mem_table.h"

namespace tandemize::dbaccess::phys {
namespace {

using memtable::TDateTime;
using memtable::TSQLTimeStamp;

TEST(ValuesTest, DateTimesAndTimeStampsConvertBothWays) {
  struct Case {
    double DateTime;
    std::string Text;
  };
  const Case cases[] = {
      {0.0, "1899-12-30 00:00:00"},
      {45351.573263888889, "2024-02-29 13:45:30"},
      {36526.5, "2000-01-01 12:00:00"},
      {-1.25, "1899-12-29 06:00:00"},
      {-693593.0, "0001-01-01 00:00:00"},
      {2958465.99999, "9999-12-31 23:59:59.136"},
      {1.0 + 1.0 / 86400000.0, "1899-12-31 00:00:00.001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const TSQLTimeStamp ts = DateTimeToTimeStamp(TDateTime{c.DateTime});
    EXPECT_EQ(TimeStampToText(ts), c.Text);
    EXPECT_NEAR(TimeStampToDateTime(ts).Value, c.DateTime, 1.0 / 86400000.0);
    TSQLTimeStamp parsed;
    ASSERT_TRUE(TextToTimeStamp(c.Text, parsed));
    EXPECT_EQ(parsed, ts);
  }
  // Just under a whole day rounds up to the next midnight instead of 24:00,
  // before 1899-12-30 as after it (-1.9999999999 is 1899-12-29 at 23:59:59.99...).
  EXPECT_EQ(TimeStampToText(DateTimeToTimeStamp(TDateTime{2.9999999999})), "1900-01-02 00:00:00");
  EXPECT_EQ(TimeStampToText(DateTimeToTimeStamp(TDateTime{-1.9999999999})), "1899-12-30 00:00:00");
  EXPECT_EQ(TimeStampToText(DateTimeToTimeStamp(TDateTime{-2.9999999999})), "1899-12-29 00:00:00");
}

// Timestamps built by hand, inside and outside the four-digit year range and
// with fractions of one, two and three digits.
TEST(ValuesTest, TimeStampTextOfEveryYearWidth) {
  struct Case {
    TSQLTimeStamp Value;
    std::string Text;
  };
  const Case cases[] = {
      {{2024, 3, 5, 14, 7, 9, 0}, "2024-03-05 14:07:09"},
      {{7, 1, 2, 3, 4, 5, 6}, "0007-01-02 03:04:05.006"},
      {{1999, 12, 31, 23, 59, 59, 45}, "1999-12-31 23:59:59.045"},
      {{2000, 1, 1, 0, 0, 0, 1999}, "2000-01-01 00:00:00.999"},
      {{12345, 6, 7, 8, 9, 10, 0}, "12345-06-07 08:09:10"},
      {{-44, 3, 15, 0, 0, 0, 250}, "-044-03-15 00:00:00.250"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TimeStampToText(c.Value), c.Text);
  }
}

TEST(ValuesTest, TimeStampTextsAreReadInTheirUsualForms) {
  struct Case {
    std::string Text;
    bool Valid;
    TSQLTimeStamp Expected;
  };
  const Case cases[] = {
      {"2024-02-29", true, {2024, 2, 29, 0, 0, 0, 0}},
      {"2024-02-29T01:02:03", true, {2024, 2, 29, 1, 2, 3, 0}},
      {"2024-02-29 01:02:03.456789", true, {2024, 2, 29, 1, 2, 3, 456}},
      {"2024-02-29 01:02:03+00", true, {2024, 2, 29, 1, 2, 3, 0}},
      {"13:45:30.5", true, {0, 0, 0, 13, 45, 30, 500}},
      {"2024-2-29", false, {}},
      {"2024-02-29 1:02:03", false, {}},
      {"yesterday", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TSQLTimeStamp ts;
    EXPECT_EQ(TextToTimeStamp(c.Text, ts), c.Valid);
    if (c.Valid) {
      EXPECT_EQ(ts, c.Expected);
    }
  }
}

TEST(ValuesTest, DecimalsConvertBothWaysWithoutLoss) {
  struct Case {
    std::string Text;
    std::string Back;  // empty: not a decimal
  };
  const Case cases[] = {
      {"0", "0"},
      {"-12.340", "-12.340"},
      {"12345678901234567890.0123456789", "12345678901234567890.0123456789"},
      {"0.001", "0.001"},
      {"+5", "5"},
      {"007.50", "7.50"},
      {"-0.00", "0.00"},
      {std::string(64, '9'), std::string(64, '9')},
      {std::string(65, '9'), ""},
      {"", ""},
      {"1.2.3", ""},
      {"12a", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    memtable::TBcd bcd;
    const bool valid = TextToBcd(c.Text, bcd);
    EXPECT_EQ(valid, !c.Back.empty());
    if (valid) {
      EXPECT_EQ(BcdToText(bcd), c.Back);
    }
  }
}

TEST(ValuesTest, ValuesHaveOneTextForm) {
  memtable::TBcd bcd;
  ASSERT_TRUE(TextToBcd("-1.50", bcd));
  struct Case {
    TVariant Value;
    std::string Text;
  };
  const Case cases[] = {
      {TVariant{}, ""},
      {true, "1"},
      {std::int8_t{-8}, "-8"},
      {std::uint64_t{18446744073709551615u}, "18446744073709551615"},
      {0.1f, "0.1"},
      {0.1, "0.1"},
      {1e300, "1e+300"},
      {memtable::TCurrency{-15000}, "-1.5000"},
      {memtable::TCurrency{std::numeric_limits<std::int64_t>::min()}, "-922337203685477.5808"},
      {TDateTime{36526.5}, "2000-01-01 12:00:00"},
      {bcd, "-1.50"},
      {std::string("ção"), "ção"},
      {memtable::TBytes{'a', 0, 'b'}, std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VariantToText(c.Value), c.Text);
  }
  EXPECT_EQ(VariantToInt64(std::string("42")), 42);
  EXPECT_EQ(VariantToInt64(bcd), -1);
  EXPECT_THROW(VariantToInt64(std::string("4x")), memtable::EDatabaseError);
  EXPECT_DOUBLE_EQ(VariantToDouble(memtable::TCurrency{15000}), 1.5);
  EXPECT_EQ(VariantToTimeStamp(std::string("2000-01-01")), (TSQLTimeStamp{2000, 1, 1}));
  EXPECT_THROW(VariantToTimeStamp(memtable::TBytes{}), memtable::EDatabaseError);
}

TEST(ValuesTest, AParameterTakesAFieldsValueTypedByTheValueOrByTheFieldWhenNull) {
  using memtable::TFieldType;
  memtable::TMemTable table;
  for (const auto& [name, type] :
       {std::pair{"s", TFieldType::ftWideString}, std::pair{"i", TFieldType::ftInteger},
        std::pair{"b", TFieldType::ftBlob}}) {
    std::unique_ptr<memtable::TField> field = memtable::CreateField(type);
    field->SetFieldName(name);
    table.Fields().Add(std::move(field));
  }
  table.Open();
  table.Append();
  table.FieldByName("s").SetAsString("ação");
  table.FieldByName("b").SetAsBytes({});

  struct {
    const char* Field;
    TVariant Value;
    TFieldType Type;
  } const cases[] = {
      {"s", std::string("ação"), TDbParam::DataTypeOf(std::string("ação"))},
      {"i", TVariant{}, TFieldType::ftInteger},  // never set: null
      {"b", TVariant{}, TFieldType::ftBlob},     // no bytes: null
      {"s", std::string("ação"), TDbParam::DataTypeOf(std::string("ação"))},
  };
  // One parameter for all, as a statement binds record after record.
  TDbParam param("p");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Field);
    param.AssignFieldValue(table.FieldByName(c.Field));
    EXPECT_EQ(param.Value(), c.Value);
    EXPECT_EQ(param.DataType(), c.Type);
  }
}

}  // namespace
}  // namespace tandemize::dbaccess::phys
