// Nested-table fields (ftDataSet) both ways: JSON members into the field's
// nested table, and the nested table back as members, chosen by the Origin.
#include <gtest/gtest.h>

#include <string>

#include "converter/converter.h"
#include "converter/converter_test_util.h"
#include "json/json.h"
#include "memtable/mem_table.h"

namespace tandemize::converter {
namespace {

using memtable::TDataSetField;
using memtable::TMemTable;
using testing::LoadStructureText;
using testing::Render;

constexpr const char* kOrders = R"([{"fieldName":"id","dataType":"ftInteger","size":0},)"
                                R"({"fieldName":"items","dataType":"ftDataSet","size":0},)"
                                R"({"fieldName":"note","dataType":"ftWideString","size":20}])";
constexpr const char* kItems = R"([{"fieldName":"sku","dataType":"ftWideString","size":10},)"
                               R"({"fieldName":"qty","dataType":"ftInteger","size":0}])";

// Orders whose "items" field has the given Origin and the fields of kItems.
class NestedConverterTest : public ::testing::Test {
 protected:
  void Build(const char* origin) {
    LoadStructureText(orders, kOrders);
    items = &static_cast<TDataSetField&>(orders.FieldByName("items"));
    items->SetOrigin(origin);
    LoadStructureText(Items(), kItems);
  }
  TMemTable& Items() { return items->NestedDataSet(); }
  void Load(const char* data) { TConverter::New()->ForJson(data)->LoadRecords(orders); }
  void LoadCurrent(const char* data) {
    TConverter::New()->ForJson(data)->LoadCurrentRecord(orders);
  }
  // "id:sku/qty,sku/qty|note;" for every order.
  std::string Describe() {
    std::string text;
    for (orders.First(); !orders.Eof(); orders.Next()) {
      text += Render(orders.FieldByName("id")) + ":";
      for (Items().First(); !Items().Eof(); Items().Next()) {
        if (Items().RecNo() > 1) text += ",";
        text += Render(Items().FieldByName("sku")) + "/" + Render(Items().FieldByName("qty"));
      }
      text += "|" + Render(orders.FieldByName("note")) + ";";
    }
    return text;
  }

