#include "memtable/storage/stream_reader.h"

#include <algorithm>
#include <unordered_map>

#include "memtable/storage/internal/bin_storage.h"
#include "memtable/storage/internal/value_codec.h"

namespace tandemize::memtable::storage {

namespace {

constexpr std::string_view kVersionNames[] = {"Original", "Current", "Proposed"};
constexpr TRowStoreBufferKind kBufferKinds[] = {TRowStoreBufferKind::bkOriginal,
                                                TRowStoreBufferKind::bkCurrent,
                                                TRowStoreBufferKind::bkProposed};

// Reads rows straight into the row store: each row version's values are
// decoded from the stream's bytes into the row's buffer, with nothing held
// in between. The description stays in the tree until the whole stream has
// been read (its deferred settings apply at the end); Finish then moves it
// next to the rows.
class TRowStoreSink final : public TStreamRowSink {
 public:
  explicit TRowStoreSink(TRowStoreManager& aTarget) : FTarget(aTarget) {}

  void BeginRows(const TStreamTable& aTable) override { TargetOf(aTable); }

  void LoadRow(TBinStorage& aStorage, const TStreamTable& aTable) override {
    TRowStoreTable& table = TargetOf(aTable).Table;
    TRowStoreRow& row = table.AppendRow();
    aStorage.ReadObjectContent([&] { LoadRowBody(aStorage, aTable, row); });
    table.AccountRowID(row.RowID());
  }

  void DiscardRows(const TStreamTable& aTable) override {
    TTarget& target = TargetOf(aTable);
    target.Table.ClearRows();
    target.Table.SetNextRowID(target.FirstRowID);
    target.ByID.clear();
    target.Indexed = false;
  }

  void SetChangeNumber(const TStreamTable& aTable, std::uint32_t aRowID,
                       std::uint32_t aChangeNumber) override {
    TTarget& target = TargetOf(aTable);
    if (!target.Indexed) {
      // The first row with a RowID is the one a journal entry names.
      for (std::size_t r = 0; r < target.Table.RowCount(); ++r) {
        target.ByID.emplace(target.Table.Row(r).RowID(), &target.Table.Row(r));
      }
      target.Indexed = true;
    }
    if (const auto found = target.ByID.find(aRowID); found != target.ByID.end()) {
      found->second->SetChangeNumber(aChangeNumber);
    }
  }

  // The row-store table holding the rows of `aTable`; none before its rows.
  TRowStoreTable* TableOf(const TStreamTable& aTable) const {
    for (const auto& target : FTables) {
      if (target->Source == &aTable) return &target->Table;
    }
    return nullptr;
  }

 private:
  struct TTarget {
    const TStreamTable* Source;
    TRowStoreTable& Table;
    std::uint32_t FirstRowID;
    std::unordered_map<std::uint32_t, TRowStoreRow*> ByID;
    bool Indexed = false;
  };

  // Tables are added in the order the stream's tables begin their rows,
  // which is the order of the tree's tables.
  TTarget& TargetOf(const TStreamTable& aTable) {
    if (FLast != nullptr && FLast->Source == &aTable) return *FLast;
    for (const auto& target : FTables) {
      if (target->Source == &aTable) return *(FLast = target.get());
    }
    TRowStoreTable& table = FTarget.AddTable(aTable.Name);
    FTables.push_back(std::make_unique<TTarget>(TTarget{&aTable, table, table.NextRowID(), {}}));
    return *(FLast = FTables.back().get());
  }

