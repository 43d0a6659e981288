#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "converter/converter.h"
#include "converter/converter_test_util.h"
#include "converter/json_converter.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {
namespace {

using json::TJsonArray;
using json::TJsonObject;
using memtable::TMemTable;
using testing::ErrorOf;
using testing::FieldList;
using testing::LoadStructureText;
using testing::Render;

constexpr const char* kIdNome = R"([{"fieldName":"id","dataType":"ftInteger","size":0},)"
                                R"({"fieldName":"nome","dataType":"ftWideString","size":60}])";

TEST(LoadStructure, BuildsFieldsOrStopsAtTheFailingElement) {
  struct Case {
    const char* Structure;
    const char* Fields;  // the table's fields afterwards
    const char* Error;
  };
  const Case cases[] = {
      {kIdNome, "id:ftInteger:0,nome:ftWideString:60", ""},
      {R"([{"fieldName":"id","dataType":"FTINTEGER"}])", "id:ftInteger:0", ""},
      {R"([{"dataType":"ftFixedChar","fieldName":"c","size":3,"extra":[1]},)"
       R"({"fieldName":"b","dataType":"ftOraBlob","size":0},{"dataType":"ftInteger"}])",
       "c:ftString:3,b:ftBlob:0,Field3:ftInteger:0", ""},
      {R"([{"fieldName":"id","dataType":"ftInteger","size":4}])", "id:ftInteger:0",
       "Invalid field size"},
      {R"([{"fieldName":"nome","dataType":"ftWideString","size":0}])", "nome:ftWideString:0",
       "Size not defined for field \"nome\"."},
      {R"([{"fieldName":"nome","dataType":"ftWideString"}])", "nome:ftWideString:0",
       "Size not defined for field \"nome\"."},
      {R"([{"fieldName":"ID","dataType":"ftInteger","size":0},)"
       R"({"fieldName":"id","dataType":"ftInteger","size":0}])",
       "ID:ftInteger:0", "Duplicate field name 'id'"},
      {R"([{"fieldName":"a-b","dataType":"ftInteger"},{"fieldName":"ab","dataType":"ftInteger"}])",
       "a-b:ftInteger:0,ab:ftInteger:0", "A component named ab already exists"},
      {"[]", "", "The JSON is Empty."},
      {R"([{"fieldName":"id","dataType":"ftInteger"},5])", "id:ftInteger:0",
       "<TJsonValue>\"\" value type error: jvInteger to jvObject"},
      {R"([{"fieldName":"x","dataType":"ftNothing","size":0}])", "",
       "Unknown data type \"ftNothing\" for field \"x\"."},
      {R"([{"fieldName":"x","size":0}])", "", "Unknown data type \"\" for field \"x\"."},
      {R"([{"fieldName":"x","dataType":"ftStream","size":0}])", "",
       "Field type ftStream cannot be used for field \"x\"."},
      {R"([{"fieldName":"x","dataType":"ftString","size":"abc"}])", "",
       "'abc' is not a valid integer value"},
      {R"([{"fieldName":"x","dataType":"ftString","size":4294967356}])", "", "Invalid field size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Structure);
    TMemTable table;
    EXPECT_EQ(ErrorOf([&] { LoadStructureText(table, c.Structure); }),
              *c.Error ? c.Error : "(no error)");
    EXPECT_EQ(FieldList(table), c.Fields);
    EXPECT_FALSE(table.Active());
  }
}

TEST(LoadStructure, ReplacesTheFieldsOfAnOpenTable) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  TConverter::New()->ForJson(R"([{"id":1,"nome":"x"}])")->LoadRecords(table);
  ASSERT_TRUE(table.Active());

  LoadStructureText(table, R"([{"fieldName":"code","dataType":"ftLargeint"}])");
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(FieldList(table), "code:ftLargeint:0");
  TConverter::New()->ForJson(R"([{"code":7}])")->LoadRecords(table);
  EXPECT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(Render(table.FieldByName("code")), "int:7");
}

TEST(LoadStructure, RefusesWhatIsNotAnArray) {
  TJsonObject object;
  TMemTable table;
  EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForJson(object)->LoadStructure(table); }),
            "To convert a structure only JSONArray is allowed.");
  EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForJson()->LoadStructure(table); }),
            "JSON Value Uninformed.");
  EXPECT_THROW(TConverter::New()->ForJson()->LoadStructure(table), EDataSetConverterException);
}

