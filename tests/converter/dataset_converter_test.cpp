#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "converter/converter.h"
#include "converter/converter_test_util.h"
#include "converter/dataset_converter.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {
namespace {

using memtable::TField;
using memtable::TMemTable;
using testing::ErrorOf;
using testing::LoadStructureText;

constexpr double kMarch5th2024 = 45356;

// Appends one record, filling it with `fill`.
void AppendRecord(TMemTable& table, const std::function<void(TMemTable&)>& fill) {
  if (!table.Active()) table.Open();
  table.Append();
  fill(table);
  table.Post();
}

TEST(CurrentRecordToJsonObject, WritesMembersByFieldType) {
  struct Case {
    const char* Type;
    int Size;
    std::function<void(TField&)> Set;
    const char* Json;
  };
  const Case cases[] = {
      {"ftWideString", 10, [](TField& f) { f.SetAsString("Ana \xC3\xA9"); },
       R"({"v":"Ana \u00e9"})"},
      {"ftWideString", 10, [](TField&) {}, R"({"v":null})"},
      {"ftMemo", 0, [](TField& f) { f.SetAsString(""); }, R"({"v":""})"},
      {"ftInteger", 0, [](TField& f) { f.SetAsInteger(-7); }, R"({"v":-7})"},
      {"ftInteger", 0, [](TField&) {}, R"({"v":0})"},
      {"ftSmallint", 0, [](TField&) {}, R"({"v":0})"},
      {"ftLargeint", 0, [](TField& f) { f.SetAsLargeInt(9007199254740993); },
       R"({"v":9007199254740993})"},
      {"ftLargeint", 0, [](TField&) {}, R"({"v":0})"},
      {"ftAutoInc", 0, [](TField& f) { f.SetAsInteger(5); }, R"({"v":"5"})"},
      {"ftLongWord", 0, [](TField& f) { f.SetAsLargeInt(4294967295); }, R"({"v":"4294967295"})"},
      {"ftLongWord", 0, [](TField&) {}, R"({"v":null})"},
      {"ftBoolean", 0, [](TField& f) { f.SetAsBoolean(true); }, R"({"v":true})"},
      {"ftBoolean", 0, [](TField&) {}, R"({"v":false})"},
      {"ftFloat", 0, [](TField& f) { f.SetAsFloat(1.5); }, R"({"v":1.5})"},
      {"ftFloat", 0, [](TField&) {}, R"({"v":0})"},
      {"ftExtended", 0, [](TField& f) { f.SetAsFloat(-0.25); }, R"({"v":-0.25})"},
      {"ftCurrency", 0, [](TField& f) { f.SetAsCurrency({12346}); }, R"({"v":1.2346})"},
      {"ftCurrency", 0, [](TField&) {}, R"({"v":null})"},
      {"ftDate", 0, [](TField& f) { f.SetAsDateTime(kMarch5th2024); }, R"({"v":"2024-03-05"})"},
      {"ftDate", 0, [](TField&) {}, R"({"v":null})"},
      {"ftTime", 0, [](TField& f) { f.SetAsDateTime((14 * 3600 + 7 * 60 + 9.9) / 86400); },
       R"({"v":"14:07:09"})"},
      {"ftDateTime", 0,
       [](TField& f) { f.SetAsDateTime(kMarch5th2024 + (14 * 3600 + 7 * 60 + 9.123) / 86400); },
       R"({"v":"2024-03-05T14:07:09.123Z"})"},
      {"ftTimeStamp", 0, [](TField& f) { f.SetAsDateTime(kMarch5th2024 + 0.5); },
       R"({"v":"2024-03-05T12:00:00.000Z"})"},
      {"ftBlob", 0,
       [](TField& f) {
         f.SetAsBytes({1, 2, 3});
       },
       R"({"v":"AQID"})"},
      {"ftBlob", 0, [](TField&) {}, R"({"v":""})"},
      {"ftDataSet", 0, [](TField&) {}, "{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Type) + " " + c.Json);
    TMemTable table;
    LoadStructureText(table, std::string(R"([{"fieldName":"V","dataType":")") + c.Type +
                                 R"(","size":)" + std::to_string(c.Size) + "}]");
    AppendRecord(table, [&](TMemTable& t) { c.Set(t.FieldByName("v")); });
    EXPECT_EQ(TConverter::New()->ForDataSet(table)->CurrentRecordToJsonObject().Stringify(),
              c.Json);
  }
}

TEST(CurrentRecordToJsonObject, RefusesTypesItCannotWrite) {
  TMemTable table;
  LoadStructureText(table, R"([{"fieldName":"Counter","dataType":"ftWord"}])");
  AppendRecord(table, [](TMemTable&) {});
  EXPECT_EQ(ErrorOf([&] { TConverter::New()->ForDataSet(table)->CurrentRecordToJsonObject(); }),
            "Cannot find type for field \"counter\"");
}

