#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/table_builder.h"
#include "memtable/value_convert.h"

namespace tandemize::memtable {
namespace {

using namespace testing_support;
using enum TColumnAttribute;
using enum TColumnDataType;
using enum TFieldType;

TBcd Bcd(const char* text) {
  TBcd value;
  EXPECT_TRUE(StringToBcd(text, value)) << text;
  return value;
}

std::string Describe(const TVariant& value) {
  return std::to_string(value.index()) + ":" + PlainToString(value);
}

struct TAsVariantCase {
  const char* Label;
  TColumnSpec Column;
  TVariant Stored;  // in the column's layout
  const char* ClassName;
  TVariant Expected;
};

TEST(FieldAsVariantTest, EachFieldClassGivesItsVariantType) {
  TBytes guid(16);
  for (std::uint8_t i = 0; i < 16; ++i) guid[i] = i;
  TInterval interval;
  interval.Raw[0] = 1;
  interval.Raw[24] = 9;
  const TSQLTimeStamp stamp{2024, 2, 29, 13, 14, 15, 16};
  const TColumnAttributes autoInc{caAllowNull, caAutoInc};
  const std::int64_t dateTimeMs = (kDateDelta + 2) * kMSecsPerDay + kMSecsPerDay / 4;

  const TAsVariantCase cases[] = {
      {"ansi text",
       {"f", dtAnsiString, {}, 10},
       std::string("abc"),
       "TStringField",
       std::string("abc")},
      {"wide text",
       {"f", dtWideString, {}, 10},
       std::string("ção"),
       "TWideStringField",
       std::string("ção")},
      {"guid",
       {"f", dtGUID},
       guid,
       "TGuidField",
       std::string("{03020100-0504-0706-0809-0A0B0C0D0E0F}")},
      {"int16", {"f", dtInt16}, std::int16_t{-5}, "TSmallintField", std::int32_t{-5}},
      {"sbyte", {"f", dtSByte}, std::int8_t{-3}, "TShortintField", std::int32_t{-3}},
      {"byte", {"f", dtByte}, std::uint8_t{200}, "TByteField", std::int32_t{200}},
      {"uint16", {"f", dtUInt16}, std::uint16_t{65535}, "TWordField", std::int32_t{65535}},
      {"autoinc", {"f", dtInt32, autoInc}, std::int32_t{7}, "TDbAutoIncField", std::int32_t{7}},
      {"uint32 top",
       {"f", dtUInt32},
       std::uint32_t{4294967295u},
       "TLongWordField",
       std::uint32_t{4294967295u}},
      {"int64",
       {"f", dtInt64},
       std::int64_t{-9000000000},
       "TLargeintField",
       std::int64_t{-9000000000}},
      {"uint64", {"f", dtUInt64}, std::uint64_t{5}, "TLargeintField", std::int64_t{5}},
      {"double", {"f", dtDouble}, 1.5, "TFloatField", 1.5},
      {"single", {"f", dtSingle}, 2.5f, "TSingleField", 2.5},
      {"extended", {"f", dtExtended}, -0.25, "TExtendedField", -0.25},
      {"currency", {"f", dtCurrency}, TCurrency{12345}, "TCurrencyField", 1.2345},
      {"boolean word", {"f", dtBoolean}, std::uint16_t{0xFFFF}, "TBooleanField", true},
      {"boolean zero", {"f", dtBoolean}, std::uint16_t{0}, "TBooleanField", false},
      {"date", {"f", dtDate}, std::int32_t{kDateDelta + 1}, "TDateField", TDateTime{1.0}},
      {"time", {"f", dtTime}, std::int32_t{43200000}, "TTimeField", TDateTime{0.5}},
      {"date-time",
       {"f", dtDateTime},
       static_cast<double>(dateTimeMs),
       "TDateTimeField",
       TDateTime{2.25}},
      {"time-stamp", {"f", dtDateTimeStamp}, stamp, "TSQLTimeStampField", stamp},
      {"bcd", {"f", dtBCD, {}, 0, 5, 2}, Bcd("123.45"), "TBCDField", TCurrency{1234500}},
      {"fmt bcd",
       {"f", dtFmtBCD, {}, 0, 30, 10},
       Bcd("-1.0000000001"),
       "TFMTBCDField",
       Bcd("-1.0000000001")},
      {"byte string", {"f", dtByteString, {}, 4}, TBytes{1, 2}, "TVarBytesField", TBytes{1, 2}},
      {"empty fixed bytes",
       {"f", dtByteString, {caFixedLen}, 4},
       TBytes{},
       "TBytesField",
       TBytes{}},
      {"blob", {"f", dtBlob}, TBytes{9}, "TBlobField", TBytes{9}},
      {"empty blob", {"f", dtBlob}, TBytes{}, "TBlobField", TVariant{}},
      {"empty large blob", {"f", dtHBlob}, TBytes{}, "TBlobField", TVariant{}},
      {"memo", {"f", dtMemo}, std::string("m"), "TMemoField", std::string("m")},
      {"empty memo", {"f", dtMemo}, std::string(), "TMemoField", std::string()},
      {"wide memo", {"f", dtWideMemo}, std::string("w"), "TWideMemoField", std::string("w")},
      {"xml", {"f", dtXML}, std::string("<a/>"), "TDbXMLField", std::string("<a/>")},
      {"interval", {"f", dtTimeIntervalDS}, interval, "TDbSQLTimeIntervalField", interval},
  };
  for (const TAsVariantCase& c : cases) {
    SCOPED_TRACE(c.Label);
    for (const bool null : {false, true}) {
      TMemTable table;
      TRowStoreTable& t = AddTable(table.Manager(), "T", {c.Column});
      AddRow(t, TRowStoreRowState::rsUnchanged, TValues{null ? TVariant{} : c.Stored});
      table.OpenFromManager();
      const TField& field = table.FieldByName("f");
      EXPECT_EQ(field.ClassName(), c.ClassName);
      const TVariant value = field.AsVariant();
      const TVariant expected = null ? TVariant{} : c.Expected;
      EXPECT_EQ(value, expected) << "null " << null << " got " << Describe(value) << " expected "
                                 << Describe(expected);
      EXPECT_EQ(field.IsNull(), null);
      // Written into a target that already holds something (longer text,
      // other bytes, another kind), the value is the same.
      for (TVariant target : {TVariant{}, TVariant{std::string(100, 'x')},
                              TVariant{TBytes(64, 0xEE)}, TVariant{std::int64_t{-1}}}) {
        field.AssignVariantTo(target);
        EXPECT_EQ(target, expected) << "null " << null << " got " << Describe(target);
      }
    }
  }
}

// Fields the converter creates, written with their setters.
class FieldSetterTest : public ::testing::Test {
 protected:
  TField& Build(TFieldType type, std::int32_t size = 0) {
    std::unique_ptr<TField> field = CreateField(type);
    field->SetFieldName("f");
    field->SetSize(size);
    TField& added = table.Fields().Add(std::move(field));
    table.Open();
    table.Append();
    return added;
  }
  TMemTable table;
};

TEST_F(FieldSetterTest, ValuesRoundTripInTheFieldsRepresentation) {
  struct {
    const char* Label;
    TFieldType Type;
    std::int32_t Size;
    std::function<void(TField&)> Set;
    TVariant Variant;
    const char* Text;
  } const cases[] = {
      {"smallint low", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-32768); },
       std::int32_t{-32768}, "-32768"},
      {"longword top", ftLongWord, 0, [](TField& f) { f.SetAsLargeInt(4294967295); },
       std::uint32_t{4294967295u}, "4294967295"},
      {"largeint low", ftLargeint, 0,
       [](TField& f) { f.SetAsLargeInt(std::numeric_limits<std::int64_t>::min()); },
       std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {"integer from text", ftInteger, 0, [](TField& f) { f.SetAsString(" 42 "); },
       std::int32_t{42}, "42"},
      {"float", ftFloat, 0, [](TField& f) { f.SetAsFloat(0.1); }, 0.1, "0.1"},
      {"currency rounds to 4 places", ftCurrency, 0, [](TField& f) { f.SetAsFloat(1.23456); },
       1.2346, "1.2346"},
      {"bcd rounds to its scale", ftBCD, 2, [](TField& f) { f.SetAsFloat(12.345); },
       TCurrency{123500}, "12.35"},
      {"fmt bcd from text", ftFMTBcd, 3, [](TField& f) { f.SetAsString("-0.0005"); }, Bcd("-0.001"),
       "-0.001"},
      {"boolean", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, true, "True"},
      {"date drops the time", ftDate, 0, [](TField& f) { f.SetAsDateTime(45000.75); },
       TDateTime{45000}, "2023-03-15"},
      {"time drops the date", ftTime, 0, [](TField& f) { f.SetAsDateTime(45000.75); },
       TDateTime{0.75}, "18:00:00"},
      {"date-time before 1899-12-30", ftDateTime, 0, [](TField& f) { f.SetAsDateTime(-1.25); },
       TDateTime{-1.25}, "1899-12-29 06:00:00"},
      {"date-time from text", ftDateTime, 0,
       [](TField& f) { f.SetAsString("2024-02-29T23:59:59.5"); },
       TDateTime{45351 + 86399.5 / 86400}, "2024-02-29 23:59:59.500"},
      {"time-stamp", ftTimeStamp, 0, [](TField& f) { f.SetAsDateTime(2.5); },
       TSQLTimeStamp{1900, 1, 1, 12, 0, 0, 0}, "1900-01-01 12:00:00"},
      {"wide text", ftWideString, 5, [](TField& f) { f.SetAsString("Olá"); }, std::string("Olá"),
       "Olá"},
      {"guid text", ftGuid, 38,
       [](TField& f) { f.SetAsString("{00112233-4455-6677-8899-AABBCCDDEEFF}"); },
       std::string("{00112233-4455-6677-8899-AABBCCDDEEFF}"),
       "{00112233-4455-6677-8899-AABBCCDDEEFF}"},
      {"blob from stream", ftBlob, 0,
       [](TField& f) {
         std::istringstream in(std::string("x\0z", 3));
         dynamic_cast<TBlobField&>(f).LoadFromStream(in);
       },
       TBytes{'x', 0, 'z'}, ""},
      {"blob from empty stream", ftBlob, 0,
       [](TField& f) {
         std::istringstream in;
         dynamic_cast<TBlobField&>(f).LoadFromStream(in);
       },
       TVariant{}, ""},
      {"interval as text", ftOraInterval, 9, [](TField& f) { f.SetAsString("+01 02:03"); },
       std::string("+01 02:03"), "+01 02:03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    table.Close();
    table.Fields().Clear();
    TField& field = Build(c.Type, c.Size);
    c.Set(field);
    table.Post();
    const TVariant value = field.AsVariant();
    if (const auto* dateTime = std::get_if<TDateTime>(&c.Variant)) {
      ASSERT_TRUE(std::holds_alternative<TDateTime>(value)) << Describe(value);
      EXPECT_NEAR(std::get<TDateTime>(value).Value, dateTime->Value, 1e-9);
    } else if (const auto* number = std::get_if<double>(&c.Variant)) {
      ASSERT_TRUE(std::holds_alternative<double>(value)) << Describe(value);
      EXPECT_DOUBLE_EQ(std::get<double>(value), *number);
    } else {
      EXPECT_EQ(value, c.Variant) << Describe(value);
    }
    if (*c.Text != '\0') {
      EXPECT_EQ(field.AsString(), c.Text);
    }
  }
}

TEST_F(FieldSetterTest, RangeChecksNameTheFieldAndItsBounds) {
  struct {
    TFieldType Type;
    std::function<void(TField&)> Set;
    const char* Message;  // null: accepted
  } const cases[] = {
      {ftSmallint, [](TField& f) { f.SetAsInteger(32768); },
       "32768 is not a valid value for field 'f'. The allowed range is -32768 to 32767"},
      {ftSmallint, [](TField& f) { f.SetAsFloat(1e10); },
       "10000000000 is not a valid value for field 'f'. The allowed range is -32768 to 32767"},
      {ftShortint, [](TField& f) { f.SetAsInteger(-129); },
       "-129 is not a valid value for field 'f'. The allowed range is -128 to 127"},
      {ftShortint, [](TField& f) { f.SetAsInteger(-128); }, nullptr},
      {ftLongWord, [](TField& f) { f.SetAsInteger(-1); },
       "-1 is not a valid value for field 'f'. The allowed range is 0 to 4294967295"},
      {ftLongWord, [](TField& f) { f.SetAsInteger(0); }, nullptr},
      {ftWord, [](TField& f) { f.SetAsInteger(65536); },
       "65536 is not a valid value for field 'f'. The allowed range is 0 to 65535"},
      {ftByte, [](TField& f) { f.SetAsString("256"); },
       "256 is not a valid value for field 'f'. The allowed range is 0 to 255"},
      {ftInteger, [](TField& f) { f.SetAsLargeInt(2147483648); },
       "2147483648 is not a valid value for field 'f'. The allowed range is -2147483648 to "
       "2147483647"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.Type));
    table.Close();
    table.Fields().Clear();
    TField& field = Build(c.Type);
    if (c.Message == nullptr) {
      EXPECT_NO_THROW(c.Set(field));
      continue;
    }
    try {
      c.Set(field);
      ADD_FAILURE() << "accepted";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_TRUE(field.IsNull());  // a refused value leaves the field as it was
  }
}

TEST(FieldClassTest, TableAndGeneralClassChoice) {
  struct {
    TFieldType Type;
    const char* TableClass;  // "" when there is no class
    const char* GeneralClass;
    TFieldType GeneralType;
  } const cases[] = {
      {ftAutoInc, "TDbAutoIncField", "TAutoIncField", ftAutoInc},
      {ftFmtMemo, "TWideMemoField", "TBlobField", ftBlob},
      {ftParadoxOle, "TDbSQLTimeIntervalField", "TBlobField", ftBlob},
      {ftDBaseOle, "TDbXMLField", "TBlobField", ftBlob},
      {ftOraInterval, "TDbSQLTimeIntervalField", "TStringField", ftString},
      {ftFixedChar, "TStringField", "TStringField", ftString},
      {ftFixedWideChar, "TWideStringField", "TWideStringField", ftWideString},
      {ftTypedBinary, "TBlobField", "TBlobField", ftBlob},
      {ftOraBlob, "TBlobField", "TBlobField", ftBlob},
      {ftOraClob, "TMemoField", "TMemoField", ftMemo},
      {ftOraTimeStamp, "TSQLTimeStampField", "TSQLTimeStampField", ftTimeStamp},
      {ftGraphic, "TGraphicField", "TGraphicField", ftGraphic},
      {ftGuid, "TGuidField", "TGuidField", ftGuid},
      {ftVariant, "TVariantField", "TVariantField", ftVariant},
      {ftIDispatch, "TIDispatchField", "TIDispatchField", ftIDispatch},
      {ftTimeStampOffset, "TSQLTimeStampOffsetField", "TSQLTimeStampOffsetField",
       ftTimeStampOffset},
      {ftUnknown, "", "", ftUnknown},
      {ftCursor, "", "", ftUnknown},
      {ftConnection, "", "", ftUnknown},
      {ftParams, "", "", ftUnknown},
      {ftStream, "", "", ftUnknown},
      {ftObject, "", "", ftUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.Type));
    const auto tableField = CreateField(c.Type, TFieldClassList::fcTable);
    const auto generalField = CreateField(c.Type, TFieldClassList::fcGeneral);
    if (*c.TableClass == '\0') {
      EXPECT_EQ(tableField, nullptr);
      EXPECT_EQ(generalField, nullptr);
      continue;
    }
    ASSERT_NE(tableField, nullptr);
    ASSERT_NE(generalField, nullptr);
    EXPECT_EQ(tableField->ClassName(), c.TableClass);
    EXPECT_EQ(tableField->DataType(), c.Type);
    EXPECT_EQ(generalField->ClassName(), c.GeneralClass);
    EXPECT_EQ(generalField->DataType(), c.GeneralType);
  }
  EXPECT_EQ(FieldTypeByName("FTINTEGER"), ftInteger);
  EXPECT_EQ(FieldTypeByName("ftSingle"), ftSingle);
  EXPECT_EQ(FieldTypeByName("ftNothing"), std::nullopt);
  EXPECT_EQ(FieldTypeName(ftTimeStampOffset), "ftTimeStampOffset");
}

TEST(FieldClassTest, SizeChecksOfEachClass) {
  struct {
    TFieldType Type;
    std::int32_t Size;
    bool Accepted;
  } const cases[] = {
      {ftInteger, 4, false},      {ftInteger, 0, true},
      {ftDate, 1, false},         {ftString, -1, false},
      {ftString, 0, true},        {ftWideString, 4000, true},
      {ftOraInterval, -1, false}, {ftBytes, 0, false},
      {ftVarBytes, 1, true},      {ftBCD, 33, false},
      {ftBCD, 32, true},          {ftFMTBcd, 65, false},
      {ftFMTBcd, 64, true},       {ftGuid, 37, false},
      {ftGuid, 38, true},         {ftBlob, 12345, true},
      {ftOraClob, -5, true},      {ftDataSet, -3, true},
      {ftAutoInc, 1, false},      {ftTimeStampOffset, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << FieldTypeName(c.Type) << " " << c.Size);
    const auto field = CreateField(c.Type);
    if (c.Accepted) {
      EXPECT_NO_THROW(field->SetSize(c.Size));
      EXPECT_EQ(field->Size(), c.Size);
    } else {
      try {
        field->SetSize(c.Size);
        ADD_FAILURE() << "accepted";
      } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Invalid field size");
      }
    }
  }
}

