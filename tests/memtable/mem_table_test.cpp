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
using enum TColumnAttribute;
using enum TColumnDataType;
using enum TFieldType;
using enum TRowStoreRowState;
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
    TRowStoreTable& t = AddTable(table.Manager(), "T",
                                 {{"id", dtInt32}, {"name", dtWideString, {caAllowNull}, 20}});
    AddRow(t, rsUnchanged, TValues{std::int32_t{1}, std::string("a")});
    AddRow(t, rsModified, TValues{std::int32_t{2}, std::string("old")},
           TValues{std::int32_t{2}, std::string("new")});
    AddRow(t, rsDeleted, TValues{std::int32_t{3}, std::string("gone")});
    AddRow(t, rsInserted, std::nullopt, TValues{std::int32_t{4}, std::string("ins")});
    AddRow(t, rsUnchanged, std::nullopt);  // no Original version: every field null
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
    std::vector<TRowStoreRowState> States;
  } const cases[] = {
      {"no rows", {}},
      {"only deleted rows", {rsDeleted, rsDeleted}},
      {"only detached rows", {rsDetached}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TMemTable table;
    TRowStoreTable& t = AddTable(table.Manager(), "T", {{"name", dtAnsiString, {caAllowNull}, 5}});
    for (const TRowStoreRowState state : c.States) AddRow(t, state, TValues{std::string("x")});
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
  TRowStoreTable& t = AddTable(table.Manager(), "T", {{"n", dtInt32}});
  for (std::int32_t i = 0; i < 25; ++i) AddRow(t, rsUnchanged, TValues{i});
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
  TFieldType Type;
  std::int32_t Size;
  const char* ClassName;  // "" when the type has no field
};

TEST(MemTableFieldDefsTest, ColumnsMapToFieldTypesAndClasses) {
  const TColumnAttributes none{caAllowNull};
  const TColumnAttributes fixed{caAllowNull, caFixedLen};
  const TColumnAttributes autoInc{caAllowNull, caAutoInc};
  const std::vector<TDefCase> cases = {
      {{"c_bool", dtBoolean}, ftBoolean, 0, "TBooleanField"},
      {{"c_sbyte", dtSByte}, ftShortint, 0, "TShortintField"},
      {{"c_int16", dtInt16}, ftSmallint, 0, "TSmallintField"},
      {{"c_int32", dtInt32}, ftInteger, 0, "TIntegerField"},
      {{"c_auto", dtInt32, autoInc}, ftAutoInc, 0, "TDbAutoIncField"},
      {{"c_uauto", dtUInt32, autoInc}, ftAutoInc, 0, "TDbAutoIncField"},
      {{"c_uint32", dtUInt32}, ftLongWord, 0, "TLongWordField"},
      {{"c_int64", dtInt64}, ftLargeint, 0, "TLargeintField"},
      {{"c_uint64", dtUInt64}, ftLargeint, 0, "TLargeintField"},
      {{"c_byte", dtByte}, ftByte, 0, "TByteField"},
      {{"c_uint16", dtUInt16}, ftWord, 0, "TWordField"},
      {{"c_single", dtSingle, none, 0, 7, 2}, ftSingle, 0, "TSingleField"},
      {{"c_double", dtDouble}, ftFloat, 0, "TFloatField"},
      {{"c_ext", dtExtended}, ftExtended, 0, "TExtendedField"},
      {{"c_curr", dtCurrency, none, 0, 19, 4}, ftCurrency, 0, "TCurrencyField"},
      {{"c_bcd", dtBCD, none, 0, 18, 4}, ftBCD, 4, "TBCDField"},
      {{"c_bcd_wide", dtBCD, none, 0, 19, 2}, ftFMTBcd, 2, "TFMTBCDField"},
      {{"c_bcd_scale", dtBCD, none, 0, 10, 5}, ftFMTBcd, 5, "TFMTBCDField"},
      {{"c_bcd_size", dtBCD, none, 3, 10, 2}, ftBCD, 3, "TBCDField"},
      {{"c_fmt", dtFmtBCD, none, 0, 30, 0}, ftFMTBcd, 0, "TFMTBCDField"},
      {{"c_date", dtDate}, ftDate, 0, "TDateField"},
      {{"c_time", dtTime}, ftTime, 0, "TTimeField"},
      {{"c_dt", dtDateTime}, ftDateTime, 0, "TDateTimeField"},
      {{"c_ts", dtDateTimeStamp}, ftTimeStamp, 0, "TSQLTimeStampField"},
      {{"c_ivl", dtTimeIntervalYM}, ftOraInterval, 0, "TDbSQLTimeIntervalField"},
      {{"c_str", dtAnsiString, none, 30}, ftString, 30, "TStringField"},
      {{"c_fstr", dtAnsiString, fixed, 3}, ftFixedChar, 3, "TStringField"},
      {{"c_lstr", dtAnsiString, none, 40000}, ftMemo, 40000, "TMemoField"},
      {{"c_wstr", dtWideString, none, 10}, ftWideString, 10, "TWideStringField"},
      {{"c_fwstr", dtWideString, fixed, 2}, ftFixedWideChar, 2, "TWideStringField"},
      {{"c_lwstr", dtWideString, none, 40000}, ftWideMemo, 40000, "TWideMemoField"},
      {{"c_vbytes", dtByteString, none, 8}, ftVarBytes, 8, "TVarBytesField"},
      {{"c_bytes", dtByteString, fixed, 8}, ftBytes, 8, "TBytesField"},
      {{"c_lbytes", dtByteString, none, 40000}, ftBlob, 40000, "TBlobField"},
      {{"c_blob", dtBlob}, ftBlob, 0, "TBlobField"},
      {{"c_memo", dtMemo}, ftMemo, 0, "TMemoField"},
      {{"c_wmemo", dtWideMemo}, ftWideMemo, 0, "TWideMemoField"},
      {{"c_xml", dtXML}, ftDBaseOle, 0, "TDbXMLField"},
      {{"c_hblob", dtHBlob}, ftOraBlob, 0, "TBlobField"},
      {{"c_hbfile", dtHBFile}, ftOraBlob, 0, "TBlobField"},
      {{"c_hmemo", dtHMemo}, ftOraClob, 0, "TMemoField"},
      {{"c_whmemo", dtWideHMemo}, ftWideMemo, 0, "TWideMemoField"},
      {{"c_rowset", dtRowSetRef}, ftDataSet, 0, "TDataSetField"},
      {{"c_cursor", dtCursorRef}, ftCursor, 0, ""},
      {{"c_rowref", dtRowRef}, ftADT, 0, "TADTField"},
      {{"c_array", dtArrayRef}, ftArray, 0, "TArrayField"},
      {{"c_parent", dtParentRowRef}, ftReference, 0, "TReferenceField"},
      {{"c_guid", dtGUID}, ftGuid, 38, "TGuidField"},
      {{"c_obj", dtObject}, ftInterface, 0, "TInterfaceField"},
      {{"c_unknown", dtUnknown}, ftUnknown, 0, ""},
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
  const TColumnAttributes nullable{caAllowNull};
  TMemTable table;
  TRowStoreTable& t = AddTable(table.Manager(), "T",
                               {{"id", dtInt32, {}},
                                {"ID", dtInt32, nullable},
                                {"id_1", dtInt32, nullable},
                                {"hidden", dtInt32, {caAllowNull, caInternal}},
                                {"ro", dtAnsiString, {caAllowNull, caReadOnly}, 10},
                                {"calc", dtInt32, {caAllowNull, caCalculated}},
                                {"calc_src", dtInt32, {caAllowNull, caCalculated}, 0, 0, 0, 3},
                                {"fx", dtAnsiString, {caAllowNull, caFixedLen}, 2},
                                {"un", dtInt32, {caAllowNull, caUnnamed}}});
  AddRow(t, rsUnchanged,
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
  AddTable(unchecked.Manager(), "T", {{"ro", dtAnsiString, {caReadOnly}, 10}});
  unchecked.OpenFromManager();
  EXPECT_FALSE(unchecked.FieldDefs()[0].Attributes.Contains(TFieldAttribute::faReadonly));
  EXPECT_FALSE(unchecked.FieldByName("ro").ReadOnly());
}

TEST(MemTableLoadTest, PendingChangesTurnCachedUpdatesOnWithoutChangingRows) {
  for (const bool journal : {false, true}) {
    SCOPED_TRACE(journal);
    TMemTable table;
    TRowStoreTable& t = AddTable(table.Manager(), "T", {{"name", dtAnsiString, {caAllowNull}, 9}});
    AddRow(t, rsUnchanged, TValues{std::string("a")});
    TRowStoreRow& changed =
        AddRow(t, rsModified, TValues{std::string("b0")}, TValues{std::string("b1")});
    if (journal) {
      table.Manager().UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
      table.Manager().UpdatesJournal->Changes.push_back({&t, &changed, 1});
    }
    table.OpenFromManager();
    EXPECT_EQ(table.CachedUpdates(), journal);
    EXPECT_EQ(WalkNames(table), (std::vector<std::string>{"a", "b1"}));
    EXPECT_EQ(changed.RowState(), rsModified);
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
  AddTable(table.Manager(), "T", {{"NAME", dtAnsiString, {caAllowNull}, 5}});
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
  TField& Add(TFieldType type, const char* name, std::int32_t size = 0) {
    std::unique_ptr<TField> field = CreateField(type);
    field->SetFieldName(name);
    field->SetSize(size);
    return table.Fields().Add(std::move(field));
  }
  void SetUp() override {
    Add(ftInteger, "id");
    Add(ftWideString, "nome", 60);
    Add(ftBCD, "valor", 2).SetPrecision(10);
    Add(ftAutoInc, "seq");
    Add(ftBlob, "foto");
    Add(ftDate, "dia");
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
    TColumnDataType Type;
    TColumnAttributes Attributes;
    std::int32_t Size, Precision, Scale;
  } const expected[] = {
      {"id", dtInt32, {caAllowNull, caBase, caSearchable}, 0, 0, 0},
      {"nome", dtWideString, {caAllowNull, caBase, caSearchable}, 60, 0, 0},
      {"valor", dtBCD, {caAllowNull, caBase, caSearchable}, 0, 10, 2},
      {"seq", dtInt32, {caAllowNull, caBase, caSearchable, caAutoInc}, 0, 0, 0},
      {"foto", dtBlob, {caAllowNull, caBase, caSearchable, caBlobData}, 0, 0, 0},
      {"dia", dtDate, {caAllowNull, caBase, caSearchable}, 0, 0, 0},
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
       [&] { table.Fields().Add(CreateField(ftInteger)).SetFieldName("x"); },
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
  std::unique_ptr<TField> id = CreateField(ftInteger);
  id->SetFieldName("id");
  table.Fields().Add(std::move(id));
  std::unique_ptr<TField> clash = CreateField(ftString);
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
    TRowStoreRowState EditedState;    // state of an unchanged row after Edit + Post
    TRowStoreRowState InsertedState;  // state of an appended row
    bool DeletedKept;                 // a deleted unchanged row stays in the table as rsDeleted
  } const cases[] = {
      {false, rsUnchanged, rsUnchanged, false},
      {true, rsModified, rsInserted, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Cached);
    TMemTable table;
    TRowStoreTable& t = AddTable(table.Manager(), "T", {{"name", dtAnsiString, {caAllowNull}, 9}});
    TRowStoreRow& first = AddRow(t, rsUnchanged, TValues{std::string("a")});
    TRowStoreRow& second = AddRow(t, rsUnchanged, TValues{std::string("b")});
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
      EXPECT_EQ(second.RowState(), rsDeleted);
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
    TRowStoreTable& t = AddTable(table.Manager(), "T", {{"name", dtAnsiString, {caAllowNull}, 9}});
    for (const char* name : {"a", "b", "c"}) AddRow(t, rsUnchanged, TValues{std::string(name)});
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
  AddTable(table.Manager(), "T", {{"name", dtAnsiString, {caAllowNull}, 9}});
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