// One field "v" of a type, one row with a member value (or none), and the
// value the field holds afterwards.
TEST(LoadRecords, ConvertsMembersByFieldType) {
  struct Case {
    const char* Type;
    int Size;
    const char* Member;  // JSON text of "v", or nullptr for a row without it
    const char* Stored;
  };
  const Case cases[] = {
      {"ftWideString", 60, R"("Ana")", "text:Ana"},
      {"ftWideString", 3, R"("Anabela")", "text:Ana"},
      {"ftWideString", 2, R"("\u00e7\u00e3o")", "text:\xC3\xA7\xC3\xA3"},
      {"ftWideString", 2, R"("a\ud83d\ude00")", "text:a"},  // never half a surrogate pair
      {"ftString", 3, R"("abcdef")", "text:abc"},
      {"ftWideString", 60, "null", "null"},
      {"ftWideString", 60, nullptr, "text:"},
      {"ftWideMemo", 0, R"("long text")", "text:long text"},
      {"ftInteger", 0, "42", "int:42"},
      {"ftInteger", 0, R"("12")", "int:12"},
      {"ftInteger", 0, "true", "int:1"},
      {"ftInteger", 0, nullptr, "int:0"},
      {"ftInteger", 0, "null", "null"},
      {"ftSmallint", 0, "-32768", "int:-32768"},
      {"ftShortint", 0, "127", "int:127"},
      {"ftLongWord", 0, "4294967295", "int:4294967295"},
      {"ftLargeint", 0, "9007199254740993", "int:9007199254740993"},
      {"ftAutoInc", 0, "5", "int:5"},
      {"ftBoolean", 0, "true", "bool:true"},
      {"ftBoolean", 0, R"("TRUE")", "bool:true"},
      {"ftBoolean", 0, nullptr, "bool:false"},
      {"ftFloat", 0, "1.5", "float:1.5"},
      {"ftFloat", 0, R"("2.25")", "float:2.25"},
      {"ftBCD", 2, "1.5", "float:1.5"},
      // Currency: ten-thousandths, rounded half to even.
      {"ftCurrency", 0, "1.23455", "currency:12346"},
      {"ftCurrency", 0, "12.345678", "currency:123457"},
      {"ftCurrency", 0, "2.5", "currency:25000"},
      {"ftCurrency", 0, "0.00005", "currency:0"},
      {"ftCurrency", 0, "-3", "currency:-30000"},
      {"ftDate", 0, R"("2024-03-05")", "date:45356"},
      {"ftDate", 0, R"("2024-03-05T23:00:00")", "date:45356"},
      {"ftTime", 0, R"("18:00:00")", "date:0.75"},
      {"ftDateTime", 0, R"("2024-03-05T12:00:00-03:00")", "date:45356.625"},
      {"ftTimeStamp", 0, R"("2024-03-05T12:00:00Z")", "date:45356.5"},
      {"ftBlob", 0, R"("AQID")", "bytes:1,2,3"},
      {"ftBlob", 0, R"("AQ\r\nID")", "bytes:1,2,3"},
      {"ftBlob", 0, R"("AQI")", "bytes:1,2"},
      {"ftBlob", 0, "null", "null"},
      {"ftGraphic", 0, R"("/w==")", "bytes:255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Type) + " " + (c.Member ? c.Member : "(missing)"));
    TMemTable table;
    LoadStructureText(table, std::string(R"([{"fieldName":"v","dataType":")") + c.Type +
                                 R"(","size":)" + std::to_string(c.Size) + "}]");
    const std::string row = c.Member ? std::string(R"([{"V":)") + c.Member + "}]" : "[{}]";
    ASSERT_EQ(ErrorOf([&] { TConverter::New()->ForJson(row)->LoadRecords(table); }), "(no error)");
    ASSERT_EQ(table.RecordCount(), 1);
    EXPECT_EQ(Render(table.FieldByName("v")), c.Stored);
  }
}