  static void LoadRowBody(TBinStorage& aStorage, const TStreamTable& aTable, TRowStoreRow& aRow) {
    aRow.SetRowID(aStorage.ReadLongWord("RowID", 0xFFFFFFFF));
    aRow.SetRowState(static_cast<TRowStoreRowState>(aStorage.ReadEnum(
        "RowState", kRowStateEnum, static_cast<int>(TRowStoreRowState::rsUnchanged))));
    aRow.SetRowPriorState(static_cast<TRowStoreRowState>(aStorage.ReadEnum(
        "RowPriorState", kRowStateEnum, static_cast<int>(TRowStoreRowState::rsDetached))));
    if (std::unique_ptr<TStreamError> error = TStreamRow::LoadError(aStorage)) {
      aRow.SetError(std::make_unique<TRowStoreRowError>(*error));
    }
    const std::vector<std::uint16_t>& order = aTable.ValueOrder(aStorage.StreamVersion());
    const std::size_t columnCount = aTable.Columns.size();
    for (std::size_t v = 0; v < std::size(kVersionNames); ++v) {
      if (!aStorage.TestAndReadObjectBegin(kVersionNames[v])) continue;
      TRowStoreRowBuffer& buffer = aRow.CreateBuffer(kBufferKinds[v], columnCount);
      TStorageValue value;
      const TValueNaming naming =
          aTable.HasColumnsNamedAlike() ? TValueNaming::ExactName : TValueNaming::NameIgnoringCase;
      for (const std::uint16_t index : order) {
        const TStreamColumn& column = *aTable.Columns[index];
        if (aStorage.ReadValue(column.Name, naming, index, column.DataType, value)) {
          DecodeValueInto(column.DataType, value.Bytes, buffer.Slot(index));
        }
      }
      aStorage.ReadObjectEnd();
    }
  }

