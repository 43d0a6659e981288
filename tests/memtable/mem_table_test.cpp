#include "memtable/mem_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "memtable/table_builder.h"

namespace tandemize::memtable {
namespace {

using namespace testing_support;
using CA = TColumnAttribute;
using DT = TColumnDataType;
using FT = TFieldType;
using RS = TRowStoreRowState;
using RT = TUpdateRecordType;

// Text of the "name" field of every record the cursor walks ("<null>" for null).
std::vector<std::string> WalkNames(TMemTable& table) {
  std::vector<std::string> names;
  for (table.First(); !table.Eof(); table.Next()) {
    const TField& field = table.FieldByName("name");
    names.push_back(field.IsNull() ? "<null>" : field.AsString());
  }
  return names;
}

// One table with rows in every state a stream carries.
class MixedStatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TRowStoreTable& t =
        AddTable(table.Manager(), "T",
                 {{"id", DT::dtInt32}, {"name", DT::dtWideString, {CA::caAllowNull}, 20}});
    AddRow(t, RS::rsUnchanged, TValues{std::int32_t{1}, std::string("a")});
    AddRow(t, RS::rsModified, TValues{std::int32_t{2}, std::string("old")},
           TValues{std::int32_t{2}, std::string("new")});
    AddRow(t, RS::rsDeleted, TValues{std::int32_t{3}, std::string("gone")});
    AddRow(t, RS::rsInserted, std::nullopt, TValues{std::int32_t{4}, std::string("ins")});
    AddRow(t, RS::rsUnchanged, std::nullopt);  // no Original version: every field null
    table.OpenFromManager();
  }
  TMemTable table;
};

TEST_F(MixedStatesTest, CursorShowsVisibleRowsInTheirDefaultVersion) {
  EXPECT_TRUE(table.Active());
  EXPECT_FALSE(table.IsEmpty());
  EXPECT_EQ(table.RecordCount(), 4);
  EXPECT_EQ(table.RecNo(), 1);
  EXPECT_EQ(WalkNames(table), (std::vector<std::string>{"a", "new", "ins", "<null>"}));
  // Past the last row the cursor stays on it.
  EXPECT_TRUE(table.Eof());
  EXPECT_EQ(table.RecNo(), 4);
  EXPECT_TRUE(table.FieldByName("id").IsNull());
  table.SetRecNo(2);
  EXPECT_FALSE(table.Eof());
  EXPECT_EQ(table.FieldByName("id").AsInteger(), 2);
  EXPECT_EQ(table.FieldByName("name").AsString(), "new");
}

TEST_F(MixedStatesTest, FilterChangesSelectsRowStates) {
  struct {
    TUpdateRecordTypes Filter;
    std::vector<std::string> Names;
  } const cases[] = {
      {{RT::rtDeleted}, {"gone"}},
      {{RT::rtInserted}, {"ins"}},
      {{RT::rtModified, RT::rtUnmodified}, {"a", "new", "<null>"}},
      {{}, {}},
  };
  EXPECT_EQ(table.FilterChanges(),
            (TUpdateRecordTypes{RT::rtModified, RT::rtInserted, RT::rtUnmodified}));
  for (const auto& c : cases) {
    table.SetFilterChanges(c.Filter);
    EXPECT_EQ(WalkNames(table), c.Names) << c.Filter.Bits();
    EXPECT_EQ(table.IsEmpty(), c.Names.empty());
  }
}

