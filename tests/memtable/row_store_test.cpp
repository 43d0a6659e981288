#include "memtable/row_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandemize::memtable {
namespace {

using enum TRowStoreRowState;
using enum TRowStoreRowVersion;
using enum TRowStoreBufferKind;

// Which buffer a read of each version uses. Each buffer holds its own name in
// column 0 ("O", "C", "P"); "" means the read gives null.
struct TVersionCase {
  TRowStoreRowState State;
  TRowStoreRowState Prior;
  bool HasOriginal, HasCurrent, HasProposed;
  const char* Default;
  const char* Current;
  const char* Original;
  const char* Previous;
  const char* Proposed;
};

const TVersionCase kVersionCases[] = {
    // state            prior             O      C      P      Def  Cur  Orig Prev Prop
    {rsUnchanged, rsDetached, true, false, false, "O", "O", "O", "O", ""},
    {rsModified, rsUnchanged, true, true, false, "C", "C", "O", "O", ""},
    {rsInserted, rsDetached, false, true, false, "C", "C", "", "C", ""},
    {rsInserted, rsDetached, true, true, false, "C", "C", "", "O", ""},
    {rsDeleted, rsUnchanged, true, false, false, "O", "", "O", "O", ""},
    {rsDeleted, rsModified, true, true, false, "O", "", "O", "C", ""},
    {rsDetached, rsDetached, true, true, false, "O", "", "O", "C", ""},
    {rsDetached, rsDetached, true, true, true, "P", "P", "", "P", "P"},
    {rsEditing, rsUnchanged, true, false, true, "P", "O", "O", "O", "P"},
    {rsEditing, rsModified, true, true, true, "P", "C", "O", "C", "P"},
    {rsEditing, rsInserted, true, true, true, "P", "C", "", "C", "P"},
    // Transient states read as their prior state says.
    {rsCalculating, rsModified, true, true, false, "C", "C", "O", "O", ""},
    {rsChecking, rsUnchanged, true, true, false, "O", "O", "O", "O", ""},
    {rsInitializing, rsInserted, false, true, false, "C", "C", "", "C", ""},
    {rsForceWrite, rsDeleted, true, false, false, "O", "", "O", "O", ""},
    // Importing states read the buffer being imported for every version.
    {rsImportingCurent, rsDetached, true, true, true, "C", "C", "C", "C", "C"},
    {rsImportingOriginal, rsDetached, true, true, true, "O", "O", "O", "O", "O"},
    {rsImportingProposed, rsDetached, true, true, true, "P", "P", "P", "P", "P"},
    // A buffer the row lacks reads as null.
    {rsUnchanged, rsDetached, false, false, false, "", "", "", "", ""},
    {rsModified, rsUnchanged, false, true, false, "C", "C", "", "", ""},
};

std::string Read(const TRowStoreRow& row, TRowStoreRowVersion version) {
  const TVariant& value = row.GetValue(0, version);
  return VarIsNull(value) ? std::string() : std::get<std::string>(value);
}

TEST(RowStoreRowTest, VersionReadFollowsStateTable) {
  for (const TVersionCase& c : kVersionCases) {
    TRowStoreRow row(7);
    if (c.HasOriginal) row.CreateBuffer(bkOriginal, 1).SetValue(0, std::string("O"));
    if (c.HasCurrent) row.CreateBuffer(bkCurrent, 1).SetValue(0, std::string("C"));
    if (c.HasProposed) row.CreateBuffer(bkProposed, 1).SetValue(0, std::string("P"));
    row.SetRowState(c.State);
    row.SetRowPriorState(c.Prior);
    SCOPED_TRACE(testing::Message()
                 << "state " << int(c.State) << " prior " << int(c.Prior) << " buffers "
                 << c.HasOriginal << c.HasCurrent << c.HasProposed);
    EXPECT_EQ(Read(row, rvDefault), c.Default);
    EXPECT_EQ(Read(row, rvCurrent), c.Current);
    EXPECT_EQ(Read(row, rvOriginal), c.Original);
    EXPECT_EQ(Read(row, rvPrevious), c.Previous);
    EXPECT_EQ(Read(row, rvProposed), c.Proposed);
  }
}

TEST(RowStoreRowTest, WritesGoToTheBufferTheStateNames) {
  struct {
    TRowStoreRowState State;
    TRowStoreBufferKind Target;
  } const cases[] = {
      {rsImportingOriginal, bkOriginal}, {rsImportingCurent, bkCurrent},
      {rsImportingProposed, bkProposed}, {rsEditing, bkProposed},
      {rsInserted, bkCurrent},
  };
  for (const auto& c : cases) {
    TRowStoreRow row;
    row.SetRowState(c.State);
    row.SetValue(2, std::int32_t{42});
    for (const TRowStoreBufferKind kind : {bkOriginal, bkCurrent, bkProposed}) {
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
  row.CreateBuffer(bkOriginal, 2).SetValue(0, std::string("old"));
  row.CreateBuffer(bkOriginal, 2);
  EXPECT_TRUE(row.Buffer(bkOriginal)->IsNull(0));
  row.FreeBuffer(bkOriginal);
  EXPECT_EQ(row.Buffer(bkOriginal), nullptr);
  row.SetRowState(rsUnchanged);
  EXPECT_TRUE(VarIsNull(row.GetValue(0)));
}

// A row keeps its first buffer inline and moves to a block of its own at the
// second: every order of creating and freeing buffers must leave each kind
// with its own values. Checked against a plain model over every sequence of
// five steps.
TEST(RowStoreRowTest, BuffersKeepTheirValuesThroughEveryOrderOfCreateAndFree) {
  constexpr TRowStoreBufferKind kKinds[] = {bkOriginal, bkCurrent, bkProposed};
  constexpr int kSteps = 5, kChoices = 6;  // create or free, for each kind
  int sequences = 1;
  for (int i = 0; i < kSteps; ++i) sequences *= kChoices;
  for (int sequence = 0; sequence < sequences; ++sequence) {
    TRowStoreRow row;
    std::optional<std::string> model[3];
    int code = sequence;
    for (int step = 0; step < kSteps; ++step, code /= kChoices) {
      const int kind = code % kChoices % 3;
      if (code % kChoices < 3) {
        model[kind] = "v" + std::to_string(step);
        row.CreateBuffer(kKinds[kind], 1).SetValue(0, *model[kind]);
      } else {
        model[kind].reset();
        row.FreeBuffer(kKinds[kind]);
      }
      for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(testing::Message() << "sequence " << sequence << " step " << step << " kind " << k);
        const TRowStoreRowBuffer* const buffer = row.Buffer(kKinds[k]);
        ASSERT_EQ(buffer != nullptr, model[k].has_value());
        if (buffer != nullptr) {
          EXPECT_EQ(buffer->GetValue(0), TVariant(*model[k]));
        }
      }
    }
  }
}

TEST(RowStoreRowTest, BufferIsAValueThatKeepsItsValuesAsItGrows) {
  // Filled column by column from empty, the buffer moves its values to larger
  // blocks several times; every value written stays where it was put.
  TRowStoreRowBuffer buffer;
  for (std::size_t c = 0; c < 40; c += 3) buffer.SetValue(c, "v" + std::to_string(c));
  ASSERT_EQ(buffer.Count(), 40u);
  for (std::size_t c = 0; c < 40; ++c) {
    SCOPED_TRACE(c);
    if (c % 3 == 0) {
      EXPECT_EQ(buffer.GetValue(c), TVariant("v" + std::to_string(c)));
    } else {
      EXPECT_TRUE(buffer.IsNull(c));
    }
  }

  // Copies are deep: changing one leaves the other as it was.
  TRowStoreRowBuffer copy = buffer;
  copy.SetValue(0, std::int32_t{1});
  copy.SetValue(60, std::int32_t{2});
  EXPECT_EQ(buffer.GetValue(0), TVariant(std::string("v0")));
  EXPECT_EQ(buffer.Count(), 40u);
  EXPECT_EQ(copy.Count(), 61u);
  copy = buffer;
  EXPECT_EQ(copy.GetValue(0), TVariant(std::string("v0")));
  EXPECT_EQ(copy.Count(), 40u);

  // A moved-from buffer is empty and usable again.
  TRowStoreRowBuffer moved = std::move(copy);
  EXPECT_EQ(moved.GetValue(39), TVariant(std::string("v39")));
  EXPECT_EQ(copy.Count(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(copy.IsNull(0));
  copy.SetValue(1, std::string("again"));
  EXPECT_EQ(copy.GetValue(1), TVariant(std::string("again")));

  // Clear keeps the columns and nulls their values.
  moved.Clear();
  EXPECT_EQ(moved.Count(), 40u);
  EXPECT_TRUE(moved.IsNull(39));
  moved.Slot(5) = std::int64_t{5};
  EXPECT_EQ(moved.GetValue(5), TVariant(std::int64_t{5}));
}

TEST(RowStoreRowTest, EditBufferMovedIntoARowBecomesThatRowsBuffer) {
  TRowStoreTable table("T");
  table.AddColumn("a", TColumnDataType::dtAnsiString);
  table.AddColumn("b", TColumnDataType::dtInt32);
  TRowStoreRow& row = table.AppendRow();
  row.CreateBuffer(bkOriginal, 2).SetValue(0, std::string("before"));
  const TRowStoreRowBuffer* const original = row.Buffer(bkOriginal);

  for (const TRowStoreBufferKind kind : {bkOriginal, bkCurrent}) {
    SCOPED_TRACE(int(kind));
    TRowStoreRowBuffer edit(table.ColumnCount());
    edit.SetValue(0, std::string("posted"));
    edit.SetValue(1, std::int32_t{7});
    TRowStoreRowBuffer& target = row.CreateBuffer(kind) = std::move(edit);
    EXPECT_EQ(&target, row.Buffer(kind));
    EXPECT_EQ(target.Count(), 2u);
    EXPECT_EQ(target.GetValue(0), TVariant(std::string("posted")));
    EXPECT_EQ(target.GetValue(1), TVariant(std::int32_t{7}));
    EXPECT_EQ(edit.Count(), 0u);  // NOLINT(bugprone-use-after-move)
    // Replacing a buffer's content keeps its address.
    if (kind == bkOriginal) {
      EXPECT_EQ(row.Buffer(bkOriginal), original);
    }
  }
  // A second buffer moved the first one, content and all.
  EXPECT_EQ(row.Buffer(bkOriginal)->GetValue(0), TVariant(std::string("posted")));
  EXPECT_EQ(row.Buffer(bkProposed), nullptr);
  row.SetRowState(rsModified);
  EXPECT_EQ(row.GetValue(0, rvOriginal), TVariant(std::string("posted")));
  EXPECT_EQ(&table.Row(0), &row);
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

// A table driven through appends and removals, against a plain list of the
// RowIDs it should hold. Every row carries its own id as text in an original
// buffer, plus a proposed buffer, an error and a change number, so that a
// place reused after a removal shows anything left over from its last row.
struct TRowListStep {
  enum TOp { opAppend, opRemoveEvery, opRemoveFirst, opRemoveAll, opClear } Op;
  std::size_t N = 0;  // rows to append, every N-th row, or rows to remove
};

class TRowListModel {
 public:
  explicit TRowListModel(TRowStoreTable& aTable) : FTable(aTable) {}

  void Run(const TRowListStep& aStep) {
    switch (aStep.Op) {
      case TRowListStep::opAppend:
        for (std::size_t i = 0; i < aStep.N; ++i) Append();
        break;
      case TRowListStep::opRemoveEvery:
        // RemoveRowsIf by position, through the ids the rows hold.
        {
          std::set<std::uint32_t> doomed;
          for (std::size_t i = 0; i < FIds.size(); i += aStep.N) doomed.insert(FIds[i]);
          const std::size_t removed = FTable.RemoveRowsIf(
              [&](const TRowStoreRow& row) { return doomed.count(row.RowID()) != 0; });
          EXPECT_EQ(removed, doomed.size());
          std::erase_if(FIds, [&](std::uint32_t id) { return doomed.count(id) != 0; });
        }
        break;
      case TRowListStep::opRemoveFirst:
        for (std::size_t i = 0; i < aStep.N; ++i) {
          ASSERT_TRUE(FTable.RemoveRow(FTable.Row(0)));
          FIds.erase(FIds.begin());
        }
        break;
      case TRowListStep::opRemoveAll:
        EXPECT_EQ(FTable.RemoveRowsIf([](const TRowStoreRow&) { return true; }), FIds.size());
        FIds.clear();
        break;
      case TRowListStep::opClear:
        FTable.ClearRows();
        FIds.clear();
        break;
    }
    for (auto it = FAddresses.begin(); it != FAddresses.end();) {
      it = std::find(FIds.begin(), FIds.end(), it->first) == FIds.end() ? FAddresses.erase(it)
                                                                        : std::next(it);
    }
  }

  // The table holds the listed rows in order, each where it was made and
  // with its own values.
  void Check() const {
    ASSERT_EQ(FTable.RowCount(), FIds.size());
    for (std::size_t i = 0; i < FIds.size(); ++i) {
      const TRowStoreRow& row = FTable.Row(i);
      SCOPED_TRACE(testing::Message() << "row " << i << " id " << FIds[i]);
      ASSERT_EQ(row.RowID(), FIds[i]);
      EXPECT_EQ(&row, FAddresses.at(FIds[i]));
      EXPECT_EQ(row.GetValue(0, rvOriginal), TVariant(std::to_string(FIds[i])));
      EXPECT_EQ(row.ChangeNumber(), FIds[i] + 1);
      ASSERT_NE(row.Error(), nullptr);
      EXPECT_EQ(row.Error()->Message, std::to_string(FIds[i]));
    }
  }

 private:
  void Append() {
    TRowStoreRow& row = FTable.AppendRow();
    // A new row has nothing of a row removed before it.
    EXPECT_EQ(row.RowState(), rsDetached);
    EXPECT_EQ(row.RowPriorState(), rsDetached);
    EXPECT_EQ(row.ChangeNumber(), 0u);
    EXPECT_EQ(row.Error(), nullptr);
    for (const TRowStoreBufferKind kind : {bkOriginal, bkCurrent, bkProposed}) {
      EXPECT_EQ(row.Buffer(kind), nullptr);
    }
    const std::string id = std::to_string(row.RowID());
    row.SetRowState(rsEditing);
    row.SetRowPriorState(rsUnchanged);
    row.SetChangeNumber(row.RowID() + 1);
    row.CreateBuffer(bkOriginal, 1).SetValue(0, id);
    row.CreateBuffer(bkProposed, 3).SetValue(2, id + " proposed");
    auto error = std::make_unique<TRowStoreRowError>();
    error->Message = id;
    row.SetError(std::move(error));
    FIds.push_back(row.RowID());
    FAddresses[row.RowID()] = &row;
  }

  TRowStoreTable& FTable;
  std::vector<std::uint32_t> FIds;
  std::map<std::uint32_t, const TRowStoreRow*> FAddresses;
};

TEST(RowStoreTableTest, RowsKeepOrderPlaceAndValuesThroughAppendsAndRemovals) {
  using S = TRowListStep;
  struct {
    const char* Label;
    std::vector<TRowListStep> Steps;
  } const cases[] = {
      {"many rows", {{S::opAppend, 1000}}},
      {"removed places taken by later appends",
       {{S::opAppend, 300},
        {S::opRemoveEvery, 3},
        {S::opAppend, 150},
        {S::opRemoveEvery, 2},
        {S::opAppend, 400}}},
      {"rows removed one at a time, then more appended",
       {{S::opAppend, 40},
        {S::opRemoveFirst, 25},
        {S::opAppend, 10},
        {S::opRemoveFirst, 25},
        {S::opAppend, 5}}},
      {"every row removed, then appends", {{S::opAppend, 50}, {S::opRemoveAll}, {S::opAppend, 3}}},
      {"cleared, then reused",
       {{S::opAppend, 600},
        {S::opRemoveEvery, 5},
        {S::opClear},
        {S::opAppend, 520},
        {S::opRemoveEvery, 7},
        {S::opClear},
        {S::opAppend, 40},
        {S::opClear},
        {S::opClear},
        {S::opAppend, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TRowStoreTable table("T");
    TRowListModel model(table);
    for (std::size_t i = 0; i < c.Steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "after step " << i);
      model.Run(c.Steps[i]);
      model.Check();
    }
  }
}

TEST(RowStoreTableTest, RemovalsLeaveTheNextRowIdAndOtherTablesAlone) {
  TRowStoreTable table("T");
  TRowStoreTable other("O");
  for (int i = 0; i < 20; ++i) table.AppendRow();
  TRowStoreRow& kept = other.AppendRow();
  EXPECT_FALSE(table.RemoveRow(kept));
  EXPECT_EQ(table.RemoveRowsIf([](const TRowStoreRow& row) { return row.RowID() >= 10; }), 10u);
  table.ClearRows();
  EXPECT_EQ(table.AppendRow().RowID(), 20u);
  EXPECT_EQ(table.RemoveRowsIf([](const TRowStoreRow&) { return false; }), 0u);
  ASSERT_EQ(other.RowCount(), 1u);
  EXPECT_EQ(&other.Row(0), &kept);
}

TEST(RowStoreTableTest, ThrowingRemovalPredicateLeavesTheRowsNotRemoved) {
  TRowStoreTable table("T");
  for (int i = 0; i < 10; ++i) table.AppendRow();
  // Rows 0 and 2 go; the predicate fails at row 4, so 1, 3 and 4..9 stay.
  EXPECT_THROW(table.RemoveRowsIf([](const TRowStoreRow& row) {
    if (row.RowID() == 4) throw std::runtime_error("stop");
    return row.RowID() % 2 == 0;
  }),
               std::runtime_error);
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < table.RowCount(); ++i) ids.push_back(table.Row(i).RowID());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 3, 4, 5, 6, 7, 8, 9}));
  // The places of the removed rows go to new rows, not to rows still listed.
  const TRowStoreRow& a = table.AppendRow();
  const TRowStoreRow& b = table.AppendRow();
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_NE(&table.Row(i), &a);
    EXPECT_NE(&table.Row(i), &b);
  }
}

TEST(RowStoreTableTest, AutoIncrementColumnsContinueAfterLoadedValues) {
  TRowStoreTable table("T");
  TRowStoreColumn& id = table.AddColumn("id", TColumnDataType::dtInt32);
  id.AutoIncrement = true;
  table.AddColumn("name", TColumnDataType::dtAnsiString);
  TRowStoreRow& row = table.AppendRow();
  row.SetRowState(rsUnchanged);
  row.CreateBuffer(bkOriginal, 2).SetValue(0, std::int32_t{41});
  table.AccountAutoIncValues(row);
  EXPECT_EQ(id.NextAutoIncValue(), 42);
  EXPECT_EQ(id.NextAutoIncValue(), 43);

  TRowStoreColumn fresh("n", TColumnDataType::dtInt32);
  fresh.AutoIncrementSeed = 10;
  fresh.AutoIncrementStep = 5;
  EXPECT_EQ(fresh.NextAutoIncValue(), 10);
  EXPECT_EQ(fresh.NextAutoIncValue(), 15);

  // Past the 64-bit range there is no next value (and no overflow).
  TRowStoreColumn top("t", TColumnDataType::dtInt64);
  top.AccountAutoIncValue(INT64_MAX);
  EXPECT_EQ(top.NextAutoIncValue(), std::nullopt);
  EXPECT_EQ(top.NextAutoIncValue(), std::nullopt);
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
