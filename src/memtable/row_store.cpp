#include "memtable/row_store.h"

#include <algorithm>
#include <limits>

namespace tandemize::memtable {

namespace {

const TVariant kNullValue{};

using RS = TRowStoreRowState;
using RV = TRowStoreRowVersion;
using BK = TRowStoreBufferKind;

bool IsTransientState(RS aState) {
  return aState == RS::rsInitializing || aState == RS::rsCalculating || aState == RS::rsChecking ||
         aState == RS::rsDestroying || aState == RS::rsForceWrite;
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  // ASCII letters only, as the "C" locale the process runs in folds them;
  // no locale object is made per call (names are compared on every lookup).
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x == y) continue;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TRowStoreRowBuffer

const TVariant& TRowStoreRowBuffer::GetValue(std::size_t aColumn) const {
  return aColumn < FValues.size() ? FValues[aColumn] : kNullValue;
}

void TRowStoreRowBuffer::SetValue(std::size_t aColumn, TVariant aValue) {
  if (aColumn >= FValues.size()) FValues.resize(aColumn + 1);
  FValues[aColumn] = std::move(aValue);
}

// ---------------------------------------------------------------------------
// TRowStoreRow

TRowStoreRowBuffer* TRowStoreRow::Buffer(TRowStoreBufferKind aKind) const {
  return FBuffers[static_cast<std::size_t>(aKind)].get();
}

TRowStoreRowBuffer& TRowStoreRow::CreateBuffer(TRowStoreBufferKind aKind,
                                               std::size_t aColumnCount) {
  auto& slot = FBuffers[static_cast<std::size_t>(aKind)];
  slot = std::make_unique<TRowStoreRowBuffer>(aColumnCount);
  return *slot;
}

void TRowStoreRow::FreeBuffer(TRowStoreBufferKind aKind) {
  FBuffers[static_cast<std::size_t>(aKind)].reset();
}

TRowStoreRowBuffer* TRowStoreRow::ReadBuffer(TRowStoreRowVersion aVersion) const {
  TRowStoreRowBuffer* const original = Buffer(BK::bkOriginal);
  TRowStoreRowBuffer* const current = Buffer(BK::bkCurrent);
  TRowStoreRowBuffer* const proposed = Buffer(BK::bkProposed);
  const RS state = IsTransientState(FRowState) ? FRowPriorState : FRowState;
  switch (state) {
    case RS::rsDetached:
      if (proposed != nullptr) return aVersion == RV::rvOriginal ? nullptr : proposed;
      [[fallthrough]];
    case RS::rsDeleted:
      switch (aVersion) {
        case RV::rvDefault:
        case RV::rvOriginal:
          return original;
        case RV::rvPrevious:
          return current != nullptr ? current : original;
        default:
          return nullptr;
      }
    case RS::rsInserted:
      switch (aVersion) {
        case RV::rvDefault:
        case RV::rvCurrent:
          return current;
        case RV::rvPrevious:
          return original != nullptr ? original : current;
        default:
          return nullptr;
      }
    case RS::rsModified:
      switch (aVersion) {
        case RV::rvDefault:
        case RV::rvCurrent:
          return current;
        case RV::rvOriginal:
        case RV::rvPrevious:
          return original;
        default:
          return nullptr;
      }
    case RS::rsUnchanged:
      return aVersion == RV::rvProposed ? nullptr : original;
    case RS::rsEditing:
      switch (aVersion) {
        case RV::rvDefault:
        case RV::rvProposed:
          return proposed;
        case RV::rvCurrent:
        case RV::rvPrevious:
          return current != nullptr ? current : original;
        case RV::rvOriginal:
          return FRowPriorState == RS::rsDeleted || FRowPriorState == RS::rsModified ||
                         FRowPriorState == RS::rsUnchanged
                     ? original
                     : nullptr;
      }
      return nullptr;
    case RS::rsImportingCurent:
      return current;
    case RS::rsImportingOriginal:
      return original;
    case RS::rsImportingProposed:
      return proposed;
    default:
      return nullptr;  // a transient prior state has no buffer of its own
  }
}

const TVariant& TRowStoreRow::GetValue(std::size_t aColumn, TRowStoreRowVersion aVersion) const {
  const TRowStoreRowBuffer* const buffer = ReadBuffer(aVersion);
  return buffer != nullptr ? buffer->GetValue(aColumn) : kNullValue;
}

void TRowStoreRow::SetValue(std::size_t aColumn, TVariant aValue) {
  BK kind = BK::bkCurrent;
  switch (FRowState) {
    case RS::rsImportingOriginal:
      kind = BK::bkOriginal;
      break;
    case RS::rsImportingProposed:
    case RS::rsEditing:
      kind = BK::bkProposed;
      break;
    default:
      break;
  }
  TRowStoreRowBuffer* buffer = Buffer(kind);
  if (buffer == nullptr) buffer = &CreateBuffer(kind);
  buffer->SetValue(aColumn, std::move(aValue));
}

// ---------------------------------------------------------------------------
// TRowStoreColumn

std::int64_t TRowStoreColumn::NextAutoIncValue() {
  const std::int64_t step = AutoIncrementStep == 0 ? 1 : AutoIncrementStep;
  const std::int64_t next = FLastAutoInc ? *FLastAutoInc + step : AutoIncrementSeed;
  FLastAutoInc = next;
  return next;
}

void TRowStoreColumn::AccountAutoIncValue(std::int64_t aValue) {
  const bool descending = AutoIncrementStep < 0;
  if (!FLastAutoInc || (descending ? aValue < *FLastAutoInc : aValue > *FLastAutoInc)) {
    FLastAutoInc = aValue;
  }
}

// ---------------------------------------------------------------------------
// Journal

bool TRowStoreUpdatesJournal::HasChangesFor(const TRowStoreTable& aTable) const {
  return std::any_of(Changes.begin(), Changes.end(),
                     [&](const TRowStoreChange& change) { return change.Table == &aTable; });
}

// ---------------------------------------------------------------------------
// TRowStoreTable

TRowStoreColumn& TRowStoreTable::AddColumn(std::string aName, TColumnDataType aDataType) {
  FColumns.push_back(std::make_unique<TRowStoreColumn>(std::move(aName), aDataType));
  return *FColumns.back();
}

int TRowStoreTable::IndexOfColumn(std::string_view aName) const {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    if (SameTextIgnoringCase(FColumns[i]->Name, aName)) return static_cast<int>(i);
  }
  return -1;
}

TRowStoreRow& TRowStoreTable::AppendRow() {
  FRows.push_back(std::make_unique<TRowStoreRow>(FNextRowID));
  if (FNextRowID != std::numeric_limits<std::uint32_t>::max()) ++FNextRowID;
  return *FRows.back();
}

TRowStoreRow& TRowStoreTable::AppendLoadedRow() {
  FRows.push_back(std::make_unique<TRowStoreRow>(std::numeric_limits<std::uint32_t>::max()));
  return *FRows.back();
}

bool TRowStoreTable::RemoveRow(const TRowStoreRow& aRow) {
  const auto it =
      std::find_if(FRows.begin(), FRows.end(), [&](const auto& row) { return row.get() == &aRow; });
  if (it == FRows.end()) return false;
  FRows.erase(it);
  return true;
}

std::size_t TRowStoreTable::RemoveRowsIf(
    const std::function<bool(const TRowStoreRow&)>& aPredicate) {
  const auto removed = std::erase_if(
      FRows, [&](const std::unique_ptr<TRowStoreRow>& row) { return aPredicate(*row); });
  return static_cast<std::size_t>(removed);
}

void TRowStoreTable::ClearRows() {
  FRows.clear();
  FLastLoadedRowID.reset();
  FRowsOrdered = true;
}

void TRowStoreTable::AccountRowID(std::uint32_t aRowID) {
  if (aRowID != std::numeric_limits<std::uint32_t>::max() && aRowID + 1 > FNextRowID) {
    FNextRowID = aRowID + 1;
  }
  if (FLastLoadedRowID && aRowID <= *FLastLoadedRowID) FRowsOrdered = false;
  FLastLoadedRowID = aRowID;
}

void TRowStoreTable::AccountAutoIncValues(const TRowStoreRow& aRow) {
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    TRowStoreColumn& column = *FColumns[i];
    if (!column.AutoIncrement) continue;
    const TVariant& value = aRow.GetValue(i);
    std::visit(
        [&](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_integral_v<V> && !std::is_same_v<V, bool>) {
            if constexpr (std::is_same_v<V, std::uint64_t>) {
              column.AccountAutoIncValue(static_cast<std::int64_t>(
                  std::min<std::uint64_t>(v, std::numeric_limits<std::int64_t>::max())));
            } else {
              column.AccountAutoIncValue(static_cast<std::int64_t>(v));
            }
          }
        },
        value);
  }
}

