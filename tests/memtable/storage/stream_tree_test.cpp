// The object tree: streams of several versions written by the project's own
// writer load into tables with the expected fields and records; every cut
// of a valid stream fails cleanly; row stores survive a write and read.

#include <gtest/gtest.h>

#include <sstream>

#include "memtable/mem_table.h"
#include "memtable/storage/stream_bytes.h"
#include "memtable/storage/stream_reader.h"
#include "memtable/storage/stream_writer.h"

namespace tandemize::memtable::storage {
namespace {

using enum TColumnDataType;
using enum TRowStoreRowState;
using enum TRowStoreBufferKind;

std::string Show(const TVariant& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        std::ostringstream out;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out << "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out << (x ? "true" : "false");
        } else if constexpr (std::is_same_v<T, std::string>) {
          out << x;
        } else if constexpr (std::is_arithmetic_v<T>) {
          out << +x;
        } else {
          out << "?";
        }
        return out.str();
      },
      v);
}

// Every record the table shows, fields joined by "|".
std::vector<std::string> Records(TMemTable& t) {
  std::vector<std::string> records;
  for (t.First(); !t.Eof(); t.Next()) {
    std::string record;
    for (std::size_t i = 0; i < t.Fields().Count(); ++i) {
      if (i > 0) record += '|';
      record += Show(t.Fields()[i].AsVariant());
    }
    records.push_back(record);
  }
  return records;
}

// One table, columns id, name, amount, flag; rows unchanged, modified,
// deleted, inserted, and one with values for columns 0 and 2 only.
TStreamManager ClientsDescription(TColumnDataType aNameType) {
  TStreamManager m;
  TStreamTable& t = m.AddTable("clients");
  t.AddColumn("id", dtInt32).Attributes.Include(TColumnAttribute::caBase);
  t.AddColumn("name", aNameType, 40).Attributes.Include(TColumnAttribute::caAllowNull);
  t.AddColumn("amount", dtDouble);
  t.AddColumn("flag", dtBoolean);
  const auto set = [&](TStreamRow& r, TRowStoreBufferKind kind, std::vector<TVariant> values) {
    for (std::size_t c = 0; c < values.size(); ++c) SetStreamValue(t, r, kind, c, values[c]);
  };
  set(t.AddRow(rsUnchanged), bkOriginal, {std::int32_t{1}, std::string("Ana"), 1.5, true});
  TStreamRow& modified = t.AddRow(rsModified);
  set(modified, bkOriginal, {std::int32_t{2}, std::string("Bia"), 2.0, false});
  set(modified, bkCurrent, {std::int32_t{2}, std::string("Bea"), 2.5, false});
  set(t.AddRow(rsDeleted), bkOriginal, {std::int32_t{3}, std::string("Caio"), 3.0, true});
  set(t.AddRow(rsInserted), bkCurrent, {std::int32_t{4}, TVariant{}, 4.0, TVariant{}});
  set(t.AddRow(rsUnchanged), bkOriginal, {std::int32_t{5}, TVariant{}, 5.5});
  return m;
}

TStreamManager RichDescription();

TEST(BinaryStreamLoad, VersionsLoadIntoTheTable) {
  struct Case {
    int version;
    TColumnDataType nameType;
    TFieldType nameField;
  };
  // Version 1 streams number the data types differently and have no plain
  // text types; dtMemo (version 1 ordinal 22) stands in.
  const Case cases[] = {{1, dtMemo, TFieldType::ftMemo},
                        {4, dtWideString, TFieldType::ftWideString},
                        {9, dtWideString, TFieldType::ftWideString},
                        {10, dtAnsiString, TFieldType::ftString},
                        {15, dtWideString, TFieldType::ftWideString}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string stream =
        WriteBinaryStream(ClientsDescription(c.nameType), {.Version = c.version});
    ASSERT_EQ(stream[4], static_cast<char>(c.version));
    TMemTable t;
    t.LoadFromStream(stream, TStorageFormat::sfBinary);
    ASSERT_EQ(t.FieldDefs().Count(), 4u);
    EXPECT_EQ(t.FieldDefs()[0].Name, "id");
    EXPECT_EQ(t.FieldDefs()[0].DataType, TFieldType::ftInteger);
    EXPECT_TRUE(t.FieldDefs()[0].Required());
    EXPECT_EQ(t.FieldDefs()[1].DataType, c.nameField);
    EXPECT_FALSE(t.FieldDefs()[1].Required());
    EXPECT_EQ(t.FieldDefs()[2].DataType, TFieldType::ftFloat);
    EXPECT_EQ(t.FieldDefs()[3].DataType, TFieldType::ftBoolean);
    EXPECT_EQ(t.RecordCount(), 4);
    EXPECT_EQ(Records(t), (std::vector<std::string>{"1|Ana|1.5|true", "2|Bea|2.5|false",
                                                    "4|null|4|null", "5|null|5.5|null"}));
  }
}