TEST(CurrentRecordToJsonObject, BreaksLongBlobsIntoLinesOf76) {
  TMemTable table;
  LoadStructureText(table, R"([{"fieldName":"b","dataType":"ftBlob"}])");
  struct Case {
    std::size_t Bytes;
    std::size_t Lines;
  };
  // 57 bytes fill exactly one line of 76 characters.
  for (const Case c : {Case{57, 1}, Case{58, 2}, Case{114, 2}, Case{200, 4}}) {
    SCOPED_TRACE(c.Bytes);
    memtable::TBytes bytes(c.Bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    AppendRecord(table, [&](TMemTable& t) { t.FieldByName("b").SetAsBytes(bytes); });
    const std::string text =
        TConverter::New()->ForDataSet(table)->CurrentRecordToJsonObject().Values("b").AsString();
    std::size_t lines = 1;
    std::size_t lineStart = 0;
    for (std::size_t pos = text.find("\r\n"); pos != std::string::npos;
         pos = text.find("\r\n", lineStart)) {
      EXPECT_EQ(pos - lineStart, 76u);
      lineStart = pos + 2;
      ++lines;
    }
    EXPECT_EQ(lines, c.Lines);
    EXPECT_LE(text.size() - lineStart, 76u);
    // The loader reads the broken lines back.
    TConverter::New()
        ->ForJson(R"([{"b":")" + json::TJsonBase::Encode(text) + R"("}])")
        ->LoadRecords(table);
    EXPECT_EQ(table.FieldByName("b").AsBytes(), bytes);
  }
}

TEST(DataSetConverter, WritesRecordsAndStructure) {
  TMemTable table;
  LoadStructureText(table, R"([{"fieldName":"id","dataType":"ftInteger"},)"
                           R"({"fieldName":"Nome","dataType":"ftWideString","size":60},)"
                           R"({"fieldName":"ativo","dataType":"ftBoolean"},)"
                           R"({"fieldName":"NASC","dataType":"ftDate"}])");
  const std::shared_ptr<IDataSetConverter> converter = TConverter::New()->ForDataSet(table);
  EXPECT_EQ(converter->CurrentRecordToJsonObject().Stringify(), "{}");
  EXPECT_EQ(converter->RecordsToJsonArray().Stringify(), "[]");
  EXPECT_EQ(converter->StructureToJsonArray().Stringify(),
            R"([{"fieldName":"id","dataType":"ftInteger","size":0},)"
            R"({"fieldName":"nome","dataType":"ftWideString","size":60},)"
            R"({"fieldName":"ativo","dataType":"ftBoolean","size":0},)"
            R"({"fieldName":"nasc","dataType":"ftDate","size":0}])");

  TConverter::New()
      ->ForJson(R"([{"id":7,"nome":"Ana","ativo":true,"nasc":null},)"
                R"({"id":8,"nome":null,"ativo":false,"nasc":"2024-03-05"},)"
                R"({"id":9,"nome":"Bia","ativo":false,"nasc":null}])")
      ->LoadRecords(table);
  table.SetRecNo(1);
  EXPECT_EQ(converter->CurrentRecordToJsonObject().Stringify(),
            R"({"id":7,"nome":"Ana","ativo":true,"nasc":null})");

  // All records, then back on the record that was current.
  table.SetRecNo(2);
  EXPECT_EQ(converter->RecordsToJsonArray().Stringify(),
            R"([{"id":7,"nome":"Ana","ativo":true,"nasc":null},)"
            R"({"id":8,"nome":null,"ativo":false,"nasc":"2024-03-05"},)"
            R"({"id":9,"nome":"Bia","ativo":false,"nasc":null}])");
  EXPECT_EQ(table.RecNo(), 2);

  // A hidden field is listed in the structure but left out of records.
  table.FieldDefs()[1].Attributes.Include(memtable::TFieldAttribute::faHiddenCol);
  EXPECT_EQ(converter->CurrentRecordToJsonObject().Stringify(),
            R"({"id":8,"ativo":false,"nasc":"2024-03-05"})");
  EXPECT_EQ(converter->StructureToJsonArray().Count(), 4);
}

TEST(DataSetConverter, RestoresTheCurrentRecordAfterAFailure) {
  TMemTable table;
  LoadStructureText(table, R"([{"fieldName":"id","dataType":"ftInteger"},)"
                           R"({"fieldName":"w","dataType":"ftWord"}])");
  for (int id = 1; id <= 3; ++id) {
    AppendRecord(table, [&](TMemTable& t) { t.FieldByName("id").SetAsInteger(id); });
  }
  table.SetRecNo(2);
  const std::shared_ptr<IDataSetConverter> converter = TDataSetConverter::New()->UseDataSet(table);
  EXPECT_EQ(ErrorOf([&] { converter->RecordsToJsonArray(); }), "Cannot find type for field \"w\"");
  EXPECT_EQ(table.RecNo(), 2);
}

TEST(DataSetConverter, NeedsATable) {
  const std::shared_ptr<IDataSetConverter> converter = TConverter::New()->ForDataSet();
  for (const auto& call : std::initializer_list<std::function<void()>>{
           [&] { converter->CurrentRecordToJsonObject(); },
           [&] { converter->RecordsToJsonArray(); }, [&] { converter->StructureToJsonArray(); }}) {
    EXPECT_EQ(ErrorOf(call), "DataSet Uninformed.");
    EXPECT_THROW(call(), EDataSetConverterException);
  }
  TMemTable noFields;
  EXPECT_EQ(converter->UseDataSet(noFields)->StructureToJsonArray().Stringify(), "[]");
}

// Table -> JSON -> table keeps types, sizes and values.
TEST(DataSetConverter, RoundTripKeepsTypesSizesAndValues) {
  constexpr const char* kStructure = R"([{"fieldName":"id","dataType":"ftInteger","size":0},)"
                                     R"({"fieldName":"code","dataType":"ftString","size":5},)"
                                     R"({"fieldName":"nome","dataType":"ftWideString","size":40},)"
                                     R"({"fieldName":"notes","dataType":"ftWideMemo","size":0},)"
                                     R"({"fieldName":"small","dataType":"ftSmallint","size":0},)"
                                     R"({"fieldName":"big","dataType":"ftLargeint","size":0},)"
                                     R"({"fieldName":"seq","dataType":"ftAutoInc","size":0},)"
                                     R"({"fieldName":"unsigned","dataType":"ftLongWord","size":0},)"
                                     R"({"fieldName":"ativo","dataType":"ftBoolean","size":0},)"
                                     R"({"fieldName":"ratio","dataType":"ftFloat","size":0},)"
                                     R"({"fieldName":"price","dataType":"ftCurrency","size":0},)"
                                     R"({"fieldName":"amount","dataType":"ftBCD","size":4},)"
                                     R"({"fieldName":"nasc","dataType":"ftDate","size":0},)"
                                     R"({"fieldName":"hora","dataType":"ftTime","size":0},)"
                                     R"({"fieldName":"quando","dataType":"ftDateTime","size":0},)"
                                     R"({"fieldName":"stamp","dataType":"ftTimeStamp","size":0},)"
                                     R"({"fieldName":"foto","dataType":"ftBlob","size":0}])";
  constexpr const char* kData =
      R"([{"id":1,"code":"AB","nome":"Jo\u00e3o","notes":"line\nbreak","small":-5,)"
      R"("big":9007199254740993,"seq":"10","unsigned":"4294967295","ativo":true,"ratio":0.125,)"
      R"("price":1.2346,"amount":12.5,"nasc":"2024-03-05","hora":"14:07:09",)"
      R"("quando":"2024-03-05T14:07:09.123Z","stamp":"1999-12-31T23:59:59.999Z","foto":"AQID"},)"
      R"({"id":2,"code":null,"nome":null,"notes":null,"small":0,"big":0,"seq":null,)"
      R"("unsigned":null,"ativo":false,"ratio":0,"price":null,"amount":0,"nasc":null,)"
      R"("hora":null,"quando":null,"stamp":null,"foto":""}])";

  TMemTable source;
  LoadStructureText(source, kStructure);
  TConverter::New()->ForJson(kData)->LoadRecords(source);
  const std::shared_ptr<IDataSetConverter> fromSource = TConverter::New()->ForDataSet(source);
  const std::string structure = fromSource->StructureToJsonArray().Stringify();
  const std::string records = fromSource->RecordsToJsonArray().Stringify();
  EXPECT_EQ(structure, kStructure);
  EXPECT_EQ(records, kData);

  TMemTable copy;
  LoadStructureText(copy, structure);
  TConverter::New()->ForJson(records)->LoadRecords(copy);
  const std::shared_ptr<IDataSetConverter> fromCopy = TConverter::New()->ForDataSet(copy);
  EXPECT_EQ(fromCopy->StructureToJsonArray().Stringify(), structure);
  EXPECT_EQ(fromCopy->RecordsToJsonArray().Stringify(), records);
}

}  // namespace
}  // namespace tandemize::converter