  TMemTable orders;
  TDataSetField* items = nullptr;
};

TEST_F(NestedConverterTest, LoadsNestedMembersByTheFieldsOrigin) {
  struct Case {
    const char* Origin;
    const char* Data;
    const char* Orders;
  };
  // A member a row lacks loads as an unset value: "" and 0.
  const Case cases[] = {
      {"JSONArray",
       R"([{"id":1,"items":[{"sku":"a","qty":1},{"sku":"b","qty":2}],"note":"x"},)"
       R"({"id":2,"items":[],"note":"y"}])",
       "int:1:text:a/int:1,text:b/int:2|text:x;int:2:|text:y;"},
      {" jsonarray ", R"({"id":1,"items":[[{"sku":"a"}],{"sku":"b"}]})",
       "int:1:text:a/int:0,text:b/int:0|text:;"},
      {"JSONObject", R"([{"id":1,"items":{"sku":"a","qty":3},"note":"x"},{"id":2,"items":{}}])",
       "int:1:text:a/int:3|text:x;int:2:text:/int:0|text:;"},
      // Any other origin leaves the nested table alone, whatever the member holds.
      {"Unknown", R"([{"id":1,"items":5,"note":"x"}])", "int:1:|text:x;"},
      {"", R"([{"id":1,"items":[{"sku":"a"}]}])", "int:1:|text:;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Data);
    orders.Close();
    Build(c.Origin);
    Load(c.Data);
    EXPECT_EQ(Describe(), c.Orders);
  }
}

// Loading into an existing record: an array replaces all of that record's
// nested rows, an object edits the nested table's current row, any other
// origin keeps them; the other records' nested rows are left as they were.
TEST_F(NestedConverterTest, LoadingAnExistingRecordReplacesOrEditsItsNestedRows) {
  struct Case {
    const char* Origin;
    const char* Orders;
  };
  const Case cases[] = {
      {"JSONArray", "int:1:text:z/int:9|text:new;int:2:text:c/int:3|text:y;"},
      {"JSONObject", "int:1:text:a/int:1,text:z/int:9|text:new;int:2:text:c/int:3|text:y;"},
      {"Unknown", "int:1:text:a/int:1,text:b/int:2|text:new;int:2:text:c/int:3|text:y;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Origin);
    orders.Close();
    // The nested rows are loaded through the array path, then the origin is set.
    Build("JSONArray");
    Load(R"([{"id":1,"items":[{"sku":"a","qty":1},{"sku":"b","qty":2}],"note":"x"},)"
         R"({"id":2,"items":[{"sku":"c","qty":3}],"note":"y"}])");
    items->SetOrigin(c.Origin);
    orders.First();
    Items().Last();
    const bool isArray = std::string(c.Origin) == "JSONArray";
    LoadCurrent(isArray ? R"({"id":1,"items":[{"sku":"z","qty":9}],"note":"new"})"
                        : R"({"id":1,"items":{"sku":"z","qty":9},"note":"new"})");
    EXPECT_EQ(Describe(), c.Orders);
  }
}

TEST_F(NestedConverterTest, WritesNestedMembersBetweenTheOthers) {
  struct Case {
    const char* Origin;
    const char* First;   // the first order, with two items
    const char* Second;  // the second order, without items
  };
  const Case cases[] = {
      {"JSONArray", R"({"id":1,"items":[{"sku":"a","qty":1},{"sku":"b","qty":2}],"note":"x"})",
       R"({"id":2,"items":[],"note":"y"})"},
      {"JSONObject", R"({"id":1,"items":{"sku":"a","qty":1},"note":"x"})",
       R"({"id":2,"items":{},"note":"y"})"},
      {"Unknown", R"({"id":1,"note":"x"})", R"({"id":2,"note":"y"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Origin);
    orders.Close();
    Build("JSONArray");
    Load(R"([{"id":1,"items":[{"sku":"a","qty":1},{"sku":"b","qty":2}],"note":"x"},)"
         R"({"id":2,"items":[],"note":"y"}])");
    items->SetOrigin(c.Origin);
    const auto converter = TConverter::New()->ForDataSet(orders);
    orders.First();
    EXPECT_EQ(converter->CurrentRecordToJsonObject().Stringify(), c.First);
    EXPECT_EQ(converter->RecordsToJsonArray().Stringify(),
              std::string("[") + c.First + "," + c.Second + "]");
    EXPECT_EQ(orders.RecNo(), 1);
  }
}

TEST_F(NestedConverterTest, ObjectMemberIsTheNestedTablesCurrentRecord) {
  Build("JSONArray");
  Load(R"([{"id":1,"items":[{"sku":"a","qty":1},{"sku":"b","qty":2}]}])");
  items->SetOrigin("JSONObject");
  Items().Last();
  EXPECT_EQ(TConverter::New()->ForDataSet(orders)->CurrentRecordToJsonObject().Stringify(),
            R"({"id":1,"items":{"sku":"b","qty":2},"note":""})");
  // Writing all nested records as an array comes back to the current one.
  items->SetOrigin("JSONArray");
  TConverter::New()->ForDataSet(orders)->CurrentRecordToJsonObject();
  EXPECT_EQ(Items().RecNo(), 2);
}

TEST_F(NestedConverterTest, NestedFieldWithoutFieldsIsLeftAlone) {
  LoadStructureText(orders, kOrders);
  orders.FieldByName("items").SetOrigin("JSONArray");
  Load(R"([{"id":1,"items":[{"sku":"a"}],"note":"x"}])");
  EXPECT_EQ(TConverter::New()->ForDataSet(orders)->RecordsToJsonArray().Stringify(),
            R"([{"id":1,"note":"x"}])");
}

// Table -> JSON -> table with a nested array keeps every value.
TEST_F(NestedConverterTest, RoundTripWithANestedArrayKeepsValues) {
  constexpr const char* kLines = R"([{"fieldName":"sku","dataType":"ftWideString","size":10},)"
                                 R"({"fieldName":"qty","dataType":"ftInteger","size":0},)"
                                 R"({"fieldName":"price","dataType":"ftCurrency","size":0},)"
                                 R"({"fieldName":"due","dataType":"ftDate","size":0},)"
                                 R"({"fieldName":"ok","dataType":"ftBoolean","size":0}])";
  constexpr const char* kData =
      R"([{"id":1,"items":[{"sku":"Jo\u00e3o","qty":-2,"price":1.2346,"due":"2024-03-05",)"
      R"("ok":true},{"sku":null,"qty":0,"price":null,"due":null,"ok":false}],"note":"x"},)"
      R"({"id":2,"items":[],"note":null},)"
      R"({"id":3,"items":[{"sku":"z","qty":7,"price":0.5,"due":"1999-12-31","ok":true}],)"
      R"("note":"z"}])";
  const auto build = [&](TMemTable& table) {
    LoadStructureText(table, kOrders);
    auto& field = static_cast<TDataSetField&>(table.FieldByName("items"));
    field.SetOrigin("JSONArray");
    LoadStructureText(field.NestedDataSet(), kLines);
  };
  TMemTable source;
  build(source);
  TConverter::New()->ForJson(kData)->LoadRecords(source);
  const std::string records =
      TConverter::New()->ForDataSet(source)->RecordsToJsonArray().Stringify();
  EXPECT_EQ(records, kData);

  TMemTable copy;
  build(copy);
  TConverter::New()->ForJson(records)->LoadRecords(copy);
  EXPECT_EQ(TConverter::New()->ForDataSet(copy)->RecordsToJsonArray().Stringify(), kData);
}

}  // namespace
}  // namespace tandemize::converter
