#include "memtable/storage/stream_writer.h"

#include "memtable/storage/internal/bin_storage.h"
#include "memtable/storage/internal/value_codec.h"

namespace tandemize::memtable::storage {

namespace {

constexpr TRowStoreBufferKind kBufferKinds[] = {TRowStoreBufferKind::bkOriginal,
                                                TRowStoreBufferKind::bkCurrent,
                                                TRowStoreBufferKind::bkProposed};

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

TStreamManager DescribeRowStore(const TRowStoreManager& s) {
  TStreamManager m;
  static_cast<TRowStoreManagerInfo&>(m) = s;
  for (std::size_t i = 0; i < s.TableCount(); ++i) {
    const TRowStoreTable& st = s.Table(i);
    TStreamTable& t = m.AddTable(st.Name);
    static_cast<TRowStoreTableInfo&>(t) = st;
    for (std::size_t c = 0; c < st.ColumnCount(); ++c) {
      const TRowStoreColumn& sc = st.Column(c);
      TStreamColumn& column = t.AddColumn(sc.Name, sc.DataType);
      static_cast<TRowStoreColumnInfo&>(column) = sc;
      column.Caption = sc.DisplayCaption();
    }
    for (const TRowStoreConstraint& sc : st.Constraints) {
      t.Constraints.push_back(std::make_unique<TStreamConstraint>(sc));
    }
    for (const TRowStoreView& sv : st.Views) {
      auto view = std::make_unique<TStreamView>();
      static_cast<TRowStoreViewInfo&>(*view) = sv;
      for (const TRowStoreViewMech& sm : sv.Mechanisms) {
        view->Mechanisms.push_back(std::make_unique<TStreamMech>(sm));
      }
      for (const TRowStoreAggregate& sa : sv.Aggregates) {
        view->Aggregates.push_back(std::make_unique<TStreamAggregate>(sa));
      }
      t.Views.push_back(std::move(view));
    }
    for (std::size_t r = 0; r < st.RowCount(); ++r) {
      const TRowStoreRow& sr = st.Row(r);
      TStreamRow& row = t.AddRow(sr.RowState());
      row.RowID = sr.RowID();
      row.RowPriorState = sr.RowPriorState();
      row.ChangeNumber = sr.ChangeNumber();
      if (sr.Error() != nullptr) row.Error = std::make_unique<TStreamError>(*sr.Error());
      for (const TRowStoreBufferKind kind : kBufferKinds) {
        const TRowStoreRowBuffer* buffer = sr.Buffer(kind);
        if (buffer == nullptr) continue;
        TStreamValues& values = row.Values(kind).emplace(st.ColumnCount());
        for (std::size_t c = 0; c < st.ColumnCount(); ++c) {
          values[c] = EncodeValue(st.Column(c).DataType, buffer->GetValue(c));
        }
      }
    }
    t.NextRowID = st.NextRowID();
    if (st.UpdatesJournal) t.Journal = DescribeJournal(*st.UpdatesJournal, s, false);
  }
  for (const TRowStoreRelation& sr : s.Relations) {
    m.Relations.push_back(std::make_unique<TStreamRelation>(sr));
  }
  if (s.UpdatesJournal) m.Journal = DescribeJournal(*s.UpdatesJournal, s, true);
  return m;
}

}  // namespace tandemize::memtable::storage
