#include "memtable/row_store.h"

#include <gtest/gtest.h>

#include <string>

namespace tandemize::memtable {
namespace {

using RS = TRowStoreRowState;
using RV = TRowStoreRowVersion;
using BK = TRowStoreBufferKind;

// Which buffer a read of each version uses. Each buffer holds its own name in
// column 0 ("O", "C", "P"); "" means the read gives null.
struct TVersionCase {
  RS State;
  RS Prior;
  bool HasOriginal, HasCurrent, HasProposed;
  const char* Default;
  const char* Current;
  const char* Original;
  const char* Previous;
  const char* Proposed;
};

const TVersionCase kVersionCases[] = {
    // state            prior             O      C      P      Def  Cur  Orig Prev Prop
    {RS::rsUnchanged, RS::rsDetached, true, false, false, "O", "O", "O", "O", ""},
    {RS::rsModified, RS::rsUnchanged, true, true, false, "C", "C", "O", "O", ""},
    {RS::rsInserted, RS::rsDetached, false, true, false, "C", "C", "", "C", ""},
    {RS::rsInserted, RS::rsDetached, true, true, false, "C", "C", "", "O", ""},
    {RS::rsDeleted, RS::rsUnchanged, true, false, false, "O", "", "O", "O", ""},
    {RS::rsDeleted, RS::rsModified, true, true, false, "O", "", "O", "C", ""},
    {RS::rsDetached, RS::rsDetached, true, true, false, "O", "", "O", "C", ""},
    {RS::rsDetached, RS::rsDetached, true, true, true, "P", "P", "", "P", "P"},
    {RS::rsEditing, RS::rsUnchanged, true, false, true, "P", "O", "O", "O", "P"},
    {RS::rsEditing, RS::rsModified, true, true, true, "P", "C", "O", "C", "P"},
    {RS::rsEditing, RS::rsInserted, true, true, true, "P", "C", "", "C", "P"},
    // Transient states read as their prior state says.
    {RS::rsCalculating, RS::rsModified, true, true, false, "C", "C", "O", "O", ""},
    {RS::rsChecking, RS::rsUnchanged, true, true, false, "O", "O", "O", "O", ""},
    {RS::rsInitializing, RS::rsInserted, false, true, false, "C", "C", "", "C", ""},
    {RS::rsForceWrite, RS::rsDeleted, true, false, false, "O", "", "O", "O", ""},
    // Importing states read the buffer being imported for every version.
    {RS::rsImportingCurent, RS::rsDetached, true, true, true, "C", "C", "C", "C", "C"},
    {RS::rsImportingOriginal, RS::rsDetached, true, true, true, "O", "O", "O", "O", "O"},
    {RS::rsImportingProposed, RS::rsDetached, true, true, true, "P", "P", "P", "P", "P"},
    // A buffer the row lacks reads as null.
    {RS::rsUnchanged, RS::rsDetached, false, false, false, "", "", "", "", ""},
    {RS::rsModified, RS::rsUnchanged, false, true, false, "C", "C", "", "", ""},
};

std::string Read(const TRowStoreRow& row, RV version) {
  const TVariant& value = row.GetValue(0, version);
  return VarIsNull(value) ? std::string() : std::get<std::string>(value);
}

TEST(RowStoreRowTest, VersionReadFollowsStateTable) {
  for (const TVersionCase& c : kVersionCases) {
    TRowStoreRow row(7);
    if (c.HasOriginal) row.CreateBuffer(BK::bkOriginal, 1).SetValue(0, std::string("O"));
    if (c.HasCurrent) row.CreateBuffer(BK::bkCurrent, 1).SetValue(0, std::string("C"));
    if (c.HasProposed) row.CreateBuffer(BK::bkProposed, 1).SetValue(0, std::string("P"));
    row.SetRowState(c.State);
    row.SetRowPriorState(c.Prior);
    SCOPED_TRACE(testing::Message()
                 << "state " << int(c.State) << " prior " << int(c.Prior) << " buffers "
                 << c.HasOriginal << c.HasCurrent << c.HasProposed);
    EXPECT_EQ(Read(row, RV::rvDefault), c.Default);
    EXPECT_EQ(Read(row, RV::rvCurrent), c.Current);
    EXPECT_EQ(Read(row, RV::rvOriginal), c.Original);
    EXPECT_EQ(Read(row, RV::rvPrevious), c.Previous);
    EXPECT_EQ(Read(row, RV::rvProposed), c.Proposed);
  }
}

TEST(RowStoreRowTest, WritesGoToTheBufferTheStateNames) {
  struct {
    RS State;
    BK Target;
  } const cases[] = {
      {RS::rsImportingOriginal, BK::bkOriginal}, {RS::rsImportingCurent, BK::bkCurrent},
      {RS::rsImportingProposed, BK::bkProposed}, {RS::rsEditing, BK::bkProposed},
      {RS::rsInserted, BK::bkCurrent},
  };
  for (const auto& c : cases) {
    TRowStoreRow row;
    row.SetRowState(c.State);
    row.SetValue(2, std::int32_t{42});
    for (const BK kind : {BK::bkOriginal, BK::bkCurrent, BK::bkProposed}) {
      SCOPED_TRACE(testing::Message() << "state " << int(c.State) << " kind " << int(kind));
      if (kind == c.Target) {
        ASSERT_NE(row.Buffer(kind), nullptr);
        EXPECT_EQ(row.Buffer(kind)->GetValue(2), TVariant(std::int32_t{42}));
        EXPECT_TRUE(row.Buffer(kind)->IsNull(0));
        EXPECT_TRUE(row.Buffer(kind)->IsNull(99));  // beyond the end reads as null
      } else {
        EXPECT_EQ(row.Buffer(kind), nullptr);
      }
    }
  }
}

TEST(RowStoreRowTest, CreateBufferEmptiesAndFreeBufferRemoves) {
  TRowStoreRow row;
  row.CreateBuffer(BK::bkOriginal, 2).SetValue(0, std::string("old"));
  row.CreateBuffer(BK::bkOriginal, 2);
  EXPECT_TRUE(row.Buffer(BK::bkOriginal)->IsNull(0));
  row.FreeBuffer(BK::bkOriginal);
  EXPECT_EQ(row.Buffer(BK::bkOriginal), nullptr);
  row.SetRowState(RS::rsUnchanged);
  EXPECT_TRUE(VarIsNull(row.GetValue(0)));
}

TEST(RowStoreTableTest, RowIdsAndOrderOfLoadedAndAppendedRows) {
  TRowStoreTable table("T");
  EXPECT_EQ(table.AppendRow().RowID(), 0u);
  EXPECT_EQ(table.AppendRow().RowID(), 1u);
  EXPECT_EQ(table.NextRowID(), 2u);

  // Loaded rows keep their ids; the next id passes the highest seen.
  TRowStoreTable loaded("L");
  for (const std::uint32_t id : {5u, 9u, 3u}) {
    TRowStoreRow& row = loaded.AppendLoadedRow();
    row.SetRowID(id);
    loaded.AccountRowID(id);
  }
  EXPECT_EQ(loaded.NextRowID(), 10u);
  EXPECT_FALSE(loaded.RowsOrdered());
  EXPECT_EQ(loaded.AppendRow().RowID(), 10u);

  // The stream's "no id" value does not wrap the counter around.
  TRowStoreTable edge("E");
  edge.AccountRowID(4294967295u);
  EXPECT_EQ(edge.NextRowID(), 0u);
  EXPECT_TRUE(edge.RowsOrdered());

  ASSERT_EQ(loaded.RowCount(), 4u);
  EXPECT_TRUE(loaded.RemoveRow(loaded.Row(1)));
  EXPECT_FALSE(loaded.RemoveRow(table.Row(0)));
  EXPECT_EQ(loaded.Row(1).RowID(), 3u);
}

TEST(RowStoreTableTest, AutoIncrementColumnsContinueAfterLoadedValues) {
  TRowStoreTable table("T");
  TRowStoreColumn& id = table.AddColumn("id", TColumnDataType::dtInt32);
  id.AutoIncrement = true;
  table.AddColumn("name", TColumnDataType::dtAnsiString);
  TRowStoreRow& row = table.AppendRow();
  row.SetRowState(RS::rsUnchanged);
  row.CreateBuffer(BK::bkOriginal, 2).SetValue(0, std::int32_t{41});
  table.AccountAutoIncValues(row);
  EXPECT_EQ(id.NextAutoIncValue(), 42);
  EXPECT_EQ(id.NextAutoIncValue(), 43);

  TRowStoreColumn fresh("n", TColumnDataType::dtInt32);
  fresh.AutoIncrementSeed = 10;
  fresh.AutoIncrementStep = 5;
  EXPECT_EQ(fresh.NextAutoIncValue(), 10);
  EXPECT_EQ(fresh.NextAutoIncValue(), 15);
}

TEST(RowStoreTableTest, FreshTableAndColumnHaveTheirDefaults) {
  const TRowStoreTable table;
  EXPECT_TRUE(table.CaseSensitive);
  EXPECT_TRUE(table.EnforceConstraints);
  EXPECT_EQ(table.Locale, 1024u);
  EXPECT_EQ(table.InlineDataSize, 1000);
  EXPECT_TRUE(table.CheckNotNull);
  EXPECT_TRUE(table.CheckReadOnly);
  EXPECT_FALSE(table.Round2Scale || table.CheckPrecision || table.StrsTrim2Len || table.Nested);

  const TRowStoreColumn column("Amount", TColumnDataType::dtBCD);
  EXPECT_EQ(column.DisplayCaption(), "Amount");
  EXPECT_EQ(column.AutoIncrementSeed, 1);
  EXPECT_EQ(column.AutoIncrementStep, 1);
  EXPECT_TRUE(column.Attributes.Empty());
  EXPECT_EQ(column.SourceDataType, TColumnDataType::dtUnknown);
}

TEST(RowStoreManagerTest, TableNamesAreUniqueIgnoringCase) {
  TRowStoreManager manager;
  EXPECT_EQ(manager.AddTable("_MEM_TAB").Name, "_MEM_TAB");
  EXPECT_EQ(manager.AddTable("_mem_tab").Name, "_mem_tab1");
  EXPECT_EQ(manager.AddTable("_MEM_TAB").Name, "_MEM_TAB2");
  EXPECT_EQ(manager.FindTable("_Mem_Tab1"), &manager.Table(1));
  EXPECT_EQ(manager.FindTable("other"), nullptr);
}

TEST(RowStoreManagerTest, RootTableChoice) {
  struct TTableSpec {
    const char* Name;
    std::int32_t SourceID;
  };
  struct {
    const char* Label;
    std::vector<TTableSpec> Tables;
    std::vector<std::string> Children;  // child tables of relations
    const char* LookupName;
    const char* Expected;  // "" for none
  } const cases[] = {
      {"none", {}, {}, "", ""},
      {"single child of itself", {{"A", 0}}, {"A"}, "", "A"},
      {"first in list", {{"A", 0}, {"B", 0}}, {}, "", "A"},
      {"child skipped", {{"A", 0}, {"B", 0}}, {"a"}, "", "B"},
      {"positive SourceID first", {{"A", 0}, {"B", 7}}, {}, "", "B"},
      {"SourceID order", {{"A", 9}, {"B", 7}}, {}, "", "B"},
      {"SourceID above 1000 loses to position", {{"A", 0}, {"B", 5000}}, {}, "", "A"},
      {"every table a child", {{"A", 0}, {"B", 0}}, {"A", "B"}, "", ""},
      {"by name", {{"A", 0}, {"B", 0}}, {}, "b", "B"},
      {"by missing name", {{"A", 0}}, {}, "x", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TRowStoreManager manager;
    for (const TTableSpec& entry : c.Tables) manager.AddTable(entry.Name).SourceID = entry.SourceID;
    for (const std::string& child : c.Children) {
      TRowStoreRelation relation;
      relation.ChildTable = child;
      manager.Relations.push_back(relation);
    }
    const TRowStoreTable* root = manager.RootTable(c.LookupName);
    EXPECT_EQ(root == nullptr ? std::string() : root->Name, c.Expected);
  }
}

TEST(RowStoreManagerTest, JournalAndReset) {
  TRowStoreManager manager;
  TRowStoreTable& a = manager.AddTable("A");
  TRowStoreTable& b = manager.AddTable("B");
  TRowStoreRow& row = a.AppendRow();
  EXPECT_FALSE(manager.HasChangesFor(a));

  manager.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
  manager.UpdatesJournal->Changes.push_back({&a, &row, 1});
  EXPECT_TRUE(manager.HasChangesFor(a));
  EXPECT_FALSE(manager.HasChangesFor(b));

  b.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
  b.UpdatesJournal->Changes.push_back({&b, &b.AppendRow(), 1});
  EXPECT_TRUE(manager.HasChangesFor(b));

  manager.RemoveTable(a);
  EXPECT_TRUE(manager.UpdatesJournal->Changes.empty());

  manager.Relations.emplace_back();
  manager.Locale = 7;
  manager.Reset();
  EXPECT_EQ(manager.TableCount(), 0u);
  EXPECT_TRUE(manager.Relations.empty());
  EXPECT_EQ(manager.UpdatesJournal, nullptr);
  EXPECT_EQ(manager.Locale, 7u);
}

}  // namespace
}  // namespace tandemize::memtable