TEST(ValueConvertTest, DayNumbersAndDateTimes) {
  struct {
    int Year;
    unsigned Month, Day;
    std::int32_t DayNumber;
  } const days[] = {
      {1, 1, 1, 1},
      {1899, 12, 30, kDateDelta},
      {1900, 1, 1, kDateDelta + 2},
      {2000, 3, 1, kDateDelta + 36586},
      {9999, 12, 31, 3652059},
  };
  for (const auto& d : days) {
    EXPECT_EQ(EncodeDayNumber(d.Year, d.Month, d.Day), d.DayNumber);
    int year = 0;
    unsigned month = 0, day = 0;
    DecodeDayNumber(d.DayNumber, year, month, day);
    EXPECT_EQ(year, d.Year);
    EXPECT_EQ(month, d.Month);
    EXPECT_EQ(day, d.Day);
  }

  struct {
    double DateTime;
    std::int32_t DayNumber, MSecs;
  } const times[] = {
      {0.0, kDateDelta, 0},
      {1.5, kDateDelta + 1, 43200000},
      {-1.25, kDateDelta - 1, 21600000},  // before the epoch the fraction still counts forward
      {2.9999999999, kDateDelta + 3, 0},  // rounds into the next day
      {-693593.0, 1, 0},
  };
  for (const auto& t : times) {
    SCOPED_TRACE(t.DateTime);
    std::int32_t dayNumber = 0, msecs = 0;
    DateTimeToDayAndTime(t.DateTime, dayNumber, msecs);
    EXPECT_EQ(dayNumber, t.DayNumber);
    EXPECT_EQ(msecs, t.MSecs);
    EXPECT_NEAR(DayAndTimeToDateTime(dayNumber, msecs), t.DateTime, 1e-8);
  }
  // A date-time column value round-trips through its plain form.
  const TVariant raw = PlainToColumn(dtDateTime, TDateTime{-1.25});
  EXPECT_EQ(ColumnToPlain(dtDateTime, raw), TVariant(TDateTime{-1.25}));
  // Values outside 0001-01-01 .. 9999-12-31 are refused, not wrapped.
  for (const double outside : {-693594.0, 2958466.0, 1e300, std::nan("")}) {
    EXPECT_THROW(PlainToColumn(dtDateTime, TDateTime{outside}), EDatabaseError) << outside;
  }
  EXPECT_THROW(ColumnToPlain(dtDateTime, 1e300), EDatabaseError);
  EXPECT_THROW(PlainToDateTime(std::string("2024-02-30")), EDatabaseError);
  EXPECT_THROW(PlainToDateTime(std::string("25:00")), EDatabaseError);
}