TEST(LoadRecords, RefusesValuesTheFieldCannotTake) {
  struct Case {
    const char* Type;
    const char* Row;
    const char* Error;
  };
  const Case cases[] = {
      {"ftInteger", R"({"v":"x"})", "'x' is not a valid integer value"},
      {"ftSmallint", R"({"v":40000})",
       "40000 is not a valid value for field 'v'. The allowed range is -32768 to 32767"},
      {"ftShortint", R"({"v":-129})",
       "-129 is not a valid value for field 'v'. The allowed range is -128 to 127"},
      {"ftInteger", R"({"v":3000000000})",
       "3000000000 is not a valid value for field 'v'. The allowed range is -2147483648 to "
       "2147483647"},
      {"ftLongWord", R"({"v":-1})",
       "-1 is not a valid value for field 'v'. The allowed range is 0 to 4294967295"},
      {"ftLongWord", R"({"v":4294967296})",
       "4294967296 is not a valid value for field 'v'. The allowed range is 0 to 4294967295"},
      {"ftCurrency", R"({"v":1e300})",
       "1E300 is not a valid value for field 'v'. The allowed range is -922337203685478 to "
       "922337203685478"},
      {"ftDate", R"({"v":"05/03/2024"})", "'05/0' is not a valid integer value"},
      {"ftDate", "{}", "'' is not a valid integer value"},
      {"ftDateTime", R"({"v":"2024-03-05T14:07:09 junk"})", "Invalid time string: 14:07:09 junk"},
      {"ftTime", R"({"v":"25:00:00"})", "Invalid argument to time encode"},
      {"ftBlob", R"({"v":"A*QID"})", "Invalid Base64 value for field \"v\"."},
      {"ftBlob", R"({"v":"AQIDB"})", "Invalid Base64 value for field \"v\"."},
      {"ftInteger", R"({"v":{"a":1}})",
       "<TJsonValue>\"v\" value type error: jvObject to jvInteger"},
      {"ftWord", R"({"v":1})", "Cannot find type for field \"v\""},
      {"ftVarBytes", R"({"v":"AQID"})", "Cannot find type for field \"v\""},
      {"ftGuid", R"({"v":"x"})", "Cannot find type for field \"v\""},
      {"ftInteger", "5", "<TJsonValue>\"\" value type error: jvInteger to jvObject"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Type) + " " + c.Row);
    TMemTable table;
    const int size = std::string(c.Type) == "ftGuid"       ? 38
                     : std::string(c.Type) == "ftVarBytes" ? 8
                                                           : 0;
    LoadStructureText(table, std::string(R"([{"fieldName":"v","dataType":")") + c.Type +
                                 R"(","size":)" + std::to_string(size) + "}]");
    EXPECT_EQ(ErrorOf([&] {
                TConverter::New()->ForJson(std::string("[") + c.Row + "]")->LoadRecords(table);
              }),
              c.Error);
  }
}

TEST(LoadRecords, AppendsOneRecordPerRowObject) {
  struct Case {
    const char* Data;
    const char* Records;  // "id/nome;..." in record order
  };
  const Case cases[] = {
      {R"([{"id":1,"nome":"Ana"},{"id":2,"nome":null}])", "int:1/text:Ana;int:2/null;"},
      {R"([{"ID":1,"NOME":"Ana","other":true}])", "int:1/text:Ana;"},
      {R"([{"id":3}])", "int:3/text:;"},
      {R"([[{"id":1}],[{"id":2}]])", "int:1/text:;int:2/text:;"},
      {R"([{"id":1},[{"id":2},[{"id":3}]],{"id":4}])",
       "int:1/text:;int:2/text:;int:3/text:;int:4/text:;"},
      {R"({"id":9,"nome":"one"})", "int:9/text:one;"},
      {"[]", ""},
      {"[[]]", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Data);
    TMemTable table;
    LoadStructureText(table, kIdNome);
    TConverter::New()->ForJson(c.Data)->LoadRecords(table);
    EXPECT_TRUE(table.Active());
    std::string records;
    for (table.First(); !table.Eof(); table.Next()) {
      records += Render(table.FieldByName("id")) + "/" + Render(table.FieldByName("nome")) + ";";
    }
    EXPECT_EQ(records, c.Records);
  }
}

