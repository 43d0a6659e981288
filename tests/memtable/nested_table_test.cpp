// Nested tables: the table of a TDataSetField and how its rows follow the
// parent's current record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memtable/mem_table.h"

namespace tandemize::memtable {
namespace {

using enum TFieldType;
using enum TColumnAttribute;
using enum TColumnDataType;
using enum TRowStoreRowState;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TField& AddField(TMemTable& table, TFieldType type, const char* name, std::int32_t size = 0) {
  std::unique_ptr<TField> field = CreateField(type);
  field->SetFieldName(name);
  field->SetSize(size);
  return table.Fields().Add(std::move(field));
}

// Orders (id) with their items (sku, qty) as a nested table.
class NestedTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddField(orders, ftInteger, "id");
    items = &static_cast<TDataSetField&>(AddField(orders, ftDataSet, "items"));
    AddField(Items(), ftWideString, "sku", 20);
    AddField(Items(), ftInteger, "qty");
  }
  TMemTable& Items() { return items->NestedDataSet(); }

  // Appends and posts an order with one item per sku.
  void AddOrder(std::int32_t id, const std::vector<std::string>& skus) {
    orders.Append();
    orders.FieldByName("id").SetAsInteger(id);
    AddItems(skus);
    orders.Post();
  }
  void AddItems(const std::vector<std::string>& skus) {
    for (const std::string& sku : skus) {
      Items().Append();
      Items().FieldByName("sku").SetAsString(sku);
      Items().Post();
    }
  }
  // The skus the nested table shows, first to last.
  std::vector<std::string> Skus() {
    std::vector<std::string> skus;
    for (Items().First(); !Items().Eof(); Items().Next()) {
      skus.push_back(Items().FieldByName("sku").AsString());
    }
    return skus;
  }
  // The skus of the order with that id.
  std::vector<std::string> SkusOf(std::int32_t id) {
    for (orders.First(); !orders.Eof(); orders.Next()) {
      if (orders.FieldByName("id").AsInteger() == id) return Skus();
    }
    ADD_FAILURE() << "no order " << id;
    return {};
  }

  TMemTable orders;
  TDataSetField* items = nullptr;
};

TEST_F(NestedTableTest, NestedRowsFollowTheParentsCurrentRecord) {
  orders.Open();
  ASSERT_TRUE(Items().Active());
  EXPECT_EQ(Items().DataSetField(), items);
  AddOrder(1, {"a", "b"});
  AddOrder(2, {"c"});
  AddOrder(3, {});

  EXPECT_THAT(SkusOf(1), ElementsAre("a", "b"));
  EXPECT_THAT(SkusOf(2), ElementsAre("c"));
  EXPECT_THAT(SkusOf(3), IsEmpty());
  EXPECT_TRUE(Items().IsEmpty());
  // Every cursor move of the parent shows its record's rows from the first.
  orders.First();
  Items().Last();
  orders.Next();
  EXPECT_EQ(Items().RecordCount(), 1);
  EXPECT_EQ(Items().FieldByName("sku").AsString(), "c");
  orders.Prior();
  EXPECT_EQ(Items().RecNo(), 1);
  EXPECT_EQ(Items().RecordCount(), 2);
  orders.SetRecNo(3);
  EXPECT_EQ(Items().RecordCount(), 0);

  // The row store: one nested table, pointed to by the parent column, whose
  // rows carry the parent's RowID in an internal column no field shows.
  const TRowStoreTable& nested = *Items().Table();
  EXPECT_TRUE(nested.Nested);
  EXPECT_EQ(nested.RowCount(), 3u);
  const int itemsColumn = orders.Table()->IndexOfColumn("items");
  ASSERT_GE(itemsColumn, 0);
  EXPECT_EQ(orders.Table()->Column(static_cast<std::size_t>(itemsColumn)).DataType, dtRowSetRef);
  EXPECT_EQ(orders.Table()->Column(static_cast<std::size_t>(itemsColumn)).NestedTable, &nested);
  ASSERT_EQ(nested.ColumnCount(), 3u);
  EXPECT_EQ(nested.Column(2).DataType, dtParentRowRef);
  EXPECT_TRUE(nested.Column(2).Attributes.Contains(caInternal));
  EXPECT_EQ(Items().Fields().Count(), 2u);
  EXPECT_EQ(Items().FieldDefs().Count(), 2u);
}