TEST(BinaryStreamLoad, RowStatesDecideWhatTheTableShows) {
  struct Case {
    const char* what;
    std::vector<std::pair<TRowStoreRowState, std::vector<TRowStoreBufferKind>>> rows;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {"only deleted rows", {{rsDeleted, {bkOriginal}}, {rsDeleted, {bkOriginal}}}, {}},
      {"no rows", {}, {}},
      {"unchanged without Original shows nulls", {{rsUnchanged, {bkCurrent}}}, {"null"}},
      {"inserted with Current only", {{rsInserted, {bkCurrent}}}, {"7"}},
      {"modified shows Current", {{rsModified, {bkOriginal, bkCurrent}}}, {"7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TStreamManager m;
    TStreamTable& table = m.AddTable("t");
    table.AddColumn("v", dtInt32);
    for (const auto& [state, buffers] : c.rows) {
      TStreamRow& row = table.AddRow(state);
      for (const TRowStoreBufferKind kind : buffers) {
        SetStreamValue(table, row, kind, 0, std::int32_t{kind == bkCurrent ? 7 : 6});
      }
    }
    TMemTable t;
    t.LoadFromStream(WriteBinaryStream(m), TStorageFormat::sfBinary);
    EXPECT_EQ(Records(t), c.records);
    EXPECT_EQ(t.IsEmpty(), c.records.empty());
    t.First();
    EXPECT_EQ(t.Eof(), c.records.empty());
  }
}

TEST(BinaryStreamLoad, VersionNineRowsObjectMayCarryTheUpdatesName) {
  const std::string v9 = WriteBinaryStream(ClientsDescription(dtWideString), {.Version = 9});
  std::vector<std::string> names = testing::DictionaryOf(v9);
  for (std::string& name : names) {
    if (name == "TableRowList") name = "TableRowList_Updates";
  }
  TMemTable t;
  t.LoadFromStream(testing::WithDictionary(v9, names), TStorageFormat::sfBinary);
  EXPECT_EQ(t.RecordCount(), 4);

  // The second attempt leaves the object levels balanced: the settings
  // deferred to the end of the load are still applied.
  const std::string rich = WriteBinaryStream(RichDescription(), {.Version = 9});
  names = testing::DictionaryOf(rich);
  for (std::string& name : names) {
    if (name == "TableRowList") name = "TableRowList_Updates";
  }
  const TStreamManager read = ReadBinaryStream(testing::WithDictionary(rich, names));
  EXPECT_EQ(read.Tables[0]->Rows.size(), 5u);
  EXPECT_TRUE(read.Tables[0]->Views[0]->Active);

  // Only version 9 knows that name.
  const std::string v8 = WriteBinaryStream(ClientsDescription(dtWideString), {.Version = 8});
  names = testing::DictionaryOf(v8);
  for (std::string& name : names) {
    if (name == "TableRowList") name = "TableRowList_Updates";
  }
  TMemTable t8;
  EXPECT_THROW(t8.LoadFromStream(testing::WithDictionary(v8, names), TStorageFormat::sfBinary),
               EDALException);
}

TEST(BinaryStreamLoad, PendingChangesTurnOnCachedUpdates) {
  TStreamManager m = ClientsDescription(dtWideString);
  m.UpdatesRegistry = true;
  m.Journal = std::make_unique<TStreamJournal>(true);
  m.Journal->Changes = {{0, 1, 1}, {0, 3, 2}, {0, 99, 3}};  // RowID 99 does not exist
  TMemTable t;
  t.LoadFromStream(WriteBinaryStream(m), TStorageFormat::sfBinary);
  EXPECT_TRUE(t.CachedUpdates());
  EXPECT_EQ(t.RecordCount(), 4);
  ASSERT_NE(t.Manager().UpdatesJournal, nullptr);
  EXPECT_EQ(t.Manager().UpdatesJournal->Changes.size(), 2u);
  EXPECT_EQ(t.Manager().Table(0).Row(1).ChangeNumber(), 1u);
}

// A stream with a bit of everything: constraints, views, relations, an
// engine error on a row, the journal and every value kind.
TStreamManager RichDescription() {
  TStreamManager m = ClientsDescription(dtWideString);
  m.Name = "mgr";
  m.UpdatesRegistry = true;
  TStreamTable& t = *m.Tables[0];
  t.SourceID = 3;
  t.InlineDataSize = 500;
  t.EnforceConstraints = false;
  TStreamColumn& price = t.AddColumn("price", dtFmtBCD);
  price.Precision = 10;
  price.Scale = 2;
  price.Caption = "Price";
  price.OriginTabName = "products";
  price.OriginColName = "PRICE";
  price.SourceDataType = dtDouble;
  price.Options = TColumnOptions{TColumnOption::coInKey};
  t.AddColumn("blob", dtBlob);
  t.AddColumn("when", dtDateTime);
  t.AddColumn("x", dtExtended);
  TStreamRow& row = *t.Rows[0];
  TBcd bcd;
  bcd.Precision = 4;
  bcd.SignSpecialPlaces = 0x82;
  bcd.Fraction[0] = 0x12;
  bcd.Fraction[1] = 0x34;
  SetStreamValue(t, row, bkOriginal, 4, bcd);
  SetStreamValue(t, row, bkOriginal, 5, TBytes{1, 2, 3});
  SetStreamValue(t, row, bkOriginal, 6, TDateTime{45000.5});
  SetStreamValue(t, row, bkOriginal, 7, 2.75);
  row.Error = std::make_unique<TStreamError>("PgNativeException");
  row.Error->FDCode = 42;
  row.Error->Message = "duplicate key";
  row.Error->FDObjName = "pk_clients";
  row.Error->DBErrors.push_back({1, 2, 3, "detail", "obj", 4, 5});

  auto unique = std::make_unique<TStreamConstraint>(TConstraintKind::ckUnique);
  unique->Name = "pk";
  unique->ColumnNames = "id";
  unique->SortOptions = 0x30;
  t.Constraints.push_back(std::move(unique));
  auto check = std::make_unique<TStreamConstraint>(TConstraintKind::ckCheck);
  check->Name = "positive";
  check->Expression = "amount > 0";
  check->Enforce = false;
  t.Constraints.push_back(std::move(check));
  auto view = std::make_unique<TStreamView>();
  view->Name = "byName";
  view->Active = true;
  auto sort = std::make_unique<TStreamMech>(TViewMechKind::mkSort);
  sort->Columns = "name";
  sort->Active = true;
  view->Mechanisms.push_back(std::move(sort));
  auto states = std::make_unique<TStreamMech>(TViewMechKind::mkRowState);
  states->RowStates = TEnumSet<TRowStoreRowState>::FromBits(0x34);
  view->Mechanisms.push_back(std::move(states));
  auto details = std::make_unique<TStreamMech>(TViewMechKind::mkDetails);
  details->Relation = "rel";
  details->TopColumnCount = 2;
  view->Mechanisms.push_back(std::move(details));
  auto aggregate = std::make_unique<TStreamAggregate>();
  aggregate->Name = "total";
  aggregate->Expression = "sum(amount)";
  aggregate->Active = true;
  view->Aggregates.push_back(std::move(aggregate));
  t.Views.push_back(std::move(view));

  TStreamTable& orders = m.AddTable("orders");
  orders.AddColumn("client", dtInt32);
  SetStreamValue(orders, orders.AddRow(rsInserted), bkCurrent, 0, std::int32_t{1});
  auto relation = std::make_unique<TStreamRelation>();
  relation->Name = "rel";
  relation->ParentTable = "clients";
  relation->ParentColumnNames = "id";
  relation->ChildTable = "orders";
  relation->ChildColumnNames = "client";
  m.Relations.push_back(std::move(relation));
  m.Journal = std::make_unique<TStreamJournal>(true);
  m.Journal->SavePoint = 2;
  m.Journal->Changes = {{0, 1, 1}, {1, 0, 2}};
  return m;
}

TEST(BinaryStreamRoundTrip, EveryVersionReadsBackWhatWasWritten) {
  for (int version = 2; version <= 15; ++version) {
    SCOPED_TRACE(version);
    const std::string first = WriteBinaryStream(RichDescription(), {.Version = version});
    const TStreamManager read = ReadBinaryStream(first);
    EXPECT_EQ(WriteBinaryStream(read, {.Version = version}), first);

    // Through the row store and back.
    TRowStoreManager rowStore;
    TStreamManager moved = ReadBinaryStream(first);
    MoveToRowStore(moved, rowStore);
    EXPECT_EQ(WriteBinaryStream(rowStore, {.Version = version}), first);
  }
}

TEST(BinaryStreamRoundTrip, ColumnsWithDefaultsAndWithEveryPropertySetLoadEqual) {
  TStreamManager m;
  TStreamTable& t = m.AddTable("t");
  t.AddColumn("plain", dtInt32);
  TStreamColumn& full = t.AddColumn("full", dtWideString, 30);
  full.SourceName = "FULL";
  full.SourceID = 9;
  full.Precision = 1;
  full.Scale = 2;
  full.Attributes = TColumnAttributes::FromBits(0xFFFF);
  full.AutoIncrement = false;  // differs from the AutoInc flag's default
  full.AutoIncrementSeed = -5;
  full.AutoIncrementStep = 3;
  full.Caption = "Full name";
  full.Expression = "a + b";
  full.Options = TColumnOptions::FromBits(0xFF);
  full.OriginTabName = "people";
  full.OriginColName = "FULL_NAME";
  full.SourceDataType = dtAnsiString;
  full.SourcePrecision = 4;
  full.SourceScale = 5;
  full.SourceSize = 6;
  full.SourceDataTypeName = "VARCHAR";
  full.SourceDirectory = "/tmp";
  full.SourceGenerator = "gen";
  for (const int version : {2, 4, 5, 12, 15}) {
    SCOPED_TRACE(version);
    const TStreamManager read = ReadBinaryStream(WriteBinaryStream(m, {.Version = version}));
    ASSERT_EQ(read.Tables.at(0)->Columns.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      const TStreamColumn& a = *t.Columns[i];
      const TStreamColumn& b = *read.Tables[0]->Columns[i];
      EXPECT_EQ(std::tie(a.Name, a.SourceName, a.SourceID, a.DataType, a.Precision, a.Scale, a.Size,
                         a.Attributes, a.AutoIncrement, a.AutoIncrementSeed, a.AutoIncrementStep,
                         a.Caption, a.Expression, a.Options),
                std::tie(b.Name, b.SourceName, b.SourceID, b.DataType, b.Precision, b.Scale, b.Size,
                         b.Attributes, b.AutoIncrement, b.AutoIncrementSeed, b.AutoIncrementStep,
                         b.Caption, b.Expression, b.Options));
      EXPECT_EQ(std::tie(a.OriginTabName, a.OriginColName, a.SourceDataType, a.SourcePrecision,
                         a.SourceScale, a.SourceSize, a.SourceDataTypeName, a.SourceDirectory,
                         a.SourceGenerator),
                std::tie(b.OriginTabName, b.OriginColName, b.SourceDataType, b.SourcePrecision,
                         b.SourceScale, b.SourceSize, b.SourceDataTypeName, b.SourceDirectory,
                         b.SourceGenerator));
    }
  }
}

TEST(BinaryStreamRoundTrip, DeferredSettingsAreAppliedAfterTheLoad) {
  const TStreamManager read = ReadBinaryStream(WriteBinaryStream(RichDescription()));
  const TStreamTable& t = *read.Tables[0];
  EXPECT_FALSE(t.EnforceConstraints);
  EXPECT_TRUE(t.Constraints[0]->Enforce);
  EXPECT_FALSE(t.Constraints[1]->Enforce);
  EXPECT_TRUE(t.Views[0]->Active);
  EXPECT_TRUE(t.Views[0]->Mechanisms[0]->Active);
  EXPECT_EQ(t.Views[0]->Mechanisms[2]->Relation, "rel");
  EXPECT_TRUE(t.Views[0]->Aggregates[0]->Active);
  EXPECT_EQ(read.Relations[0]->ParentTable, "clients");
  EXPECT_EQ(read.Relations[0]->ChildColumnNames, "client");
}

// Every prefix of a valid stream, and every cut of its object data with
// the dictionary kept, fails with an error and nothing worse.
TEST(BinaryStreamTruncation, EveryCutFailsCleanly) {
  for (const int version : {3, 10, 15}) {
    SCOPED_TRACE(version);
    const std::string stream = WriteBinaryStream(RichDescription(), {.Version = version});
    {
      TMemTable whole;
      whole.LoadFromStream(stream, TStorageFormat::sfBinary);
      ASSERT_EQ(whole.RecordCount(), 4);
    }
    const std::size_t dataEnd =
        static_cast<unsigned char>(stream[8]) | (static_cast<unsigned char>(stream[9]) << 8);
    std::vector<std::string> cuts;
    for (std::size_t n = 0; n < stream.size(); ++n) cuts.push_back(stream.substr(0, n));
    for (std::size_t n = 0; n + 12 < dataEnd; ++n) cuts.push_back(testing::WithDataCut(stream, n));
    for (const std::string& cut : cuts) {
      TMemTable t;
      EXPECT_THROW(t.LoadFromStream(cut, TStorageFormat::sfBinary), std::exception)
          << "length " << cut.size();
      EXPECT_FALSE(t.Active());
    }
  }
}

}  // namespace
}  // namespace tandemize::memtable::storage