TEST(LoadRecords, FindsEachRowsMembersWhateverTheRowsBeforeIt) {
  // Rows of one array that name their members alike, then differently:
  // order, letter case, duplicates (the first one counts), a member missing.
  TMemTable table;
  LoadStructureText(table, kIdNome);
  TJsonArray rows;
  rows.Parse(R"([{"id":1,"nome":"a"},{"id":2,"nome":"b"},{"nome":"c","id":3},)"
             R"({"ID":4,"nome":"d"},{"id":5,"id":6,"nome":"e"},{"nome":"f","nome":"g","id":7},)"
             R"({"id":8},{"id":9,"nome":"h"},{"x":0,"id":10,"nome":"i"},{"id":11,"nome":"j"}])");
  TConverter::New()->ForJson(rows)->LoadRecords(table);
  std::string records;
  for (table.First(); !table.Eof(); table.Next()) {
    records += Render(table.FieldByName("id")) + "/" + Render(table.FieldByName("nome")) + ";";
  }
  EXPECT_EQ(records,
            "int:1/text:a;int:2/text:b;int:3/text:c;int:4/text:d;int:5/text:e;int:7/text:f;"
            "int:8/text:;int:9/text:h;int:10/text:i;int:11/text:j;");
  EXPECT_EQ(rows.Items(6).AsObject().Stringify(), R"({"id":8,"nome":null})");
}

TEST(LoadRecords, LooksUpEveryFieldInTheCallersRows) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  TJsonArray rows;
  rows.Parse(R"([{"id":1}])");
  TConverter::New()->ForJson(rows)->LoadRecords(table);
  // The row gained the member it lacked, as an unset value.
  EXPECT_EQ(rows.Stringify(), R"([{"id":1,"nome":null}])");
  EXPECT_EQ(rows.Items(0).AsObject().Values("nome").ValueType(), json::TJsonValueType::jvNone);
}

TEST(LoadRecords, SkipsReadOnlyFields) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  table.FieldByName("nome").SetReadOnly(true);
  TConverter::New()->ForJson(R"([{"id":1,"nome":"Ana"}])")->LoadRecords(table);
  EXPECT_EQ(Render(table.FieldByName("nome")), "null");
  EXPECT_EQ(Render(table.FieldByName("id")), "int:1");
}

TEST(LoadRecords, KeepsTheRecordsBeforeAFailingRow) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  EXPECT_EQ(ErrorOf([&] {
              TConverter::New()->ForJson(R"([{"id":1},{"id":2},{"id":"bad"}])")->LoadRecords(table);
            }),
            "'bad' is not a valid integer value");
  EXPECT_EQ(table.State(), memtable::TDataSetState::dsInsert);
  table.Cancel();
  EXPECT_EQ(table.RecordCount(), 2);
}

// Taking the rows frees each element of the bound array once its rows are
// records; the rows are read where they are, so a failure names the array's
// member, and the failing element and those after it stay.
TEST(TakeRecords, FreesEachElementOnceLoaded) {
  struct Case {
    const char* Data;
    const char* Records;  // "id/nome;..." in record order
    const char* Error;
    const char* Left;  // the array afterwards
  };
  const Case cases[] = {
      {R"([{"id":1,"nome":"Ana"},[{"id":2},[{"id":3}]],{"id":4}])",
       "int:1/text:Ana;int:2/text:;int:3/text:;int:4/text:;", "(no error)", "[]"},
      {"[]", "", "(no error)", "[]"},
      {R"([{"id":1},{"id":2},5,{"id":4}])", "int:1/text:;int:2/text:;",
       "<TJsonValue>\"data\" value type error: jvInteger to jvObject", R"([5,{"id":4}])"},
      {R"([{"id":1},[{"id":2},{"id":"bad"}],{"id":4}])", "int:1/text:;int:2/text:;",
       "'bad' is not a valid integer value", R"([[{"id":"bad"}],{"id":4}])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Data);
    TJsonObject envelope;
    envelope.Parse(std::string(R"({"data":)") + c.Data + "}");
    TJsonArray& data = envelope["data"].AsArray();
    TMemTable table;
    LoadStructureText(table, kIdNome);
    EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForJson(data)->TakeRecords(table); }), c.Error);
    if (table.State() != memtable::TDataSetState::dsBrowse) table.Cancel();
    std::string records;
    for (table.First(); !table.Eof(); table.Next()) {
      records += Render(table.FieldByName("id")) + "/" + Render(table.FieldByName("nome")) + ";";
    }
    EXPECT_EQ(records, c.Records);
    EXPECT_EQ(data.Stringify(), c.Left);
  }

  // A bound object is one row, loaded and left as it is.
  TMemTable table;
  LoadStructureText(table, kIdNome);
  TJsonObject row;
  row.Parse(R"({"id":9,"nome":"one"})");
  TConverter::New()->ForJson(row)->TakeRecords(table);
  EXPECT_EQ(table.RecordCount(), 1);
  EXPECT_EQ(row.Stringify(), R"({"id":9,"nome":"one"})");
}