TEST_F(NestedTableTest, OpensAndClosesWithItsParent) {
  orders.Open();
  AddOrder(1, {"a"});
  orders.Close();
  EXPECT_FALSE(Items().Active());
  orders.Open();
  EXPECT_TRUE(Items().Active());
  EXPECT_TRUE(orders.IsEmpty());
  EXPECT_EQ(Items().Table()->RowCount(), 0u);

  // A nested table given no fields stays closed; the parent opens all the same.
  TMemTable bare;
  AddField(bare, ftInteger, "id");
  auto& empty = static_cast<TDataSetField&>(AddField(bare, ftDataSet, "none"));
  bare.Open();
  EXPECT_TRUE(bare.Active());
  EXPECT_FALSE(empty.NestedDataSet().Active());
}

TEST_F(NestedTableTest, ANestedRecordNeedsAParentRecord) {
  orders.Open();
  try {
    Items().Append();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot add a nested record without a parent record");
  }
  EXPECT_EQ(Items().State(), TDataSetState::dsBrowse);
}

// Appending a parent record starts with no nested rows; the rows gathered
// while it is inserted stay with it when it is posted and go when it is
// cancelled, so the next record does not inherit them.
TEST_F(NestedTableTest, NestedRowsOfARecordBeingInserted) {
  for (const bool post : {true, false}) {
    SCOPED_TRACE(post ? "posted" : "cancelled");
    orders.Close();
    orders.Open();
    AddOrder(1, {"a"});
    orders.Append();
    EXPECT_TRUE(Items().IsEmpty());
    orders.FieldByName("id").SetAsInteger(2);
    AddItems({"b", "c"});
    Items().Append();
    Items().FieldByName("sku").SetAsString("pending");
    if (post) {
      orders.Post();  // posts the pending nested record first
      EXPECT_THAT(SkusOf(2), ElementsAre("b", "c", "pending"));
    } else {
      orders.Cancel();
      EXPECT_EQ(Items().State(), TDataSetState::dsBrowse);
      EXPECT_EQ(Items().Table()->RowCount(), 1u);
      EXPECT_THAT(Skus(), ElementsAre("a"));  // back on order 1
      orders.Append();
      EXPECT_TRUE(Items().IsEmpty());
      orders.Cancel();
    }
    EXPECT_THAT(SkusOf(1), ElementsAre("a"));
  }
}

TEST_F(NestedTableTest, DeletingAParentRecordDropsItsNestedRows) {
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "marked deleted" : "removed");
    orders.Close();
    orders.SetCachedUpdates(false);
    orders.Open();
    AddOrder(1, {"a", "b"});
    AddOrder(2, {"c"});
    AddOrder(3, {"d", "e"});
    // With cached updates a posted record is only marked deleted.
    orders.SetCachedUpdates(cached);
    orders.SetRecNo(2);
    orders.Delete();
    EXPECT_EQ(orders.FieldByName("id").AsInteger(), 3);
    EXPECT_THAT(Skus(), ElementsAre("d", "e"));
    EXPECT_EQ(Items().Table()->RowCount(), 4u);
    orders.First();
    orders.Delete();
    EXPECT_THAT(Skus(), ElementsAre("d", "e"));
    EXPECT_EQ(Items().Table()->RowCount(), 2u);
    EXPECT_EQ(orders.Table()->RowCount(), cached ? 3u : 1u);
  }
}

// Nested rows are stored as they are posted: cancelling the parent's edit
// keeps them and drops only a nested record still being edited.
TEST_F(NestedTableTest, NestedChangesWhileTheParentEdits) {
  orders.Open();
  AddOrder(1, {"a"});
  AddOrder(2, {"b"});
  orders.First();
  orders.Edit();
  AddItems({"kept"});
  Items().Append();
  Items().FieldByName("sku").SetAsString("dropped");
  orders.Cancel();
  EXPECT_EQ(Items().State(), TDataSetState::dsBrowse);
  EXPECT_THAT(Skus(), ElementsAre("a", "kept"));

  // A nested record being edited when the parent moves belongs to the record
  // it was started under.
  Items().Append();
  Items().FieldByName("sku").SetAsString("moved");
  orders.Next();
  EXPECT_THAT(Skus(), ElementsAre("b"));
  EXPECT_THAT(SkusOf(1), ElementsAre("a", "kept", "moved"));

  // Editing a nested row keeps it with its parent.
  orders.First();
  Items().First();
  Items().Edit();
  Items().FieldByName("qty").SetAsInteger(5);
  Items().Post();
  EXPECT_EQ(Items().FieldByName("qty").AsInteger(), 5);
  EXPECT_THAT(SkusOf(1), ElementsAre("a", "kept", "moved"));
}

