#include "memtable/storage/binary_stream.h"

#include <unordered_map>

#include "memtable/storage/bin_storage.h"
#include "memtable/storage/value_codec.h"

namespace tandemize::memtable::storage {

namespace {

using BK = TRowStoreBufferKind;

std::optional<TStreamValues>& StreamBuffer(TStreamRow& aRow, BK aKind) {
  switch (aKind) {
    case BK::bkOriginal:
      return aRow.Original;
    case BK::bkCurrent:
      return aRow.Current;
    case BK::bkProposed:
      return aRow.Proposed;
  }
  return aRow.Current;
}

const std::optional<TStreamValues>& StreamBuffer(const TStreamRow& aRow, BK aKind) {
  return StreamBuffer(const_cast<TStreamRow&>(aRow), aKind);
}

constexpr BK kBufferKinds[] = {BK::bkOriginal, BK::bkCurrent, BK::bkProposed};

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

void MoveTable(TStreamTable& s, TRowStoreTable& t) {
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

  const std::size_t columnCount = t.ColumnCount();
  for (auto& sr : s.Rows) {
    TRowStoreRow& row = t.AppendRow();
    row.SetRowID(sr->RowID);
    row.SetRowState(sr->RowState);
    row.SetRowPriorState(sr->RowPriorState);
    row.SetChangeNumber(sr->ChangeNumber);
    if (sr->Error) row.SetError(ToRowStore(*sr->Error));
    for (const BK kind : kBufferKinds) {
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
    if (st->Journal) {
      table.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
      table.UpdatesJournal->SavePoint = st->Journal->SavePoint;
      table.UpdatesJournal->Changes = ResolveChanges(st->Journal->Changes, t, &table);
    }
  }
  for (const auto& sr : s.Relations) CopyRelation(*sr, t.Relations.emplace_back());
  if (s.Journal) {
    t.UpdatesJournal = std::make_unique<TRowStoreUpdatesJournal>();
    t.UpdatesJournal->SavePoint = s.Journal->SavePoint;
    t.UpdatesJournal->Changes = ResolveChanges(s.Journal->Changes, t, nullptr);
  }
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
      for (const BK kind : kBufferKinds) {
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