TEST(LoadRecords, ChecksTheTableAndTheBoundJson) {
  TMemTable empty;
  EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForJson("[{}]")->LoadRecords(empty); }),
            "DataSet without Fields.");
  EXPECT_THROW(TConverter::New()->ForJson("[{}]")->LoadRecords(empty), EDataSetConverterException);
  EXPECT_FALSE(empty.Active());

  TMemTable table;
  LoadStructureText(table, kIdNome);
  EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForJson()->LoadRecords(table); }),
            "JSON Value Uninformed.");
  EXPECT_TRUE(table.Active());
  EXPECT_TRUE(table.IsEmpty());
}

TEST(UseJson, ParsesTextAndChains) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  const std::shared_ptr<IJsonConverter> converter = TJsonConverter::New();
  EXPECT_EQ(converter->UseJson(R"( [{"id":1},{"id":2}] )").get(), converter.get());
  converter->LoadRecords(table);
  converter->UseJson(R"({"id":3})")->LoadRecords(table);
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(Render(table.FieldByName("id")), "int:3");

  // Binding an array after an object (and back) loads what was bound last.
  TJsonObject object;
  object.Put("id", 4);
  TJsonArray array;
  array.Put(object).AsObject().Values("id").AsInteger(5);
  converter->UseJson(object)->UseJson(array)->LoadRecords(table);
  EXPECT_EQ(Render(table.FieldByName("id")), "int:5");
  converter->UseJson(object)->LoadRecords(table);
  EXPECT_EQ(Render(table.FieldByName("id")), "int:4");
  EXPECT_EQ(table.RecordCount(), 5);
}

TEST(UseJson, RefusesEmptyOrMalformedText) {
  const std::string empty = ErrorOf([] { TConverter::New()->ForJson(""); });
  EXPECT_EQ(empty, "JSON string Uninformed.");
  try {
    TConverter::New()->ForJson(std::string_view());
  } catch (const EDataSetConverterException&) {
    ADD_FAILURE() << "an empty text is a plain failure, not the converter's own";
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(ErrorOf([] { TConverter::New()->ForJson("abc"); }), "<TJson>\"\" parse error: abc");
  EXPECT_EQ(ErrorOf([] { TConverter::New()->ForJson(R"([{"a":tru}])"); }),
            "<TJsonValue>\"a\" parse error: tru");
}

TEST(LoadCurrentRecord, EditsRecordsInPlace) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  TConverter::New()->ForJson(R"([{"id":1},{"id":2},{"id":3}])")->LoadRecords(table);

  // An array edits the records from the first on; a bound object the current one.
  TConverter::New()
      ->ForJson(R"([{"id":10,"nome":"a"},{"id":20,"nome":"b"}])")
      ->LoadCurrentRecord(table);
  table.SetRecNo(3);
  TConverter::New()->ForJson(R"({"id":30,"nome":"c"})")->LoadCurrentRecord(table);

  std::string records;
  for (table.First(); !table.Eof(); table.Next()) {
    records += Render(table.FieldByName("id")) + "/" + Render(table.FieldByName("nome")) + ";";
  }
  EXPECT_EQ(records, "int:10/text:a;int:20/text:b;int:30/text:c;");
}

TEST(LoadCurrentRecord, InsertsIntoAnEmptyTableAndEndsEditModeOnFailure) {
  TMemTable table;
  LoadStructureText(table, kIdNome);
  const std::shared_ptr<IJsonConverter> converter = TConverter::New()->ForJson(R"({"id":1})");
  converter->LoadCurrentRecord(table);
  EXPECT_EQ(table.RecordCount(), 1);

  TJsonObject bad;
  bad.Put("id", "bad");
  EXPECT_EQ(ErrorOf([&] { converter->UseJson(bad)->LoadCurrentRecord(table); }),
            "'bad' is not a valid integer value");
  table.Cancel();
  // Back in append mode: the next load adds a record instead of editing.
  TJsonObject good;
  good.Put("id", 2);
  converter->UseJson(good)->LoadRecords(table);
  EXPECT_EQ(table.RecordCount(), 2);
}

}  // namespace
}  // namespace tandemize::converter