  TRowStoreManager& FTarget;
  std::vector<std::unique_ptr<TTarget>> FTables;
  TTarget* FLast = nullptr;
};

// Everything of a table but its rows.
void MoveTableDescription(const TStreamTable& s, TRowStoreTable& t) {
  static_cast<TRowStoreTableInfo&>(t) = s;
  for (const auto& sc : s.Columns) {
    TRowStoreColumn& c = t.AddColumn(sc->Name, sc->DataType);
    static_cast<TRowStoreColumnInfo&>(c) = *sc;
    // The row store shows the name while the caption is empty.
    if (c.Caption == c.Name) c.Caption.clear();
  }
  for (const auto& sc : s.Constraints) {
    if (!sc->Base) t.Constraints.push_back(static_cast<const TRowStoreConstraint&>(*sc));
  }
  for (const auto& sv : s.Views) {
    TRowStoreView& v = t.Views.emplace_back();
    static_cast<TRowStoreViewInfo&>(v) = *sv;
    for (const auto& sm : sv->Mechanisms) {
      if (!sm->Base) v.Mechanisms.push_back(static_cast<const TRowStoreViewMech&>(*sm));
    }
    for (const auto& sa : sv->Aggregates) {
      v.Aggregates.push_back(static_cast<const TRowStoreAggregate&>(*sa));
    }
  }
}

void MoveTable(TStreamTable& s, TRowStoreTable& t) {
  MoveTableDescription(s, t);
  const std::size_t columnCount = t.ColumnCount();
  for (auto& sr : s.Rows) {
    TRowStoreRow& row = t.AppendRow();
    row.SetRowID(sr->RowID);
    row.SetRowState(sr->RowState);
    row.SetRowPriorState(sr->RowPriorState);
    row.SetChangeNumber(sr->ChangeNumber);
    if (sr->Error) row.SetError(std::make_unique<TRowStoreRowError>(*sr->Error));
    for (const TRowStoreBufferKind kind : kBufferKinds) {
      std::optional<TStreamValues>& values = sr->Values(kind);
      if (!values) continue;
      TRowStoreRowBuffer& buffer = row.CreateBuffer(kind, columnCount);
      for (std::size_t c = 0; c < values->size() && c < columnCount; ++c) {
        if ((*values)[c]) buffer.SetValue(c, DecodeValue(t.Column(c).DataType, *(*values)[c]));
      }
      values.reset();
    }
    t.AccountRowID(sr->RowID);
    t.AccountAutoIncValues(row);
    sr.reset();
  }
  s.Rows.clear();
}

// Journal entries by RowID of a table of the row store.
std::vector<TRowStoreChange> ResolveChanges(const std::vector<TStreamChange>& aChanges,
                                            TRowStoreManager& aTarget, TRowStoreTable* aOwnTable) {
  std::unordered_map<const TRowStoreTable*, std::unordered_map<std::uint32_t, TRowStoreRow*>> byID;
  std::vector<TRowStoreChange> changes;
  for (const TStreamChange& change : aChanges) {
    TRowStoreTable* table = aOwnTable;
    if (table == nullptr) {
      if (change.TabID < 0 || static_cast<std::size_t>(change.TabID) >= aTarget.TableCount()) {
        continue;
      }
      table = &aTarget.Table(static_cast<std::size_t>(change.TabID));
    }
    auto [index, fresh] = byID.try_emplace(table);
    if (fresh) {
      for (std::size_t r = 0; r < table->RowCount(); ++r) {
        index->second.emplace(table->Row(r).RowID(), &table->Row(r));
      }
    }
    if (const auto found = index->second.find(change.RowID); found != index->second.end()) {
      changes.push_back({table, found->second, change.ChangeNumber});
    }
  }
  return changes;
}

void MoveJournals(const TStreamTable& s, TRowStoreTable& t, TRowStoreManager& aTarget) {
  if (!s.Journal) return;
  t.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
  t.UpdatesJournal->SavePoint = s.Journal->SavePoint;
  t.UpdatesJournal->Changes = ResolveChanges(s.Journal->Changes, aTarget, &t);
}

void MoveManagerDescription(const TStreamManager& s, TRowStoreManager& t) {
  for (const auto& sr : s.Relations) {
    t.Relations.push_back(static_cast<const TRowStoreRelation&>(*sr));
  }
  if (s.Journal) {
    t.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
    t.UpdatesJournal->SavePoint = s.Journal->SavePoint;
    t.UpdatesJournal->Changes = ResolveChanges(s.Journal->Changes, t, nullptr);
  }
}

void LoadRowStoreFrom(TBinStorage& aStorage, TRowStoreManager& t) {
  TRowStoreSink sink(t);
  TStreamManager s;
  s.SetRowSink(&sink);
  s.LoadFromStorage(aStorage);
  static_cast<TRowStoreManagerInfo&>(t) = s;
  for (const auto& st : s.Tables) {
    // Either every table read a row list and has its table already, or,
    // when the stream carries no rows, none has.
    TRowStoreTable* table = sink.TableOf(*st);
    if (table == nullptr) table = &t.AddTable(st->Name);
    MoveTableDescription(*st, *table);
    if (std::any_of(st->Columns.begin(), st->Columns.end(),
                    [](const auto& column) { return column->AutoIncrement; })) {
      for (std::size_t r = 0; r < table->RowCount(); ++r) {
        table->AccountAutoIncValues(table->Row(r));
      }
    }
    MoveJournals(*st, *table, t);
  }
  MoveManagerDescription(s, t);
}

}  // namespace

TStreamManager ReadBinaryStream(std::string_view aStream, TStoreItems aItems) {
  TBinStorage storage;
  storage.OpenRead(aStream, aItems);
  TStreamManager manager;
  manager.LoadFromStorage(storage);
  return manager;
}

void MoveToRowStore(TStreamManager& s, TRowStoreManager& t) {
  static_cast<TRowStoreManagerInfo&>(t) = s;
  for (auto& st : s.Tables) {
    TRowStoreTable& table = t.AddTable(st->Name);
    MoveTable(*st, table);
    MoveJournals(*st, table, t);
  }
  MoveManagerDescription(s, t);
}

void LoadRowStore(std::string_view aStream, TRowStoreManager& aTarget) {
  // The header is checked before the row store changes.
  TBinStorage storage;
  storage.OpenRead(aStream);
  aTarget.Reset();
  // Rows go to the row store as they are read; a broken stream empties it
  // again, so it is never left half filled. The manager's own settings are
  // set only once the whole stream has been read.
  try {
    LoadRowStoreFrom(storage, aTarget);
  } catch (...) {
    aTarget.Reset();
    throw;
  }
}

}  // namespace tandemize::memtable::storage