// ---------------------------------------------------------------------------
// TRowStoreManager

TRowStoreTable* TRowStoreManager::FindTable(std::string_view aName) const {
  for (const auto& table : FTables) {
    if (SameTextIgnoringCase(table->Name, aName)) return table.get();
  }
  return nullptr;
}

int TRowStoreManager::IndexOfTable(const TRowStoreTable& aTable) const {
  for (std::size_t i = 0; i < FTables.size(); ++i) {
    if (FTables[i].get() == &aTable) return static_cast<int>(i);
  }
  return -1;
}

TRowStoreTable& TRowStoreManager::AddTable(std::string_view aName) {
  std::string name(aName);
  for (int suffix = 1; FindTable(name) != nullptr; ++suffix) {
    name = std::string(aName) + std::to_string(suffix);
  }
  FTables.push_back(std::make_unique<TRowStoreTable>(std::move(name)));
  return *FTables.back();
}

void TRowStoreManager::RemoveTable(const TRowStoreTable& aTable) {
  const auto it = std::find_if(FTables.begin(), FTables.end(),
                               [&](const auto& table) { return table.get() == &aTable; });
  if (it == FTables.end()) return;
  const auto dropChanges = [&](TRowStoreUpdatesJournal* journal) {
    if (journal == nullptr) return;
    std::erase_if(journal->Changes,
                  [&](const TRowStoreChange& change) { return change.Table == &aTable; });
  };
  dropChanges(UpdatesJournal.get());
  FTables.erase(it);
}

