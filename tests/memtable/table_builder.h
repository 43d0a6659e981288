#pragma once
// Builds row-store tables the way a loader does, for the table tests.

#include <optional>
#include <string>
#include <vector>

#include "memtable/mem_table.h"
#include "memtable/row_store.h"

namespace tandemize::memtable::testing_support {

struct TColumnSpec {
  std::string Name;
  TColumnDataType Type = TColumnDataType::dtUnknown;
  TColumnAttributes Attributes{TColumnAttribute::caAllowNull};
  std::int32_t Size = 0;
  std::int32_t Precision = 0;
  std::int32_t Scale = 0;
  std::int32_t SourceID = 0;
};

using TValues = std::vector<TVariant>;

inline TRowStoreTable& AddTable(TRowStoreManager& aManager, const std::string& aName,
                                const std::vector<TColumnSpec>& aColumns) {
  TRowStoreTable& table = aManager.AddTable(aName);
  for (const TColumnSpec& entry : aColumns) {
    TRowStoreColumn& column = table.AddColumn(entry.Name, entry.Type);
    column.Attributes = entry.Attributes;
    column.AutoIncrement = entry.Attributes.Contains(TColumnAttribute::caAutoInc);
    column.Size = entry.Size;
    column.Precision = entry.Precision;
    column.Scale = entry.Scale;
    column.SourceID = entry.SourceID;
  }
  return table;
}

// Appends a row as a stream would carry it: its state and the versions present.
inline TRowStoreRow& AddRow(TRowStoreTable& aTable, TRowStoreRowState aState,
                            const std::optional<TValues>& aOriginal,
                            const std::optional<TValues>& aCurrent = std::nullopt) {
  TRowStoreRow& row = aTable.AppendLoadedRow();
  row.SetRowID(static_cast<std::uint32_t>(aTable.RowCount()) * 10);
  row.SetRowState(aState);
  const auto fill = [&](TRowStoreBufferKind kind, const TValues& values) {
    TRowStoreRowBuffer& buffer = row.CreateBuffer(kind, aTable.ColumnCount());
    for (std::size_t i = 0; i < values.size(); ++i) buffer.SetValue(i, values[i]);
  };
  if (aOriginal) fill(TRowStoreBufferKind::bkOriginal, *aOriginal);
  if (aCurrent) fill(TRowStoreBufferKind::bkCurrent, *aCurrent);
  aTable.AccountRowID(row.RowID());
  return row;
}

}  // namespace tandemize::memtable::testing_support