TEST(MemTableCursorTest, TableShowingNoRowIsEmptyRightAfterOpening) {
  struct {
    const char* Label;
    std::vector<RS> States;
  } const cases[] = {
      {"no rows", {}},
      {"only deleted rows", {RS::rsDeleted, RS::rsDeleted}},
      {"only detached rows", {RS::rsDetached}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TMemTable table;
    TRowStoreTable& t =
        AddTable(table.Manager(), "T", {{"name", DT::dtAnsiString, {CA::caAllowNull}, 5}});
    for (const RS state : c.States) AddRow(t, state, TValues{std::string("x")});
    table.OpenFromManager();
    EXPECT_TRUE(table.Eof());
    EXPECT_TRUE(table.IsEmpty());
    EXPECT_EQ(table.RecordCount(), 0);
    EXPECT_EQ(table.BufferedRecordCount(), 0);
    EXPECT_EQ(table.ActiveRecord(), 0);
    EXPECT_TRUE(table.FieldByName("name").IsNull());
    table.Next();
    EXPECT_TRUE(table.Eof());
  }
}

TEST(MemTableCursorTest, RecordWindowAfterFirstAndWhileWalking) {
  TMemTable table;
  TRowStoreTable& t = AddTable(table.Manager(), "T", {{"n", DT::dtInt32}});
  for (std::int32_t i = 0; i < 25; ++i) AddRow(t, RS::rsUnchanged, TValues{i});
  table.OpenFromManager();
  EXPECT_GE(table.BufferedRecordCount(), 1);
  EXPECT_EQ(table.ActiveRecord(), 0);
  int walked = 0;
  for (table.First(); !table.Eof(); table.Next()) {
    EXPECT_FALSE(table.IsEmpty());
    EXPECT_LT(table.ActiveRecord(), table.BufferedRecordCount());
    EXPECT_EQ(table.FieldByName("n").AsInteger(), walked++);
  }
  EXPECT_EQ(walked, 25);
}

struct TDefCase {
  TColumnSpec Column;
  FT Type;
  std::int32_t Size;
  const char* ClassName;  // "" when the type has no field
};

TEST(MemTableFieldDefsTest, ColumnsMapToFieldTypesAndClasses) {
  const TColumnAttributes none{CA::caAllowNull};
  const TColumnAttributes fixed{CA::caAllowNull, CA::caFixedLen};
  const TColumnAttributes autoInc{CA::caAllowNull, CA::caAutoInc};
  const std::vector<TDefCase> cases = {
      {{"c_bool", DT::dtBoolean}, FT::ftBoolean, 0, "TBooleanField"},
      {{"c_sbyte", DT::dtSByte}, FT::ftShortint, 0, "TShortintField"},
      {{"c_int16", DT::dtInt16}, FT::ftSmallint, 0, "TSmallintField"},
      {{"c_int32", DT::dtInt32}, FT::ftInteger, 0, "TIntegerField"},
      {{"c_auto", DT::dtInt32, autoInc}, FT::ftAutoInc, 0, "TDbAutoIncField"},
      {{"c_uauto", DT::dtUInt32, autoInc}, FT::ftAutoInc, 0, "TDbAutoIncField"},
      {{"c_uint32", DT::dtUInt32}, FT::ftLongWord, 0, "TLongWordField"},
      {{"c_int64", DT::dtInt64}, FT::ftLargeint, 0, "TLargeintField"},
      {{"c_uint64", DT::dtUInt64}, FT::ftLargeint, 0, "TLargeintField"},
      {{"c_byte", DT::dtByte}, FT::ftByte, 0, "TByteField"},
      {{"c_uint16", DT::dtUInt16}, FT::ftWord, 0, "TWordField"},
      {{"c_single", DT::dtSingle, none, 0, 7, 2}, FT::ftSingle, 0, "TSingleField"},
      {{"c_double", DT::dtDouble}, FT::ftFloat, 0, "TFloatField"},
      {{"c_ext", DT::dtExtended}, FT::ftExtended, 0, "TExtendedField"},
      {{"c_curr", DT::dtCurrency, none, 0, 19, 4}, FT::ftCurrency, 0, "TCurrencyField"},
      {{"c_bcd", DT::dtBCD, none, 0, 18, 4}, FT::ftBCD, 4, "TBCDField"},
      {{"c_bcd_wide", DT::dtBCD, none, 0, 19, 2}, FT::ftFMTBcd, 2, "TFMTBCDField"},
      {{"c_bcd_scale", DT::dtBCD, none, 0, 10, 5}, FT::ftFMTBcd, 5, "TFMTBCDField"},
      {{"c_bcd_size", DT::dtBCD, none, 3, 10, 2}, FT::ftBCD, 3, "TBCDField"},
      {{"c_fmt", DT::dtFmtBCD, none, 0, 30, 0}, FT::ftFMTBcd, 0, "TFMTBCDField"},
      {{"c_date", DT::dtDate}, FT::ftDate, 0, "TDateField"},
      {{"c_time", DT::dtTime}, FT::ftTime, 0, "TTimeField"},
      {{"c_dt", DT::dtDateTime}, FT::ftDateTime, 0, "TDateTimeField"},
      {{"c_ts", DT::dtDateTimeStamp}, FT::ftTimeStamp, 0, "TSQLTimeStampField"},
      {{"c_ivl", DT::dtTimeIntervalYM}, FT::ftOraInterval, 0, "TDbSQLTimeIntervalField"},
      {{"c_str", DT::dtAnsiString, none, 30}, FT::ftString, 30, "TStringField"},
      {{"c_fstr", DT::dtAnsiString, fixed, 3}, FT::ftFixedChar, 3, "TStringField"},
      {{"c_lstr", DT::dtAnsiString, none, 40000}, FT::ftMemo, 40000, "TMemoField"},
      {{"c_wstr", DT::dtWideString, none, 10}, FT::ftWideString, 10, "TWideStringField"},
      {{"c_fwstr", DT::dtWideString, fixed, 2}, FT::ftFixedWideChar, 2, "TWideStringField"},
      {{"c_lwstr", DT::dtWideString, none, 40000}, FT::ftWideMemo, 40000, "TWideMemoField"},
      {{"c_vbytes", DT::dtByteString, none, 8}, FT::ftVarBytes, 8, "TVarBytesField"},
      {{"c_bytes", DT::dtByteString, fixed, 8}, FT::ftBytes, 8, "TBytesField"},
      {{"c_lbytes", DT::dtByteString, none, 40000}, FT::ftBlob, 40000, "TBlobField"},
      {{"c_blob", DT::dtBlob}, FT::ftBlob, 0, "TBlobField"},
      {{"c_memo", DT::dtMemo}, FT::ftMemo, 0, "TMemoField"},
      {{"c_wmemo", DT::dtWideMemo}, FT::ftWideMemo, 0, "TWideMemoField"},
      {{"c_xml", DT::dtXML}, FT::ftDBaseOle, 0, "TDbXMLField"},
      {{"c_hblob", DT::dtHBlob}, FT::ftOraBlob, 0, "TBlobField"},
      {{"c_hbfile", DT::dtHBFile}, FT::ftOraBlob, 0, "TBlobField"},
      {{"c_hmemo", DT::dtHMemo}, FT::ftOraClob, 0, "TMemoField"},
      {{"c_whmemo", DT::dtWideHMemo}, FT::ftWideMemo, 0, "TWideMemoField"},
      {{"c_rowset", DT::dtRowSetRef}, FT::ftDataSet, 0, "TDataSetField"},
      {{"c_cursor", DT::dtCursorRef}, FT::ftCursor, 0, ""},
      {{"c_rowref", DT::dtRowRef}, FT::ftADT, 0, "TADTField"},
      {{"c_array", DT::dtArrayRef}, FT::ftArray, 0, "TArrayField"},
      {{"c_parent", DT::dtParentRowRef}, FT::ftReference, 0, "TReferenceField"},
      {{"c_guid", DT::dtGUID}, FT::ftGuid, 38, "TGuidField"},
      {{"c_obj", DT::dtObject}, FT::ftInterface, 0, "TInterfaceField"},
      {{"c_unknown", DT::dtUnknown}, FT::ftUnknown, 0, ""},
  };
  TMemTable table;
  std::vector<TColumnSpec> columns;
  for (const TDefCase& c : cases) columns.push_back(c.Column);
  AddTable(table.Manager(), "T", columns);
  table.OpenFromManager();

  ASSERT_EQ(table.FieldDefs().Count(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const TDefCase& c = cases[i];
    SCOPED_TRACE(c.Column.Name);
    const TFieldDef& def = table.FieldDefs()[i];
    EXPECT_EQ(def.Name, c.Column.Name);
    EXPECT_EQ(FieldTypeName(def.DataType), FieldTypeName(c.Type));
    EXPECT_EQ(def.Size, c.Size);
    EXPECT_EQ(def.Precision, c.Column.Precision);
    EXPECT_EQ(def.FieldNo, static_cast<std::int32_t>(i) + 1);
    const TField* field = table.FindField(c.Column.Name);
    if (*c.ClassName == '\0') {
      EXPECT_EQ(field, nullptr);
      continue;
    }
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->ClassName(), c.ClassName);
    EXPECT_EQ(FieldTypeName(field->DataType()), FieldTypeName(c.Type));
    EXPECT_EQ(field->Size(), c.Size);
  }
  EXPECT_EQ(table.Fields().Count(), cases.size() - 2);
}

TEST(MemTableFieldDefsTest, NamesAttributesAndColumnBinding) {
  const TColumnAttributes nullable{CA::caAllowNull};
  TMemTable table;
  TRowStoreTable& t =
      AddTable(table.Manager(), "T",
               {{"id", DT::dtInt32, {}},
                {"ID", DT::dtInt32, nullable},
                {"id_1", DT::dtInt32, nullable},
                {"hidden", DT::dtInt32, {CA::caAllowNull, CA::caInternal}},
                {"ro", DT::dtAnsiString, {CA::caAllowNull, CA::caReadOnly}, 10},
                {"calc", DT::dtInt32, {CA::caAllowNull, CA::caCalculated}},
                {"calc_src", DT::dtInt32, {CA::caAllowNull, CA::caCalculated}, 0, 0, 0, 3},
                {"fx", DT::dtAnsiString, {CA::caAllowNull, CA::caFixedLen}, 2},
                {"un", DT::dtInt32, {CA::caAllowNull, CA::caUnnamed}}});
  AddRow(t, RS::rsUnchanged,
         TValues{std::int32_t{1},
                 std::int32_t{2},
                 std::int32_t{3},
                 std::int32_t{4},
                 std::string("read-only"),
                 {},
                 {},
                 std::string("ab"),
                 {}});

  struct {
    const char* Name;
    TFieldAttributes Attributes;
    bool InternalCalc;
  } const expected[] = {
      {"id", {TFieldAttribute::faRequired}, false},
      {"ID_1", {}, false},
      {"id_1_1", {}, false},
      {"ro", {TFieldAttribute::faReadonly}, false},
      {"calc", {}, true},
      {"calc_src", {}, false},
      {"fx", {TFieldAttribute::faFixed}, false},
      {"un", {TFieldAttribute::faUnNamed}, false},
  };
  table.OpenFromManager();
  ASSERT_EQ(table.FieldDefs().Count(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const TFieldDef& def = table.FieldDefs()[i];
    SCOPED_TRACE(def.Name);
    EXPECT_EQ(def.Name, expected[i].Name);
    EXPECT_EQ(def.Attributes, expected[i].Attributes);
    EXPECT_EQ(def.InternalCalcField, expected[i].InternalCalc);
    EXPECT_EQ(def.FieldNo, static_cast<std::int32_t>(i) + 1);
  }
  // Fields read the column they stand for, past the skipped internal column.
  EXPECT_EQ(table.FieldByName("ID_1").AsInteger(), 2);
  EXPECT_EQ(table.FieldByName("id_1_1").AsInteger(), 3);
  EXPECT_EQ(table.FieldByName("ro").AsString(), "read-only");
  EXPECT_TRUE(table.FieldByName("ro").ReadOnly());
  EXPECT_TRUE(table.FieldByName("id").Required());
  EXPECT_EQ(table.FindField("hidden"), nullptr);

  // Without the read-only check the column's flag does not reach the field.
  TMemTable unchecked;
  unchecked.UpdateOptions().CheckReadOnly = false;
  AddTable(unchecked.Manager(), "T", {{"ro", DT::dtAnsiString, {CA::caReadOnly}, 10}});
  unchecked.OpenFromManager();
  EXPECT_FALSE(unchecked.FieldDefs()[0].Attributes.Contains(TFieldAttribute::faReadonly));
  EXPECT_FALSE(unchecked.FieldByName("ro").ReadOnly());
}

TEST(MemTableLoadTest, PendingChangesTurnCachedUpdatesOnWithoutChangingRows) {
  for (const bool journal : {false, true}) {
    SCOPED_TRACE(journal);
    TMemTable table;
    TRowStoreTable& t =
        AddTable(table.Manager(), "T", {{"name", DT::dtAnsiString, {CA::caAllowNull}, 9}});
    AddRow(t, RS::rsUnchanged, TValues{std::string("a")});
    TRowStoreRow& changed =
        AddRow(t, RS::rsModified, TValues{std::string("b0")}, TValues{std::string("b1")});
    if (journal) {
      table.Manager().UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
      table.Manager().UpdatesJournal->Changes.push_back({&t, &changed, 1});
    }
    table.OpenFromManager();
    EXPECT_EQ(table.CachedUpdates(), journal);
    EXPECT_EQ(WalkNames(table), (std::vector<std::string>{"a", "b1"}));
    EXPECT_EQ(changed.RowState(), RS::rsModified);
  }
}

TEST(MemTableLoadTest, FailedLoadLeavesTableClosedWithoutFields) {
  TMemTable table;
  // A header that is not a binary dataset stream: the reader refuses it.
  EXPECT_THROW(table.LoadFromStream(std::string_view("NOPE\x01\x02", 6), TStorageFormat::sfBinary),
               EDatabaseError);
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(table.Fields().Count(), 0u);
  EXPECT_EQ(table.FieldDefs().Count(), 0u);
  EXPECT_THROW(table.LoadFromStream("", TStorageFormat::sfJSON), EDatabaseError);
}

TEST(MemTableErrorTest, OpenWithoutTableFailsWith206) {
  const std::string tail =
      "]. A DataTable or a DataView must be supplied. Hint: if that is TMemTable, use "
      "CreateDataSet or CloneCursor to open dataset";
  {
    TMemTable table;
    try {
      table.Open();
      FAIL() << "Open succeeded";
    } catch (const EDALException& e) {
      EXPECT_EQ(e.Code(), 206);
      EXPECT_THAT(
          e.what(),
          ::testing::MatchesRegex(
              R"(\[DAL\]\[Comp\]\[DS\]-206\. Cannot open dataset \[TMemTable\(\$[0-9A-F]{8,}\))" +
              std::string(R"(\]\. A DataTable.*)")));
      EXPECT_THAT(e.what(), ::testing::EndsWith(tail));
    }
    EXPECT_FALSE(table.Active());
  }
  {
    // A load whose row store holds no table fails the same way; a named table
    // shows its name.
    TMemTable table;
    table.SetName("Orders");
    try {
      table.OpenFromManager();
      FAIL() << "open succeeded";
    } catch (const EDALException& e) {
      EXPECT_EQ(std::string(e.what()), "[DAL][Comp][DS]-206. Cannot open dataset [Orders" + tail);
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.Fields().Count(), 0u);
  }
}

TEST(MemTableErrorTest, FieldLookupIgnoresCaseAndNamesTheMissingField) {
  TMemTable table;
  AddTable(table.Manager(), "T", {{"NAME", DT::dtAnsiString, {CA::caAllowNull}, 5}});
  table.OpenFromManager();
  EXPECT_EQ(table.FindField("Name"), &table.FieldByName("Name"));
  EXPECT_EQ(table.FindField("Nome"), nullptr);
  try {
    table.FieldByName("Nome");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Nome' not found");
  }
}

// The converter's path: fields added to a closed table, then Open, Append, Post.
class BuiltTableTest : public ::testing::Test {
 protected:
  TField& Add(FT type, const char* name, std::int32_t size = 0) {
    std::unique_ptr<TField> field = CreateField(type);
    field->SetFieldName(name);
    field->SetSize(size);
    return table.Fields().Add(std::move(field));
  }
  void SetUp() override {
    Add(FT::ftInteger, "id");
    Add(FT::ftWideString, "nome", 60);
    Add(FT::ftBCD, "valor", 2).SetPrecision(10);
    Add(FT::ftAutoInc, "seq");
    Add(FT::ftBlob, "foto");
    Add(FT::ftDate, "dia");
    table.UpdateOptions().KeyFields = "id";
  }
  TMemTable table;
};

TEST_F(BuiltTableTest, OpenBuildsRowStoreTableFromFields) {
  table.Open();
  EXPECT_TRUE(table.Eof());
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_EQ(table.RecordCount(), 0);
  ASSERT_NE(table.Table(), nullptr);
  const TRowStoreTable& t = *table.Table();
  EXPECT_EQ(t.Name, "_MEM_TAB");
  struct {
    const char* Name;
    DT Type;
    TColumnAttributes Attributes;
    std::int32_t Size, Precision, Scale;
  } const expected[] = {
      {"id", DT::dtInt32, {CA::caAllowNull, CA::caBase, CA::caSearchable}, 0, 0, 0},
      {"nome", DT::dtWideString, {CA::caAllowNull, CA::caBase, CA::caSearchable}, 60, 0, 0},
      {"valor", DT::dtBCD, {CA::caAllowNull, CA::caBase, CA::caSearchable}, 0, 10, 2},
      {"seq", DT::dtInt32, {CA::caAllowNull, CA::caBase, CA::caSearchable, CA::caAutoInc}, 0, 0, 0},
      {"foto",
       DT::dtBlob,
       {CA::caAllowNull, CA::caBase, CA::caSearchable, CA::caBlobData},
       0,
       0,
       0},
      {"dia", DT::dtDate, {CA::caAllowNull, CA::caBase, CA::caSearchable}, 0, 0, 0},
  };
  ASSERT_EQ(t.ColumnCount(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const TRowStoreColumn& column = t.Column(i);
    SCOPED_TRACE(column.Name);
    EXPECT_EQ(column.Name, expected[i].Name);
    EXPECT_EQ(column.DataType, expected[i].Type);
    EXPECT_EQ(column.Attributes, expected[i].Attributes);
    EXPECT_EQ(column.Size, expected[i].Size);
    EXPECT_EQ(column.Precision, expected[i].Precision);
    EXPECT_EQ(column.Scale, expected[i].Scale);
    EXPECT_EQ(column.SourceID, static_cast<std::int32_t>(i) + 1);
    EXPECT_EQ(column.AutoIncrement, i == 3);
    EXPECT_EQ(column.Options.Contains(TColumnOption::coInKey), i == 0);
  }
  // The fields added before opening are kept and are the ones shown.
  EXPECT_EQ(table.FieldByName("seq").ClassName(), "TAutoIncField");
}

TEST_F(BuiltTableTest, AppendPostEditDelete) {
  table.Open();
  const struct {
    std::int32_t Id;
    const char* Nome;  // null: cleared
  } rows[] = {{1, "Ana"}, {2, nullptr}, {3, "Caio"}};
  for (const auto& r : rows) {
    table.Append();
    EXPECT_EQ(table.State(), TDataSetState::dsInsert);
    EXPECT_FALSE(table.IsEmpty());
    table.FieldByName("id").SetAsInteger(r.Id);
    if (r.Nome != nullptr) {
      table.FieldByName("nome").SetAsString(r.Nome);
    } else {
      table.FieldByName("nome").SetAsString("set then cleared");
      table.FieldByName("nome").Clear();
    }
    table.Post();
    // The posted row is the current record at once.
    EXPECT_EQ(table.FieldByName("id").AsInteger(), r.Id);
  }
  EXPECT_EQ(table.RecordCount(), 3);
  EXPECT_EQ(table.Table()->RowCount(), 3u);

  std::vector<std::string> seen;
  for (table.First(); !table.Eof(); table.Next()) {
    const TField& nome = table.FieldByName("nome");
    seen.push_back(std::to_string(table.FieldByName("seq").AsInteger()) + ":" +
                   (nome.IsNull() ? "<null>" : nome.AsString()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1:Ana", "2:<null>", "3:Caio"}));

  table.SetRecNo(2);
  table.Edit();
  table.FieldByName("nome").SetAsString("Bia");
  table.Post();
  EXPECT_EQ(table.RecNo(), 2);
  EXPECT_EQ(table.FieldByName("nome").AsString(), "Bia");

  table.SetRecNo(1);
  table.Delete();
  EXPECT_EQ(table.RecordCount(), 2);
  EXPECT_EQ(table.FieldByName("nome").AsString(), "Bia");
  table.Last();
  table.Delete();
  table.Delete();
  EXPECT_TRUE(table.IsEmpty());
  EXPECT_TRUE(table.Eof());
  EXPECT_THROW(table.Delete(), EDatabaseError);
}

TEST_F(BuiltTableTest, EditingRulesAndTheirMessages) {
  table.Open();
  struct {
    const char* Label;
    std::function<void()> Action;
    const char* Message;
  } const cases[] = {
      {"set while browsing", [&] { table.FieldByName("id").SetAsInteger(1); },
       "Dataset not in edit or insert mode"},
      {"read-only field",
       [&] {
         table.FieldByName("nome").SetReadOnly(true);
         table.Append();
         table.FieldByName("nome").SetAsString("x");
       },
       "Field 'nome' cannot be modified"},
      {"required field left null",
       [&] {
         table.FieldByName("id").SetRequired(true);
         table.Append();
         table.Post();
       },
       "Field 'id' must have a value"},
      {"adding a field to an open table",
       [&] { table.Fields().Add(CreateField(FT::ftInteger)).SetFieldName("x"); },
       "Cannot perform this operation on an open dataset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    try {
      c.Action();
      ADD_FAILURE() << "no failure";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    table.Cancel();
    for (const auto& field : table.Fields()) {
      field->SetReadOnly(false);
      field->SetRequired(false);
    }
  }
}

TEST(MemTableEditTest, EditOnEmptyTableAppendsAndDuplicateNamesAreRefused) {
  TMemTable table;
  std::unique_ptr<TField> id = CreateField(FT::ftInteger);
  id->SetFieldName("id");
  table.Fields().Add(std::move(id));
  std::unique_ptr<TField> clash = CreateField(FT::ftString);
  clash->SetFieldName("ID");
  try {
    table.Fields().Add(std::move(clash));
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Duplicate field name 'ID'");
  }
  table.SetName("named");
  table.Open();
  EXPECT_EQ(table.Table()->Name, "named");
  table.Edit();
  EXPECT_EQ(table.State(), TDataSetState::dsInsert);
  table.FieldByName("id").SetAsInteger(5);
  table.Post();
  EXPECT_EQ(table.RecordCount(), 1);
  // Moving the cursor stores the record being appended.
  table.Append();
  table.FieldByName("id").SetAsInteger(6);
  table.First();
  EXPECT_EQ(table.RecordCount(), 2);
  EXPECT_EQ(table.FieldByName("id").AsInteger(), 5);

  // Closing drops the content; the added fields stay and reopening starts empty.
  table.Close();
  EXPECT_EQ(table.Fields().Count(), 1u);
  table.Open();
  EXPECT_TRUE(table.IsEmpty());
}

TEST(MemTableEditTest, CachedUpdatesKeepRowStatesOfChanges) {
  struct {
    bool Cached;
    RS EditedState;    // state of an unchanged row after Edit + Post
    RS InsertedState;  // state of an appended row
    bool DeletedKept;  // a deleted unchanged row stays in the table as rsDeleted
  } const cases[] = {
      {false, RS::rsUnchanged, RS::rsUnchanged, false},
      {true, RS::rsModified, RS::rsInserted, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Cached);
    TMemTable table;
    TRowStoreTable& t =
        AddTable(table.Manager(), "T", {{"name", DT::dtAnsiString, {CA::caAllowNull}, 9}});
    TRowStoreRow& first = AddRow(t, RS::rsUnchanged, TValues{std::string("a")});
    TRowStoreRow& second = AddRow(t, RS::rsUnchanged, TValues{std::string("b")});
    table.OpenFromManager();
    table.SetCachedUpdates(c.Cached);

    table.Edit();
    table.FieldByName("name").SetAsString("a2");
    table.Post();
    EXPECT_EQ(first.RowState(), c.EditedState);
    EXPECT_EQ(std::get<std::string>(first.GetValue(0)), "a2");
    EXPECT_EQ(std::get<std::string>(first.GetValue(0, TRowStoreRowVersion::rvOriginal)),
              c.Cached ? "a" : "a2");

    table.Append();
    table.FieldByName("name").SetAsString("c");
    table.Post();
    EXPECT_EQ(t.Row(2).RowState(), c.InsertedState);
    EXPECT_EQ(t.Row(2).RowID(), 21u);

    table.SetRecNo(2);
    table.Delete();
    EXPECT_EQ(t.RowCount(), c.DeletedKept ? 3u : 2u);
    if (c.DeletedKept) {
      EXPECT_EQ(second.RowState(), RS::rsDeleted);
    }
    EXPECT_EQ(WalkNames(table), (std::vector<std::string>{"a2", "c"}));
  }
}

TEST(MemTableEditTest, PostedRowTakesItsPlaceInTheViewTheFilterGives) {
  struct {
    const char* Label;
    TUpdateRecordTypes Filter;
    std::vector<std::string> AfterEdit;    // "b" edited to "b2" (cursor on it)
    std::vector<std::string> AfterAppend;  // then "d" appended
    std::string Current;                   // the record under the cursor at the end
  } const cases[] = {
      {"every state shown",
       {RT::rtUnmodified, RT::rtModified, RT::rtInserted},
       {"a", "b2", "c"},
       {"a", "b2", "c", "d"},
       "d"},
      {"unchanged rows only", {RT::rtUnmodified}, {"a", "c"}, {"a", "c"}, "c"},
      {"changes only", {RT::rtModified, RT::rtInserted}, {"b2"}, {"b2", "d"}, "d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TMemTable table;
    TRowStoreTable& t =
        AddTable(table.Manager(), "T", {{"name", DT::dtAnsiString, {CA::caAllowNull}, 9}});
    for (const char* name : {"a", "b", "c"}) AddRow(t, RS::rsUnchanged, TValues{std::string(name)});
    table.OpenFromManager();
    table.SetCachedUpdates(true);
    table.SetFilterChanges(c.Filter | TUpdateRecordTypes{RT::rtUnmodified});

    table.SetRecNo(2);
    table.Edit();
    table.FieldByName("name").SetAsString("b2");
    table.Post();
    table.SetFilterChanges(c.Filter);
    EXPECT_EQ(WalkNames(table), c.AfterEdit);

    table.Last();
    table.Append();
    table.FieldByName("name").SetAsString("d");
    table.Post();
    EXPECT_EQ(table.FieldByName("name").AsString(), c.Current);
    EXPECT_EQ(table.RecNo(), table.RecordCount());
    EXPECT_EQ(WalkNames(table), c.AfterAppend);
  }
}

TEST(MemTableEditTest, AppendedRowsFollowEachOtherWithTheCursorOnTheLast) {
  TMemTable table;
  AddTable(table.Manager(), "T", {{"name", DT::dtAnsiString, {CA::caAllowNull}, 9}});
  table.OpenFromManager();
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    table.Append();
    table.FieldByName("name").SetAsString(std::to_string(i));
    table.Post();
    expected.push_back(std::to_string(i));
    ASSERT_EQ(table.RecNo(), i + 1);
    ASSERT_EQ(table.FieldByName("name").AsString(), expected.back());
  }
  table.First();
  table.Edit();
  table.FieldByName("name").SetAsString("first");
  table.Post();
  EXPECT_EQ(table.RecNo(), 1);
  expected.front() = "first";
  EXPECT_EQ(WalkNames(table), expected);
}

}  // namespace
}  // namespace tandemize::memtable