bool TRowStoreManager::HasChangesFor(const TRowStoreTable& aTable) const {
  return (UpdatesJournal && UpdatesJournal->HasChangesFor(aTable)) ||
         (aTable.UpdatesJournal && aTable.UpdatesJournal->HasChangesFor(aTable));
}

TRowStoreTable* TRowStoreManager::RootTable(std::string_view aName) const {
  if (!aName.empty()) return FindTable(aName);
  if (FTables.size() == 1) return FTables.front().get();
  TRowStoreTable* best = nullptr;
  std::int64_t bestKey = 0;
  for (std::size_t i = 0; i < FTables.size(); ++i) {
    TRowStoreTable* const table = FTables[i].get();
    const bool isChild =
        std::any_of(Relations.begin(), Relations.end(), [&](const TRowStoreRelation& relation) {
          return SameTextIgnoringCase(relation.ChildTable, table->Name);
        });
    if (isChild) continue;
    const std::int64_t key =
        table->SourceID > 0 ? table->SourceID : static_cast<std::int64_t>(i) + 1000;
    if (best == nullptr || key < bestKey) {
      best = table;
      bestKey = key;
    }
  }
  return best;
}

void TRowStoreManager::Reset() {
  Relations.clear();
  UpdatesJournal.reset();
  FTables.clear();
}

}  // namespace tandemize::memtable
