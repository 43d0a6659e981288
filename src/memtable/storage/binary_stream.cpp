#include "memtable/storage/binary_stream.h"

#include <algorithm>
#include <unordered_map>

#include "memtable/storage/bin_storage.h"
#include "memtable/storage/value_codec.h"

namespace tandemize::memtable::storage {

namespace {

using enum TRowStoreBufferKind;

std::optional<TStreamValues>& StreamBuffer(TStreamRow& aRow, TRowStoreBufferKind aKind) {
  switch (aKind) {
    case bkOriginal:
      return aRow.Original;
    case bkCurrent:
      return aRow.Current;
    case bkProposed:
      return aRow.Proposed;
  }
  return aRow.Current;
}

const std::optional<TStreamValues>& StreamBuffer(const TStreamRow& aRow,
                                                 TRowStoreBufferKind aKind) {
  return StreamBuffer(const_cast<TStreamRow&>(aRow), aKind);
}

constexpr TRowStoreBufferKind kBufferKinds[] = {bkOriginal, bkCurrent, bkProposed};

TConstraintKind ToRowStore(TStreamConstraint::TKind aKind) {
  switch (aKind) {
    case TStreamConstraint::TKind::ckForeignKey:
      return TConstraintKind::ckForeignKey;
    case TStreamConstraint::TKind::ckCheck:
      return TConstraintKind::ckCheck;
    default:
      return TConstraintKind::ckUnique;
  }
}

TStreamConstraint::TKind FromRowStore(TConstraintKind aKind) {
  switch (aKind) {
    case TConstraintKind::ckForeignKey:
      return TStreamConstraint::TKind::ckForeignKey;
    case TConstraintKind::ckCheck:
      return TStreamConstraint::TKind::ckCheck;
    case TConstraintKind::ckUnique:
      break;
  }
  return TStreamConstraint::TKind::ckUnique;
}

// The two mechanism enumerations differ by the stream's abstract base kind.
TViewMechKind ToRowStore(TStreamMech::TKind aKind) {
  return static_cast<TViewMechKind>(static_cast<int>(aKind) - 1);
}
TStreamMech::TKind FromRowStore(TViewMechKind aKind) {
  return static_cast<TStreamMech::TKind>(static_cast<int>(aKind) + 1);
}

void CopyConstraint(const TStreamConstraint& s, TRowStoreConstraint& t) {
  t.Kind = ToRowStore(s.Kind);
  t.Name = s.Name;
  t.Enforce = s.Enforce;
  t.Rely = s.Rely;
  t.CheckTime = s.CheckTime;
  t.Message = s.Message;
  t.ColumnNames = s.ColumnNames;
  t.SortOptions = s.SortOptions;
  t.RelatedColumnNames = s.RelatedColumnNames;
  t.RelatedTableName = s.RelatedTableName;
  t.DeleteRule = s.DeleteRule;
  t.InsertRule = s.InsertRule;
  t.UpdateRule = s.UpdateRule;
  t.AcceptRejectRule = s.AcceptRejectRule;
  t.FieldValueRequired = s.FieldValueRequired;
  t.ParentMessage = s.ParentMessage;
  t.Expression = s.Expression;
}

void CopyConstraint(const TRowStoreConstraint& s, TStreamConstraint& t) {
  t.Kind = FromRowStore(s.Kind);
  t.Name = s.Name;
  t.Enforce = s.Enforce;
  t.Rely = s.Rely;
  t.CheckTime = s.CheckTime;
  t.Message = s.Message;
  t.ColumnNames = s.ColumnNames;
  t.SortOptions = s.SortOptions;
  t.RelatedColumnNames = s.RelatedColumnNames;
  t.RelatedTableName = s.RelatedTableName;
  t.DeleteRule = s.DeleteRule;
  t.InsertRule = s.InsertRule;
  t.UpdateRule = s.UpdateRule;
  t.AcceptRejectRule = s.AcceptRejectRule;
  t.FieldValueRequired = s.FieldValueRequired;
  t.ParentMessage = s.ParentMessage;
  t.Expression = s.Expression;
}

template <class S, class T>
void CopyMechFields(const S& s, T& t) {
  t.Active = s.Active;
  t.Locator = s.Locator;
  t.Expression = s.Expression;
  t.Columns = s.Columns;
  t.DescendingColumns = s.DescendingColumns;
  t.CaseInsensitiveColumns = s.CaseInsensitiveColumns;
  t.SortOptions = s.SortOptions;
  t.BottomExclusive = s.BottomExclusive;
  t.TopExclusive = s.TopExclusive;
  t.BottomColumnCount = s.BottomColumnCount;
  t.TopColumnCount = s.TopColumnCount;
  t.NoCase = s.NoCase;
  t.Partial = s.Partial;
}

template <class S, class T>
void CopyRelation(const S& s, T& t) {
  t.Name = s.Name;
  t.ChildTable = s.ChildTable;
  t.ChildKeyConstraint = s.ChildKeyConstraint;
  t.ChildColumnNames = s.ChildColumnNames;
  t.Nested = s.Nested;
  t.ParentTable = s.ParentTable;
  t.ParentKeyConstraint = s.ParentKeyConstraint;
  t.ParentColumnNames = s.ParentColumnNames;
}

template <class S, class T>
void CopySettings(const S& s, T& t) {
  t.CaseSensitive = s.CaseSensitive;
  t.EnforceConstraints = s.EnforceConstraints;
  t.Locale = s.Locale;
  t.Round2Scale = s.Round2Scale;
  t.CheckPrecision = s.CheckPrecision;
  t.StrsTrim2Len = s.StrsTrim2Len;
  t.CheckNotNull = s.CheckNotNull;
  t.CheckReadOnly = s.CheckReadOnly;
}

template <class S, class T>
void CopyColumnFields(const S& s, T& t) {
  t.SourceName = s.SourceName;
  t.SourceID = s.SourceID;
  t.Precision = s.Precision;
  t.Scale = s.Scale;
  t.Size = s.Size;
  t.AutoIncrement = s.AutoIncrement;
  t.AutoIncrementSeed = s.AutoIncrementSeed;
  t.AutoIncrementStep = s.AutoIncrementStep;
  t.Expression = s.Expression;
  t.OriginTabName = s.OriginTabName;
  t.OriginColName = s.OriginColName;
  t.SourceDataType = s.SourceDataType;
  t.SourcePrecision = s.SourcePrecision;
  t.SourceScale = s.SourceScale;
  t.SourceSize = s.SourceSize;
  t.SourceDataTypeName = s.SourceDataTypeName;
  t.SourceDirectory = s.SourceDirectory;
  t.SourceGenerator = s.SourceGenerator;
}

std::unique_ptr<TRowStoreRowError> ToRowStore(const TStreamError& s) {
  auto error = std::make_unique<TRowStoreRowError>();
  error->ClassName = std::string(s.StreamName());
  error->FDCode = s.FDCode;
  error->Message = s.Message;
  error->FDObjName = s.FDObjName;
  for (const TStreamDBError& e : s.Errors) {
    error->DBErrors.push_back(
        {e.ErrorCode, e.Kind, e.Level, e.Message, e.ObjName, e.CommandTextOffset, e.RowIndex});
  }
  return error;
}

std::unique_ptr<TStreamError> FromRowStore(const TRowStoreRowError& s) {
  auto error = std::make_unique<TStreamError>(s.ClassName.empty() ? "Exception" : s.ClassName);
  error->FDCode = s.FDCode;
  error->Message = s.Message;
  error->FDObjName = s.FDObjName;
  for (const TRowStoreDBError& e : s.DBErrors) {
    error->Errors.push_back(
        {e.ErrorCode, e.Kind, e.Level, e.Message, e.ObjName, e.CommandTextOffset, e.RowIndex});
  }
  return error;
}

// Everything of a table but its rows.
void MoveTableDescription(const TStreamTable& s, TRowStoreTable& t) {
  t.SourceName = s.SourceName;
  t.SourceID = s.SourceID;
  CopySettings(s, t);
  t.MinimumCapacity = s.MinimumCapacity;
  t.Nested = s.Nested;
  t.InlineDataSize = s.InlineDataSize;
  for (const auto& sc : s.Columns) {
    TRowStoreColumn& c = t.AddColumn(sc->Name, sc->DataType);
    CopyColumnFields(*sc, c);
    c.Attributes = TColumnAttributes::FromBits(sc->Attributes);
    c.Options = TColumnOptions::FromBits(sc->Options);
    // The row store shows the name while the caption is empty.
    c.Caption = sc->Caption == sc->Name ? std::string() : sc->Caption;
  }
  for (const auto& sc : s.Constraints) {
    if (sc->Kind == TStreamConstraint::TKind::ckBase) continue;
    CopyConstraint(*sc, t.Constraints.emplace_back());
  }
  for (const auto& sv : s.Views) {
    TRowStoreView& v = t.Views.emplace_back();
    v.Name = sv->Name;
    v.Active = sv->Active;
    v.SourceView = sv->SourceView;
    for (const auto& sm : sv->Mechanisms) {
      if (sm->Kind == TStreamMech::TKind::mkBase) continue;
      TRowStoreViewMech& m = v.Mechanisms.emplace_back();
      m.Kind = ToRowStore(sm->Kind);
      CopyMechFields(*sm, m);
      m.RowStates = TEnumSet<TRowStoreRowState>::FromBits(sm->RowStates);
      m.Relation = sm->RelationName;
    }
    for (const auto& sa : sv->Aggregates) {
      v.Aggregates.push_back({sa->Name, sa->Active, sa->Expression, sa->GroupingLevel});
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
    if (sr->Error) row.SetError(ToRowStore(*sr->Error));
    for (const TRowStoreBufferKind kind : kBufferKinds) {
      std::optional<TStreamValues>& values = StreamBuffer(*sr, kind);
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

constexpr std::string_view kVersionNames[] = {"Original", "Current", "Proposed"};

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
      aRow.SetError(ToRowStore(*error));
    }
    const std::vector<std::uint16_t>& order = aTable.ValueOrder(aStorage.StreamVersion());
    const std::size_t columnCount = aTable.Columns.size();
    for (std::size_t v = 0; v < std::size(kVersionNames); ++v) {
      if (!aStorage.TestAndReadObjectBegin(kVersionNames[v])) continue;
      TRowStoreRowBuffer& buffer = aRow.CreateBuffer(kBufferKinds[v], columnCount);
      TStorageValue value;
      const TValueNaming naming = aTable.HasColumnsNamedAlike() ? TValueNaming::ExactName
                                                                : TValueNaming::NameIgnoringCase;
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

void MoveJournals(const TStreamTable& s, TRowStoreTable& t, TRowStoreManager& aTarget) {
  if (!s.Journal) return;
  t.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
  t.UpdatesJournal->SavePoint = s.Journal->SavePoint;
  t.UpdatesJournal->Changes = ResolveChanges(s.Journal->Changes, aTarget, &t);
}

void MoveManagerDescription(const TStreamManager& s, TRowStoreManager& t) {
  for (const auto& sr : s.Relations) CopyRelation(*sr, t.Relations.emplace_back());
  if (s.Journal) {
    t.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
    t.UpdatesJournal->SavePoint = s.Journal->SavePoint;
    t.UpdatesJournal->Changes = ResolveChanges(s.Journal->Changes, t, nullptr);
  }
}

std::unique_ptr<TStreamJournal> DescribeJournal(const TRowStoreUpdatesJournal& s,
                                                const TRowStoreManager& aManager, bool aOfManager) {
  auto journal = std::make_unique<TStreamJournal>(aOfManager);
  journal->SavePoint = s.SavePoint;
  for (const TRowStoreChange& change : s.Changes) {
    if (change.Row == nullptr) continue;
    TStreamChange entry;
    entry.TabID = aOfManager && change.Table ? aManager.IndexOfTable(*change.Table) : -1;
    entry.RowID = change.Row->RowID();
    entry.ChangeNumber = change.ChangeNumber;
    journal->Changes.push_back(entry);
  }
  return journal;
}

}  // namespace

std::string WriteBinaryStream(const TStreamManager& aManager, const TBinaryWriteOptions& aOptions) {
  TBinStorage storage;
  storage.OpenWrite(aOptions.Version, aOptions.Items);
  aManager.SaveToStorage(storage);
  return storage.Close();
}

std::string WriteBinaryStream(const TRowStoreManager& aManager,
                              const TBinaryWriteOptions& aOptions) {
  return WriteBinaryStream(DescribeRowStore(aManager), aOptions);
}

TStreamManager ReadBinaryStream(std::string_view aStream, TStoreItems aItems) {
  TBinStorage storage;
  storage.OpenRead(aStream, aItems);
  TStreamManager manager;
  manager.LoadFromStorage(storage);
  return manager;
}

void SetStreamValue(const TStreamTable& aTable, TStreamRow& aRow, TRowStoreBufferKind aBuffer,
                    std::size_t aColumn, const TVariant& aValue) {
  const TColumnDataType type = aTable.Columns.at(aColumn)->DataType;
  std::optional<TStreamValues>& values = StreamBuffer(aRow, aBuffer);
  if (!values) values.emplace(aTable.Columns.size());
  if (values->size() <= aColumn) values->resize(aTable.Columns.size());
  (*values)[aColumn] = EncodeValue(type, aValue);
}

TVariant GetStreamValue(const TStreamTable& aTable, const TStreamRow& aRow,
                        TRowStoreBufferKind aBuffer, std::size_t aColumn) {
  const std::optional<TStreamValues>& values = StreamBuffer(aRow, aBuffer);
  if (!values || aColumn >= values->size() || !(*values)[aColumn]) return TVariant{};
  return DecodeValue(aTable.Columns.at(aColumn)->DataType, *(*values)[aColumn]);
}

void MoveToRowStore(TStreamManager& s, TRowStoreManager& t) {
  t.Name = s.Name;
  CopySettings(s, t);
  t.UpdatesRegistry = s.UpdatesRegistry;
  for (auto& st : s.Tables) {
    TRowStoreTable& table = t.AddTable(st->Name);
    MoveTable(*st, table);
    MoveJournals(*st, table, t);
  }
  MoveManagerDescription(s, t);
}

void LoadRowStore(TBinStorage& aStorage, TRowStoreManager& t) {
  TRowStoreSink sink(t);
  TStreamManager s;
  s.SetRowSink(&sink);
  s.LoadFromStorage(aStorage);
  t.Name = s.Name;
  CopySettings(s, t);
  t.UpdatesRegistry = s.UpdatesRegistry;
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

TStreamManager DescribeRowStore(const TRowStoreManager& s) {
  TStreamManager m;
  m.Name = s.Name;
  CopySettings(s, m);
  m.UpdatesRegistry = s.UpdatesRegistry;
  for (std::size_t i = 0; i < s.TableCount(); ++i) {
    const TRowStoreTable& st = s.Table(i);
    TStreamTable& t = m.AddTable(st.Name);
    t.SourceName = st.SourceName;
    t.SourceID = st.SourceID;
    CopySettings(st, t);
    t.MinimumCapacity = st.MinimumCapacity;
    t.Nested = st.Nested;
    t.InlineDataSize = st.InlineDataSize;
    for (std::size_t c = 0; c < st.ColumnCount(); ++c) {
      const TRowStoreColumn& sc = st.Column(c);
      TStreamColumn& col = t.AddColumn(sc.Name, sc.DataType);
      CopyColumnFields(sc, col);
      col.Attributes = static_cast<std::uint16_t>(sc.Attributes.Bits());
      col.Options = static_cast<std::uint8_t>(sc.Options.Bits());
      col.Caption = sc.DisplayCaption();
    }
    for (const TRowStoreConstraint& sc : st.Constraints) {
      auto constraint = std::make_unique<TStreamConstraint>();
      CopyConstraint(sc, *constraint);
      t.Constraints.push_back(std::move(constraint));
    }
    for (const TRowStoreView& sv : st.Views) {
      auto view = std::make_unique<TStreamView>();
      view->Name = sv.Name;
      view->Active = sv.Active;
      view->SourceView = sv.SourceView;
      for (const TRowStoreViewMech& sm : sv.Mechanisms) {
        auto mech = std::make_unique<TStreamMech>(FromRowStore(sm.Kind));
        CopyMechFields(sm, *mech);
        mech->RowStates = static_cast<std::uint16_t>(sm.RowStates.Bits());
        mech->RelationName = sm.Relation;
        view->Mechanisms.push_back(std::move(mech));
      }
      for (const TRowStoreAggregate& sa : sv.Aggregates) {
        auto aggregate = std::make_unique<TStreamAggregate>();
        aggregate->Name = sa.Name;
        aggregate->Active = sa.Active;
        aggregate->Expression = sa.Expression;
        aggregate->GroupingLevel = sa.GroupingLevel;
        view->Aggregates.push_back(std::move(aggregate));
      }
      t.Views.push_back(std::move(view));
    }
    for (std::size_t r = 0; r < st.RowCount(); ++r) {
      const TRowStoreRow& sr = st.Row(r);
      TStreamRow& row = t.AddRow(sr.RowState());
      row.RowID = sr.RowID();
      row.RowPriorState = sr.RowPriorState();
      row.ChangeNumber = sr.ChangeNumber();
      if (sr.Error() != nullptr) row.Error = FromRowStore(*sr.Error());
      for (const TRowStoreBufferKind kind : kBufferKinds) {
        const TRowStoreRowBuffer* buffer = sr.Buffer(kind);
        if (buffer == nullptr) continue;
        TStreamValues& values = StreamBuffer(row, kind).emplace(st.ColumnCount());
        for (std::size_t c = 0; c < st.ColumnCount(); ++c) {
          values[c] = EncodeValue(st.Column(c).DataType, buffer->GetValue(c));
        }
      }
    }
    t.NextRowID = st.NextRowID();
    if (st.UpdatesJournal) t.Journal = DescribeJournal(*st.UpdatesJournal, s, false);
  }
  for (const TRowStoreRelation& sr : s.Relations) {
    auto relation = std::make_unique<TStreamRelation>();
    CopyRelation(sr, *relation);
    m.Relations.push_back(std::move(relation));
  }
  if (s.UpdatesJournal) m.Journal = DescribeJournal(*s.UpdatesJournal, s, true);
  return m;
}

}  // namespace tandemize::memtable::storage
