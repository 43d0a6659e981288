// The client's readers (CSV, JSON Lines) and its column types: what each
// input gives, where a bad one is reported, and which type a column gets.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/schema.h"
#include "cli/source.h"

namespace tandemize::cli {
namespace {

// A row shown as its values ("~" for null) and the lines they begin on.
std::string Show(const TSourceRow& aRow) {
  std::string text = std::to_string(aRow.Line) + ":";
  for (std::size_t i = 0; i < aRow.Cells.size(); ++i) {
    text += aRow.Cells[i].Kind == TCellKind::ckNull ? "~" : "[" + aRow.Cells[i].Text + "]";
    if (i < aRow.Lines.size() && aRow.Lines[i] != aRow.Line) {
      text += "@" + std::to_string(aRow.Lines[i]);
    }
    text += " ";
  }
  return text;
}

std::vector<std::string> Rows(const TSourceTable& aTable) {
  std::vector<std::string> rows;
  for (const TSourceRow& row : aTable.Rows) rows.push_back(Show(row));
  return rows;
}

struct TCsvCase {
  const char* Name;
  std::string Input;
  std::vector<std::string> Columns;
  std::vector<std::string> Rows;
};

TEST(CsvReader, ValuesNullsAndTheLinesTheyBeginOn) {
  const TCsvCase cases[] = {
      {"plain", "a,b\n1,2\n3,4\n", {"a", "b"}, {"2:[1] [2] ", "3:[3] [4] "}},
      {"no final line break", "a,b\n1,2", {"a", "b"}, {"2:[1] [2] "}},
      {"quotes, commas and doubled quotes",
       "a,b\n\"S\xC3\xA3o Paulo, \"\"SP\"\"\",x\n",
       {"a", "b"},
       {"2:[S\xC3\xA3o Paulo, \"SP\"] [x] "}},
      {"a line break inside a value moves the lines after it",
       "id,text,n\n1,\"one\ntwo\nthree\",5\n2,b,6\n",
       {"id", "text", "n"},
       {"2:[1] [one\ntwo\nthree] [5]@4 ", "5:[2] [b] [6] "}},
      {"empty unquoted is null, empty quoted is empty text",
       "a,b,c\n,\"\",x\n",
       {"a", "b", "c"},
       {"2:~ [] [x] "}},
      {"blanks stay part of a value", "a,b\n x , y\n", {"a", "b"}, {"2:[ x ] [ y] "}},
      {"CR LF line ends and a byte order mark",
       "\xEF\xBB\xBF"
       "a,b\r\n1,2\r\n3,4\r\n",
       {"a", "b"},
       {"2:[1] [2] ", "3:[3] [4] "}},
      {"header only", "a,b\n", {"a", "b"}, {}},
  };
  for (const TCsvCase& c : cases) {
    std::istringstream input(c.Input);
    const TSourceTable table = ReadCsv(input, "in.csv");
    EXPECT_EQ(table.Columns, c.Columns) << c.Name;
    EXPECT_EQ(Rows(table), c.Rows) << c.Name;
  }
}

struct TBadInput {
  const char* Name;
  std::string Input;
  std::string Message;  // the start of the error
};

TEST(CsvReader, BadInputIsReportedWithItsLine) {
  const TBadInput cases[] = {
      {"too few values", "a,b\n1,2\n3\n", "in.csv:3: 1 values where the header names 2 columns"},
      {"too many values after a value over two lines", "a,b\n\"x\ny\",2\n3,4,5\n",
       "in.csv:4: 3 values where"},
      {"quote inside an unquoted value", "a,b\n1,2\n3,x\"y\n", "in.csv:3:"},
      {"quoted value never closed", "a,b\n1,\"open\n2,3\n", "in.csv:2: a quoted value is not"},
      {"not UTF-8 (Latin-1 export)", "a,b\n1,S\xE3o\n",
       "in.csv:2: column 2 (b): the text is not UTF-8"},
      {"header with an empty name", "a,,c\n1,2,3\n", "in.csv:1: column 2 of the header"},
      {"header naming a column twice", "a,b,a\n", "in.csv:1: the header names column \"a\" twice"},
      {"empty file", "", "in.csv: no header line"},
  };
  for (const TBadInput& c : cases) {
    std::istringstream input(c.Input);
    try {
      ReadCsv(input, "in.csv");
      ADD_FAILURE() << c.Name << ": no error";
    } catch (const EInputError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.Message, 0), 0u) << c.Name << ": " << e.what();
    }
  }
}

