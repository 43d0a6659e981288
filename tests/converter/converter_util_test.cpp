#include "converter/converter_util.h"

#include "converter/base64.h"
#include "converter/converter_test_util.h"
#include "memtable/mem_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandemize::converter {
namespace {

constexpr double kMarch5th2024 = 45356;  // 2024-03-05 as days since 1899-12-30
constexpr double kSecond = 1.0 / 86400;

using testing::ErrorOf;
using testing::FieldList;

TEST(IsoWriters, FormatDateTimeDateAndTime) {
  struct Case {
    double Value;
    const char* TimeStamp;
    const char* Date;
    const char* Time;
  };
  const Case cases[] = {
      {36526, "2000-01-01T00:00:00.000Z", "2000-01-01", "00:00:00"},
      {0, "1899-12-30T00:00:00.000Z", "1899-12-30", "00:00:00"},
      // Milliseconds are kept in the time stamp and dropped (not rounded) by the time.
      {kMarch5th2024 + (14 * 3600 + 7 * 60 + 9.9) * kSecond, "2024-03-05T14:07:09.900Z",
       "2024-03-05", "14:07:09"},
      {kMarch5th2024 + 0.123 * kSecond, "2024-03-05T00:00:00.123Z", "2024-03-05", "00:00:00"},
      // Before day 0 the fraction still counts forward within the day.
      {-1.25, "1899-12-29T06:00:00.000Z", "1899-12-29", "06:00:00"},
      // Less than half a millisecond before midnight is the next day.
      {kMarch5th2024 + 1 - 0.0004 / 86400, "2024-03-06T00:00:00.000Z", "2024-03-06", "00:00:00"},
      {2958465, "9999-12-31T00:00:00.000Z", "9999-12-31", "00:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.TimeStamp);
    EXPECT_EQ(TConverterUtil::DateTimeToISOTimeStamp(c.Value), c.TimeStamp);
    EXPECT_EQ(TConverterUtil::DateToISODate(c.Value), c.Date);
    EXPECT_EQ(TConverterUtil::TimeToISOTime(c.Value), c.Time);
  }
}

TEST(IsoWriters, RefuseValuesWithoutACalendarDate) {
  for (const double value : {1e300, -1e9, std::nan("")}) {
    EXPECT_THROW(TConverterUtil::DateTimeToISOTimeStamp(value), std::runtime_error);
  }
}

TEST(IsoTimeStampReader, ReadsExtendedAndBasicFormsIntoUtc) {
  struct Case {
    const char* Text;
    const char* Utc;
  };
  const Case cases[] = {
      {"2024-03-05", "2024-03-05T00:00:00.000Z"},
      {"20240305", "2024-03-05T00:00:00.000Z"},
      {"20240305T140709", "2024-03-05T14:07:09.000Z"},
      {"20240305T1407", "2024-03-05T14:07:00.000Z"},
      {"-2024-03-05", "2024-03-05T00:00:00.000Z"},
      {"2024-3-5T4:7", "2024-03-05T04:07:00.000Z"},
      {"2024-03-05T14:07:09.5Z", "2024-03-05T14:07:09.500Z"},
      {"2024-03-05T14:07:09.123456789012345678", "2024-03-05T14:07:09.123Z"},
      // Fractions round to the millisecond, ties to even.
      {"2024-03-05T14:07:09.0005", "2024-03-05T14:07:09.000Z"},
      {"2024-03-05T14:07:09.0015", "2024-03-05T14:07:09.002Z"},
      {"2024-03-05T14:07:09.00050001", "2024-03-05T14:07:09.001Z"},
      // Offsets are removed.
      {"2024-03-05T14:07:09-03:00", "2024-03-05T17:07:09.000Z"},
      {"2024-03-05T10:00+02:00", "2024-03-05T08:00:00.000Z"},
      {"2024-03-05T10:00:00+0230", "2024-03-05T07:30:00.000Z"},
      {"2024-03-05T01:00:00+02", "2024-03-04T23:00:00.000Z"},
      {"20240305T233000-0100", "2024-03-06T00:30:00.000Z"},
      // Carries into the next unit.
      {"2024-03-05T24:00:00", "2024-03-06T00:00:00.000Z"},
      {"2024-12-31T23:59:60", "2025-01-01T00:00:00.000Z"},
      {"2024-03-05T23:59:59.9996", "2024-03-06T00:00:00.000Z"},
      {"2024-02-29T12:00:00Z", "2024-02-29T12:00:00.000Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(
        TConverterUtil::DateTimeToISOTimeStamp(TConverterUtil::ISOTimeStampToDateTime(c.Text)),
        c.Utc);
  }
  EXPECT_DOUBLE_EQ(TConverterUtil::ISOTimeStampToDateTime("1899-12-29T06:00"), -1.25);
  EXPECT_DOUBLE_EQ(TConverterUtil::ISOTimeStampToDateTime("2024-03-05T12:00Z"),
                   kMarch5th2024 + 0.5);
}

TEST(IsoTimeStampReader, ReportsTheFaultyPart) {
  struct Case {
    const char* Text;
    const char* Message;
  };
  const Case cases[] = {
      {"2024-03-05T14:07:09 junk", "Invalid time string: 14:07:09 junk"},
      {"2024-03-05T", "Invalid time string: "},
      {"2024-03-05T14:07:09.Z", "Invalid time string: 14:07:09.Z"},
      {"2024-03-05T14:07:09.1234567890123456789",
       "Invalid time string: 14:07:09.1234567890123456789"},
      {"2024-03-05T14:", "Invalid time string: 14:"},
      {"2024-03-05T1", "Invalid time string: 1"},
      {"2024-03-05T10:00+02:0", "Invalid time string: 10:00+02:0"},
      {"2024-03-05T14:07:09+", "Invalid time Offset string: 14:07:09+"},
      {"2024-03-05T14:07:09-3", "Invalid time Offset string: 14:07:09-3"},
      {"202", "Invalid date string: 202"},
      {"-202", "Invalid date string: -202"},
      {"2024-03-05x", "Invalid date string: 2024-03-05x"},
      {"2024-03-", "Invalid date string: 2024-03-"},
      {"2024030", "Invalid date string: 2024030"},
      {"05/03/2024", "Invalid date string: 05/03/2024"},
      {"", "Invalid date string: "},
      {"2024-13-05", "'2024-13-05 00:00:00.000' is not a valid date and time"},
      {"2024-03", "'2024-03-00 00:00:00.000' is not a valid date and time"},
      {"2023-02-29", "'2023-02-29 00:00:00.000' is not a valid date and time"},
      {"0000-01-01", "'0000-01-01 00:00:00.000' is not a valid date and time"},
      {"2024-03-05T14:60", "'2024-03-05 14:60:00.000' is not a valid date and time"},
      {"2024-03-05T25:00", "'2024-03-05 25:00:00.000' is not a valid date and time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(ErrorOf([&] { TConverterUtil::ISOTimeStampToDateTime(c.Text); }), c.Message);
  }
}

TEST(IsoPositionalReaders, ReadDateAndTimeByCharacterPosition) {
  EXPECT_EQ(TConverterUtil::ISODateToDate("2024-03-05"), kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate("2024-03-05T10:00:00"), kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate("2024/03/05"), kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate("1899-12-29"), -1);
  EXPECT_DOUBLE_EQ(TConverterUtil::ISOTimeToTime("14:07:09"), (14 * 3600 + 7 * 60 + 9) * kSecond);
  EXPECT_DOUBLE_EQ(TConverterUtil::ISOTimeToTime("12:00:00.999"), 0.5);
  // Whatever follows the last position read is not looked at; a character
  // before it takes one position however many bytes it has.
  EXPECT_EQ(TConverterUtil::ISODateToDate("2024-03-05\xC3\xA7"), kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate("2024-03\xC3\xA7"
                                          "05"),
            kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate(" 024-03-05"), -685129);
  EXPECT_EQ(TConverterUtil::ISODateToDate("$7E8-03-05"), kMarch5th2024);
  EXPECT_EQ(TConverterUtil::ISODateToDate("0001-01-01"), -693593);
  EXPECT_EQ(TConverterUtil::ISODateToDate("9999-12-31"), 2958465);
  EXPECT_EQ(TConverterUtil::ISOTimeToTime("x0:00:00"), 0);

  struct Case {
    const char* Text;
    bool IsDate;
    const char* Message;
  };
  const Case cases[] = {
      {"05/03/2024", true, "'05/0' is not a valid integer value"},
      {"2024-03", true, "'' is not a valid integer value"},
      {"2024-0x-05", true, "'0x' is not a valid integer value"},
      {"2024-02-30", true, "Invalid argument to date encode"},
      {"2024-00-10", true, "Invalid argument to date encode"},
      {"0000-01-01", true, "Invalid argument to date encode"},
      {"ab:00:00", false, "'ab' is not a valid integer value"},
      {"14h07", false, "'' is not a valid integer value"},
      {"24:00:00", false, "Invalid argument to time encode"},
      {"12:00:60", false, "Invalid argument to time encode"},
      {"-1:00:00", false, "Invalid argument to time encode"},
      // Positions count characters: text that is not ASCII up to the last
      // position read shifts what each position holds.
      {"\xC3\xA7"
       "024-03-05",
       true,
       "'\xC3\xA7"
       "024' is not a valid integer value"},
      {"2024-3-05", true, "'3-' is not a valid integer value"},
      {"10:00:\xC3\xA7", false, "'\xC3\xA7' is not a valid integer value"},
      {"\xC3\xA7"
       "0:00:00",
       false,
       "'\xC3\xA7"
       "0' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(ErrorOf([&] {
                if (c.IsDate) {
                  TConverterUtil::ISODateToDate(c.Text);
                } else {
                  TConverterUtil::ISOTimeToTime(c.Text);
                }
              }),
              c.Message);
  }
}

TEST(Base64, DecodesStandardTextOrRefusesIt) {
  struct Case {
    const char* Text;
    const char* Bytes;  // "1,2,3," or "refused"
  };
  const Case cases[] = {
      {"", ""},
      {"AQID", "1,2,3,"},
      {"////", "255,255,255,"},
      {"AQIDBA==", "1,2,3,4,"},
      {"AQIDBA", "1,2,3,4,"},
      {"AQIDBAU=", "1,2,3,4,5,"},
      {"AQIDBAU", "1,2,3,4,5,"},
      {"AQ==", "1,"},
      {"AR==", "1,"},  // bits below the last byte are ignored
      {"AQIDAQIDAQIDAQIDAQI", "1,2,3,1,2,3,1,2,3,1,2,3,1,2,"},
      // White space anywhere is skipped.
      {" AQ ID\r\n", "1,2,3,"},
      {"AQ\tID\nBA==", "1,2,3,4,"},
      {"AQID AQ", "1,2,3,1,"},
      // A character outside the alphabet, in any group and at any place.
      {"*QID", "refused"},
      {"AQI*", "refused"},
      {"AQIDAQIDAQIDAQID*QID", "refused"},
      {"AQ\x80"
       "D",
       "refused"},
      {"-_==", "refused"},
      {"AQ=D", "refused"},
      {"A===", "refused"},
      // A lone character, padding that does not complete the last group.
      {"A", "refused"},
      {"AQIDB", "refused"},
      {"AQID=", "refused"},
      {"AQ=", "refused"},
      {"AQI==", "refused"},
      {"=", "refused"},
      {"==", "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::optional<std::vector<std::uint8_t>> bytes = DecodeBase64(c.Text);
    std::string decoded = "refused";
    if (bytes) {
      decoded.clear();
      for (const std::uint8_t b : *bytes) decoded += std::to_string(b) + ",";
    }
    EXPECT_EQ(decoded, c.Bytes);
  }
}

TEST(ConverterUtilText, LowerCasesAndMakesIdentifiers) {
  struct Case {
    const char* Text;
    const char* Lower;
    const char* Ident;
  };
  const Case cases[] = {
      {"CUSTOMER_ID", "customer_id", "CUSTOMER_ID"},
      {"OrderDate", "orderdate", "OrderDate"},
      {"Order Date", "order date", "OrderDate"},
      {"2nd", "2nd", "_2nd"},
      {"\xC3\x87\xC3\x83O", "\xC3\xA7\xC3\xA3o", "O"},  // ÇÃO
      {"\xC3\xA7\xC3\xA3", "\xC3\xA7\xC3\xA3", "_"},    // çã
      {"\xC3\xA9"
       "1",
       "\xC3\xA9"
       "1",
       "_1"},  // é1
      {"a-b", "a-b", "ab"},
      {"", "", "_"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(TConverterUtil::ToLowerCamelCase(c.Text), c.Lower);
    EXPECT_EQ(TConverterUtil::MakeValidIdent(c.Text), c.Ident);
  }
}

using memtable::TFieldType;
using memtable::TMemTable;

TEST(NewDataSetField, CreatesFieldsOrFailsLeavingThemAttached) {
  struct Case {
    TFieldType Type;
    const char* Name;
    int Size;
    const char* Fields;  // the table's fields afterwards
    const char* Error;
  };
  using FT = TFieldType;
  const Case cases[] = {
      {FT::ftInteger, "id", 0, "id:ftInteger:0", ""},
      {FT::ftWideString, "nome", 60, "nome:ftWideString:60", ""},
      // The general class list turns several requested types into another.
      {FT::ftFixedChar, "c", 3, "c:ftString:3", ""},
      {FT::ftOraInterval, "c", 3, "c:ftString:3", ""},
      {FT::ftFixedWideChar, "c", 3, "c:ftWideString:3", ""},
      {FT::ftFmtMemo, "b", 0, "b:ftBlob:0", ""},
      {FT::ftParadoxOle, "b", 0, "b:ftBlob:0", ""},
      {FT::ftOraBlob, "b", 0, "b:ftBlob:0", ""},
      {FT::ftOraClob, "m", 0, "m:ftMemo:0", ""},
      {FT::ftOraTimeStamp, "t", 0, "t:ftTimeStamp:0", ""},
      {FT::ftAutoInc, "a", 0, "a:ftAutoInc:0", ""},
      {FT::ftGuid, "g", 38, "g:ftGuid:38", ""},
      {FT::ftBCD, "n", 32, "n:ftBCD:32", ""},
      {FT::ftFMTBcd, "n", 64, "n:ftFMTBcd:64", ""},
      {FT::ftBlob, "b", 123, "b:ftBlob:123", ""},
      {FT::ftDataSet, "d", 7, "d:ftDataSet:7", ""},
      {FT::ftFixedChar, "c", 0, "c:ftString:0", ""},
      {FT::ftInteger, "", 0, "Field1:ftInteger:0", ""},
      // Size checks of the field classes; the field stays attached.
      {FT::ftInteger, "id", 4, "id:ftInteger:0", "Invalid field size"},
      {FT::ftDateTime, "d", 8, "d:ftDateTime:0", "Invalid field size"},
      {FT::ftString, "s", -1, "s:ftString:20", "Invalid field size"},
      {FT::ftBytes, "b", 0, "b:ftBytes:16", "Invalid field size"},
      {FT::ftGuid, "g", 37, "g:ftGuid:38", "Invalid field size"},
      {FT::ftBCD, "n", 33, "n:ftBCD:4", "Invalid field size"},
      {FT::ftFMTBcd, "n", 65, "n:ftFMTBcd:8", "Invalid field size"},
      // Text sizes are checked last, after the field joined the table.
      {FT::ftWideString, "nome", 0, "nome:ftWideString:0", "Size not defined for field \"nome\"."},
      {FT::ftString, "s", 0, "s:ftString:0", "Size not defined for field \"s\"."},
      // Types without a field class are refused before anything changes.
      {FT::ftStream, "x", 0, "", "Field type ftStream cannot be used for field \"x\"."},
      {FT::ftUnknown, "x", 0, "", "Field type ftUnknown cannot be used for field \"x\"."},
      {static_cast<FT>(200), "x", 0, "", "Field type 200 cannot be used for field \"x\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Fields);
    TMemTable table;
    EXPECT_EQ(
        ErrorOf([&] { TConverterUtil::NewDataSetField(table, c.Type, c.Name, c.Size, "", ""); }),
        *c.Error ? c.Error : "(no error)");
    EXPECT_EQ(FieldList(table), c.Fields);
  }
}

TEST(NewDataSetField, NamesOriginsAndClashes) {
  TMemTable table;
  memtable::TField& first = TConverterUtil::NewDataSetField(table, TFieldType::ftInteger, "a-b", 0,
                                                            "JSONObject", "Label");
  EXPECT_EQ(first.Name(), "ab");
  EXPECT_EQ(first.Origin(), "JSONObject");
  EXPECT_EQ(first.DisplayLabel(), "Label");
  EXPECT_EQ(&table.FieldByName("A-B"), &first);
  EXPECT_EQ(
      TConverterUtil::NewDataSetField(table, TFieldType::ftInteger, "", 0, "", "").FieldName(),
      "Field2");

  // Names that differ only in characters identifiers drop clash as components;
  // equal names (ignoring case) clash as fields. Both leave the field attached.
  EXPECT_EQ(ErrorOf([&] {
              TConverterUtil::NewDataSetField(table, TFieldType::ftInteger, "AB", 0, "", "");
            }),
            "A component named AB already exists");
  EXPECT_EQ(ErrorOf([&] {
              TConverterUtil::NewDataSetField(table, TFieldType::ftInteger, "a-B", 0, "", "");
            }),
            "Duplicate field name 'a-B'");
  EXPECT_EQ(FieldList(table), "a-b:ftInteger:0,Field2:ftInteger:0,AB:ftInteger:0");

  // A named table prefixes its component names.
  TMemTable named;
  named.SetName("Orders");
  EXPECT_EQ(TConverterUtil::NewDataSetField(named, TFieldType::ftInteger, "1 id", 0, "", "").Name(),
            "Orders1id");
}

TEST(DataSetFieldToType, ClassifiesTheTrimmedOriginIgnoringCase) {
  struct Case {
    const char* Origin;
    TDataSetFieldType Type;
  };
  const Case cases[] = {
      {"JSONObject", TDataSetFieldType::dfJSONObject},
      {"  jsonobject\t", TDataSetFieldType::dfJSONObject},
      {"JSONARRAY", TDataSetFieldType::dfJSONArray},
      {"Unknown", TDataSetFieldType::dfUnknown},
      {"", TDataSetFieldType::dfUnknown},
      {"JSON Object", TDataSetFieldType::dfUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Origin);
    memtable::TDataSetField field;
    field.SetOrigin(c.Origin);
    EXPECT_EQ(TConverterUtil::DataSetFieldToType(field), c.Type);
  }
}

}  // namespace
}  // namespace tandemize::converter