TEST(ValueConvertTest, PackedDecimals) {
  struct {
    const char* Text;
    int Scale;
    const char* Rounded;
  } const rounding[] = {
      {"-012.3400", 4, "-12.34"}, {"1.995", 2, "2"}, {"9.999", 0, "10"},
      {"-0.5", 0, "-1"},          {"0.004", 2, "0"}, {"123", 2, "123"},
  };
  for (const auto& r : rounding) {
    SCOPED_TRACE(r.Text);
    EXPECT_EQ(BcdToString(BcdRound(Bcd(r.Text), r.Scale)), r.Rounded);
  }
  const TBcd parsed = Bcd("-012.3400");
  EXPECT_EQ(parsed.Precision, 6);
  EXPECT_EQ(parsed.SignSpecialPlaces, 0x80 | 4);
  EXPECT_EQ(parsed.Fraction[0], 0x12);
  EXPECT_EQ(parsed.Fraction[1], 0x34);

  TBcd refused;
  for (const char* text : {"", ".", "1e5", "1.2.3", "--1", "12a",
                           "12345678901234567890123456789012345678901234567890123456789012345"}) {
    EXPECT_FALSE(StringToBcd(text, refused)) << text;
  }

  TCurrency currency;
  EXPECT_TRUE(BcdToCurrency(Bcd("922337203685477.5807"), currency));
  EXPECT_EQ(currency.Value, std::numeric_limits<std::int64_t>::max());
  EXPECT_TRUE(BcdToCurrency(Bcd("-922337203685477.5808"), currency));
  EXPECT_EQ(currency.Value, std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(BcdToCurrency(Bcd("922337203685477.5808"), currency));
  EXPECT_EQ(BcdToString(CurrencyToBcd(TCurrency{-5})), "-0.0005");
  EXPECT_EQ(BcdToString(DoubleToBcd(0.1)), "0.1");
}

TEST(ValueConvertTest, DecimalsInVariantsAreValuesOfTheirOwn) {
  // 64 digits: the widest decimal a variant carries.
  const std::string widest = "-1234567890123456789012345678901234567890123456789012.345678901234";
  TVariant held = Bcd(widest.c_str());
  TVariant copy = held;
  std::get<TBcdValue>(copy).Mutable() = Bcd("7");
  EXPECT_EQ(PlainToString(held), widest);
  EXPECT_EQ(PlainToString(copy), "7");
  EXPECT_NE(held, copy);

  copy = held;
  EXPECT_EQ(held, copy);
  TVariant moved = std::move(held);
  EXPECT_EQ(PlainToString(moved), widest);
  // A moved-from decimal still reads, as zero.
  EXPECT_EQ(BcdToString(std::get<TBcdValue>(held)), BcdToString(TBcd{}));

  std::vector<TVariant> values(3, TVariant{Bcd("1.5")});
  values.resize(40);  // grows by moving the decimals
  EXPECT_EQ(PlainToDouble(values[2]), 1.5);
}

}  // namespace
}  // namespace tandemize::memtable