TEST(JsonLinesReader, MembersBecomeColumnsInOrderOfFirstUse) {
  std::istringstream input(
      "{\"id\":1,\"nome\":\"Ana\",\"preco\":2.5}\n"
      "\n"
      "{\"nome\":null,\"id\":2,\"extra\":true}\r\n"
      "{\"id\":3,\"obj\":{\"a\":[1]}}\n");
  const TSourceTable table = ReadJsonLines(input, "in.jsonl");
  EXPECT_EQ(table.Columns, (std::vector<std::string>{"id", "nome", "preco", "extra", "obj"}));
  EXPECT_EQ(Rows(table), (std::vector<std::string>{"1:[1] [Ana] [2.5] ~ ~ ", "3:[2] ~ ~ [true] ~ ",
                                                   "4:[3] ~ ~ ~ [{\"a\":[1]}] "}));
}

TEST(JsonLinesReader, BadLinesAreReportedWithTheirNumber) {
  const TBadInput cases[] = {
      {"an array", "{\"id\":1}\n[1,2]\n", "in.jsonl:2: not a JSON object"},
      {"cut short", "{\"id\":1}\n\n{\"id\":\n", "in.jsonl:3:"},
      {"a member twice", "{\"id\":1,\"id\":2}\n", "in.jsonl:1: member \"id\" appears twice"},
  };
  for (const TBadInput& c : cases) {
    std::istringstream input(c.Input);
    try {
      ReadJsonLines(input, "in.jsonl");
      ADD_FAILURE() << c.Name << ": no error";
    } catch (const EInputError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.Message, 0), 0u) << c.Name << ": " << e.what();
    }
  }
}

TSourceTable OneColumn(const std::vector<const char*>& aValues) {
  TSourceTable table;
  table.Origin = "in.csv";
  table.Columns = {"c"};
  std::uint32_t line = 1;
  for (const char* value : aValues) {
    TSourceRow row;
    row.Line = ++line;
    row.Cells.resize(1);
    if (value != nullptr) row.Cells[0] = {TCellKind::ckText, value};
    table.Rows.push_back(row);
  }
  return table;
}

struct TInferCase {
  std::vector<const char*> Values;  // nullptr: null
  const char* Type;
};

TEST(SchemaInference, NarrowestTypeThatReadsEveryValue) {
  const TInferCase cases[] = {
      {{"1", "-2", "+30", "0"}, "integer"},
      {{"9223372036854775807"}, "integer"},
      {{"9223372036854775808"}, "decimal"},  // past int64
      {{"1", "2.50", "-0.001"}, "decimal"},
      {{"1.5e3", "2"}, "float"},
      {{"1.5", "abc"}, "text"},
      {{"007", "12"}, "text"},  // leading zeros: codes, not numbers
      {{"1.", ".5"}, "text"},
      {{"2024-02-29", "1999-12-31"}, "date"},
      {{"2023-02-29"}, "text"},  // no such day
      {{"2024-01-01", "2024-01-01 10:00", "2024-01-01T10:00:59.125"}, "datetime"},
      {{"2024-01-01T24:00"}, "text"},
      {{"2024-01-01T10:00+02:00"}, "text"},
      {{"0x0102", "\\xff", "0x"}, "blob"},
      {{"0x123"}, "text"},  // odd digit count
      {{"AQID+w==", "//8="}, "blob"},
      {{"Lisboa", "Rio1"}, "text"},  // decode as Base64 but show no mark of it
      {{nullptr, "5"}, "integer"},
      {{nullptr, nullptr}, "text"},
      {{"true", "false"}, "text"},
  };
  for (const TInferCase& c : cases) {
    const std::vector<TColumnSchema> schema = InferSchema(OneColumn(c.Values), {});
    ASSERT_EQ(schema.size(), 1u);
    EXPECT_EQ(ValueTypeName(schema[0].Type), c.Type) << c.Values[0];
  }
}

