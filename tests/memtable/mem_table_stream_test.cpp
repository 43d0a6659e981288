// Loading a table from binary dataset streams written from row stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/storage/stream_writer.h"
#include "memtable/table_builder.h"

namespace tandemize::memtable {
namespace {

using namespace testing_support;
using enum TColumnAttribute;
using enum TColumnDataType;
using enum TRowStoreRowState;

std::vector<std::string> Walk(TMemTable& table) {
  std::vector<std::string> seen;
  for (table.First(); !table.Eof(); table.Next()) {
    const TField& id = table.FieldByName("id");
    const TField& name = table.FieldByName("name");
    seen.push_back((id.IsNull() ? "<null>" : id.AsString()) + "=" +
                   (name.IsNull() ? "<null>" : name.AsString()));
  }
  return seen;
}

struct TStreamCase {
  const char* Label;
  std::vector<TRowStoreRowState> States;  // one row per state; values below by position
  bool Journal;
  std::vector<std::string> Expected;
};

TEST(MemTableStreamTest, LoadShowsVisibleRowsOfTheFirstRootTable) {
  const TStreamCase cases[] = {
      {"unchanged, modified, deleted",
       {rsUnchanged, rsModified, rsDeleted},
       false,
       {"0=o0", "1=c1"}},
      {"only deleted", {rsDeleted, rsDeleted}, false, {}},
      {"no rows", {}, false, {}},
      {"inserted with Current only", {rsInserted}, false, {"0=c0"}},
      {"pending changes", {rsUnchanged, rsModified}, true, {"0=o0", "1=c1"}},
  };
  for (const int version : {4, 15}) {
    for (const TStreamCase& c : cases) {
      SCOPED_TRACE(testing::Message() << c.Label << " v" << version);
      TRowStoreManager source;
      // A child table listed first must not be the one shown.
      AddTable(source, "detail", {{"x", dtInt32}});
      TRowStoreTable& t = AddTable(
          source, "clients", {{"id", dtInt32, {}}, {"name", dtWideString, {caAllowNull}, 20}});
      TRowStoreRelation relation;
      relation.Name = "r";
      relation.ParentTable = "clients";
      relation.ChildTable = "detail";
      source.Relations.push_back(relation);
      for (std::size_t i = 0; i < c.States.size(); ++i) {
        const auto id = static_cast<std::int32_t>(i);
        const std::string n = std::to_string(i);
        const bool hasOriginal = c.States[i] != rsInserted;
        const bool hasCurrent = c.States[i] == rsInserted || c.States[i] == rsModified;
        TRowStoreRow& row =
            AddRow(t, c.States[i], hasOriginal ? std::optional(TValues{id, "o" + n}) : std::nullopt,
                   hasCurrent ? std::optional(TValues{id, "c" + n}) : std::nullopt);
        if (c.Journal && c.States[i] != rsUnchanged) {
          source.UpdatesRegistry = true;
          if (!source.UpdatesJournal)
            source.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
          source.UpdatesJournal->Changes.push_back({&t, &row, 1});
        }
      }
      const std::string bytes = storage::WriteBinaryStream(source, {.Version = version});

      TMemTable table;
      table.LoadFromStream(bytes, TStorageFormat::sfBinary);
      ASSERT_TRUE(table.Active());
      EXPECT_EQ(table.Table()->Name, "clients");
      EXPECT_EQ(table.IsEmpty(), c.Expected.empty());
      EXPECT_EQ(table.Eof(), c.Expected.empty());
      EXPECT_EQ(table.RecordCount(), static_cast<int>(c.Expected.size()));
      EXPECT_EQ(table.CachedUpdates(), c.Journal);
      EXPECT_EQ(Walk(table), c.Expected);
    }
  }
}

TEST(MemTableStreamTest, LoadReplacesTheContentAndAnEmptyStoreFails) {
  TRowStoreManager first;
  AddRow(AddTable(first, "a", {{"id", dtInt32}, {"name", dtAnsiString, {caAllowNull}, 5}}),
         rsUnchanged, TValues{std::int32_t{1}, std::string("one")});
  TRowStoreManager second;
  AddTable(second, "b", {{"other", dtInt64}});
  const TRowStoreManager empty;

  TMemTable table;
  table.LoadFromStream(storage::WriteBinaryStream(first), TStorageFormat::sfBinary);
  EXPECT_EQ(Walk(table), (std::vector<std::string>{"1=one"}));

  table.LoadFromStream(storage::WriteBinaryStream(second), TStorageFormat::sfBinary);
  EXPECT_EQ(table.Fields().Count(), 1u);
  EXPECT_EQ(table.FindField("id"), nullptr);
  EXPECT_NE(table.FindField("OTHER"), nullptr);
  EXPECT_TRUE(table.IsEmpty());

  try {
    table.LoadFromStream(storage::WriteBinaryStream(empty), TStorageFormat::sfBinary);
    FAIL() << "an empty row store opened";
  } catch (const EDALException& e) {
    EXPECT_EQ(e.Code(), 206);
  }
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(table.Fields().Count(), 0u);
}

}  // namespace
}  // namespace tandemize::memtable