// Should the record being inserted get another RowID than the one its nested
// rows were linked to (a row reached the row store meanwhile), they follow it.
TEST_F(NestedTableTest, NestedRowsFollowTheRowIDTheInsertedRecordGets) {
  orders.Open();
  orders.Append();
  orders.FieldByName("id").SetAsInteger(1);
  AddItems({"a"});
  TRowStoreRow& other = orders.Table()->AppendRow();
  other.SetRowState(rsUnchanged);
  other.CreateBuffer(TRowStoreBufferKind::bkOriginal, orders.Table()->ColumnCount())
      .SetValue(0, std::int32_t{9});
  orders.Post();
  EXPECT_THAT(SkusOf(1), ElementsAre("a"));
  EXPECT_THAT(SkusOf(9), IsEmpty());
}

TEST_F(NestedTableTest, EmptyingRemovesTheRecordsOfItsLevelAndEveryLevelBelow) {
  orders.Open();
  AddOrder(1, {"a", "b"});
  AddOrder(2, {"c"});

  // The nested table: only the items of the current order go.
  orders.First();
  Items().EmptyDataSet();
  EXPECT_THAT(SkusOf(1), IsEmpty());
  EXPECT_THAT(SkusOf(2), ElementsAre("c"));

  // The top table: every order and every item; the fields stay and the table
  // takes new records as before.
  orders.Edit();
  orders.FieldByName("id").SetAsInteger(20);
  orders.EmptyDataSet();
  EXPECT_TRUE(orders.Active());
  EXPECT_TRUE(orders.IsEmpty());
  EXPECT_TRUE(orders.Eof());
  EXPECT_EQ(orders.Fields().Count(), 2u);
  EXPECT_EQ(Items().Table()->RowCount(), 0u);
  AddOrder(3, {"d"});
  EXPECT_EQ(orders.RecordCount(), 1);
  EXPECT_THAT(SkusOf(3), ElementsAre("d"));
}

// A nested table inside a nested table: deleting the top record drops the
// rows of both levels.
TEST(NestedTableLevelsTest, DeletingDropsEveryLevel) {
  TMemTable orders;
  AddField(orders, ftInteger, "id");
  TMemTable& items =
      static_cast<TDataSetField&>(AddField(orders, ftDataSet, "items")).NestedDataSet();
  AddField(items, ftInteger, "line");
  TMemTable& notes =
      static_cast<TDataSetField&>(AddField(items, ftDataSet, "notes")).NestedDataSet();
  AddField(notes, ftWideString, "text", 10);
  orders.Open();
  ASSERT_TRUE(notes.Active());
  for (std::int32_t id = 1; id <= 2; ++id) {
    orders.Append();
    orders.FieldByName("id").SetAsInteger(id);
    for (std::int32_t line = 1; line <= 2; ++line) {
      items.Append();
      items.FieldByName("line").SetAsInteger(line);
      notes.Append();
      notes.FieldByName("text").SetAsString("n" + std::to_string(id) + std::to_string(line));
      items.Post();  // posts the note first
    }
    orders.Post();
  }
  EXPECT_EQ(notes.Table()->RowCount(), 4u);
  orders.First();
  items.Last();
  EXPECT_EQ(notes.FieldByName("text").AsString(), "n12");
  orders.Delete();
  EXPECT_EQ(items.Table()->RowCount(), 2u);
  EXPECT_EQ(notes.Table()->RowCount(), 2u);
  EXPECT_EQ(notes.FieldByName("text").AsString(), "n21");
}

}  // namespace
}  // namespace tandemize::memtable