TEST(SchemaInference, SizesOfTextAndDecimalColumns) {
  const std::vector<TColumnSchema> text =
      InferSchema(OneColumn({"S\xC3\xA3o", "ab", "\xF0\x9F\x98\x80"}), {});
  EXPECT_EQ(text[0].Length, 3);  // characters (UTF-16 units), not bytes
  const std::vector<TColumnSchema> decimal = InferSchema(OneColumn({"123.4", "-0.05", "7"}), {});
  EXPECT_EQ(decimal[0].Precision, 5);  // 3 digits before the point, 2 after
  EXPECT_EQ(decimal[0].Scale, 2);
}

TEST(SchemaInference, GivenTypesWinAndBadValuesNameTheirPlace) {
  const TSourceTable table = OneColumn({"12", "1.5", "x"});
  EXPECT_EQ(ParseSchemaOption("c:text").at("c"), TValueType::vtText);
  const std::vector<TColumnSchema> schema = InferSchema(table, ParseSchemaOption("c:decimal"));
  EXPECT_EQ(schema[0].Type, TValueType::vtDecimal);
  EXPECT_NO_THROW(ConvertValue(table, table.Rows[1], 0, schema[0]));
  try {
    ConvertValue(table, table.Rows[2], 0, schema[0]);
    ADD_FAILURE() << "no error";
  } catch (const EInputError& e) {
    EXPECT_STREQ(e.what(), "in.csv:4: column 1 (c): \"x\" is not a decimal");
  }
  for (const char* bad : {"c", "c:number", ":text", "c:text,d"}) {
    EXPECT_THROW(ParseSchemaOption(bad), EInputError) << bad;
  }
  EXPECT_THROW(InferSchema(table, ParseSchemaOption("missing:text")), EInputError);
}

TEST(SchemaConversion, ValuesInTheLayoutTheRowStoreKeeps) {
  const TSourceTable table = OneColumn({"2024-02-29T13:45:07.25", "0x00ff", "AQID"});
  TColumnSchema column;
  column.Type = TValueType::vtDateTime;
  const auto stamp =
      std::get<memtable::TSQLTimeStamp>(ConvertValue(table, table.Rows[0], 0, column));
  EXPECT_EQ(IsoDateTime(stamp), "2024-02-29T13:45:07.250");
  column.Type = TValueType::vtBlob;
  EXPECT_EQ(std::get<memtable::TBytes>(ConvertValue(table, table.Rows[1], 0, column)),
            (memtable::TBytes{0x00, 0xFF}));
  EXPECT_EQ(std::get<memtable::TBytes>(ConvertValue(table, table.Rows[2], 0, column)),
            (memtable::TBytes{1, 2, 3}));
  // Day numbers count from 0001-01-01 as day 1.
  EXPECT_EQ(DayNumber(1, 1, 1), 1);
  EXPECT_EQ(DayNumber(1899, 12, 30), 693594);
  for (const char* date : {"0001-01-01", "1899-12-30", "1970-01-01", "2000-02-29", "9999-12-31"}) {
    int y = 0;
    unsigned m = 0, d = 0;
    const TSourceTable one = OneColumn({date});
    column.Type = TValueType::vtDate;
    const std::int32_t day = std::get<std::int32_t>(ConvertValue(one, one.Rows[0], 0, column));
    CivilFromDayNumber(day, y, m, d);
    EXPECT_EQ(IsoDate(day), date);
  }
}

}  // namespace
}  // namespace tandemize::cli
