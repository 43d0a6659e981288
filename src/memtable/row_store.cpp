#include "memtable/row_store.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "text/case_fold.h"

namespace tandemize::memtable {

namespace {

const TVariant kNullValue{};

using enum TRowStoreRowState;
using enum TRowStoreRowVersion;
using enum TRowStoreBufferKind;

bool IsTransientState(TRowStoreRowState aState) {
  return aState == rsInitializing || aState == rsCalculating || aState == rsChecking ||
         aState == rsDestroying || aState == rsForceWrite;
}

}  // namespace

// ---------------------------------------------------------------------------
// TRowStoreRowBuffer

TRowStoreRowBuffer::TRowStoreRowBuffer(std::size_t aColumnCount) {
  Grow(aColumnCount);
}

TRowStoreRowBuffer::TRowStoreRowBuffer(const TRowStoreRowBuffer& aOther)
    : TRowStoreRowBuffer(aOther.FCount) {
  std::copy_n(aOther.FValues, FCount, FValues);
}

TRowStoreRowBuffer::TRowStoreRowBuffer(TRowStoreRowBuffer&& aOther) noexcept
    : FValues(std::exchange(aOther.FValues, nullptr)),
      FCount(std::exchange(aOther.FCount, 0)),
      FCapacity(std::exchange(aOther.FCapacity, 0)) {}

TRowStoreRowBuffer& TRowStoreRowBuffer::operator=(const TRowStoreRowBuffer& aOther) {
  if (this != &aOther) *this = TRowStoreRowBuffer(aOther);
  return *this;
}

TRowStoreRowBuffer& TRowStoreRowBuffer::operator=(TRowStoreRowBuffer&& aOther) noexcept {
  if (this != &aOther) {
    Free();
    FValues = std::exchange(aOther.FValues, nullptr);
    FCount = std::exchange(aOther.FCount, 0);
    FCapacity = std::exchange(aOther.FCapacity, 0);
  }
  return *this;
}

const TVariant& TRowStoreRowBuffer::GetValue(std::size_t aColumn) const {
  return aColumn < FCount ? FValues[aColumn] : kNullValue;
}

void TRowStoreRowBuffer::SetValue(std::size_t aColumn, TVariant aValue) {
  if (aColumn >= FCount) Grow(aColumn + 1);
  FValues[aColumn] = std::move(aValue);
}

void TRowStoreRowBuffer::Clear() {
  std::fill_n(FValues, FCount, TVariant{});
}

void TRowStoreRowBuffer::Grow(std::size_t aCount) {
  assert(aCount >= FCount);
  if (aCount > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("row buffer too long");
  }
  if (aCount > FCapacity) {
    // Growing a value at a time (a buffer filled column by column) doubles
    // the block; a buffer made at its size gets exactly that.
    const std::size_t capacity =
        std::min<std::size_t>(std::max<std::size_t>(aCount, 2 * std::size_t{FCapacity}),
                              std::numeric_limits<std::uint32_t>::max());
    static_assert(std::is_nothrow_move_assignable_v<TVariant>);
    TVariant* const values = std::allocator<TVariant>().allocate(capacity);
    std::uninitialized_value_construct_n(values, capacity);  // nulls: cannot throw
    std::move(FValues, FValues + FCount, values);
    Free();
    FValues = values;
    FCapacity = static_cast<std::uint32_t>(capacity);
  }
  FCount = static_cast<std::uint32_t>(aCount);
}

void TRowStoreRowBuffer::Free() noexcept {
  if (FValues == nullptr) return;
  std::destroy_n(FValues, FCapacity);
  std::allocator<TVariant>().deallocate(FValues, FCapacity);
  FValues = nullptr;
  FCount = FCapacity = 0;
}

// ---------------------------------------------------------------------------
// TRowStoreRow

// Every table holds one row per record, so a row is kept to the values'
// buffer and a few words.
static_assert(sizeof(TRowStoreRow) <= 48);

TRowStoreRowBuffer& TRowStoreRow::Slot(TRowStoreBufferKind aKind) const {
  return FAll ? (*FAll)[static_cast<std::size_t>(aKind)] : FInline;
}

TRowStoreRowBuffer* TRowStoreRow::Buffer(TRowStoreBufferKind aKind) const {
  if ((FBufferBits & BufferBit(aKind)) == 0) return nullptr;
  return &Slot(aKind);
}

TRowStoreRowBuffer& TRowStoreRow::CreateBuffer(TRowStoreBufferKind aKind,
                                               std::size_t aColumnCount) {
  if (!FAll) {
    if ((FBufferBits & ~BufferBit(aKind)) == 0) {
      FInlineKind = aKind;
    } else {
      // A second buffer: all of them move to a block of their own.
      FAll = std::make_unique<std::array<TRowStoreRowBuffer, 3>>();
      (*FAll)[static_cast<std::size_t>(FInlineKind)] = std::move(FInline);
    }
  }
  TRowStoreRowBuffer& buffer = Slot(aKind);
  buffer = TRowStoreRowBuffer(aColumnCount);
  FBufferBits |= BufferBit(aKind);
  return buffer;
}

void TRowStoreRow::FreeBuffer(TRowStoreBufferKind aKind) {
  if (FAll || FInlineKind == aKind) Slot(aKind) = TRowStoreRowBuffer();
  FBufferBits &= static_cast<std::uint8_t>(~BufferBit(aKind));
}

TRowStoreRowBuffer* TRowStoreRow::ReadBuffer(TRowStoreRowVersion aVersion) const {
  TRowStoreRowBuffer* const original = Buffer(bkOriginal);
  TRowStoreRowBuffer* const current = Buffer(bkCurrent);
  TRowStoreRowBuffer* const proposed = Buffer(bkProposed);
  const TRowStoreRowState state = IsTransientState(FRowState) ? FRowPriorState : FRowState;
  switch (state) {
    case rsDetached:
      if (proposed != nullptr) return aVersion == rvOriginal ? nullptr : proposed;
      [[fallthrough]];
    case rsDeleted:
      switch (aVersion) {
        case rvDefault:
        case rvOriginal:
          return original;
        case rvPrevious:
          return current != nullptr ? current : original;
        default:
          return nullptr;
      }
    case rsInserted:
      switch (aVersion) {
        case rvDefault:
        case rvCurrent:
          return current;
        case rvPrevious:
          return original != nullptr ? original : current;
        default:
          return nullptr;
      }
    case rsModified:
      switch (aVersion) {
        case rvDefault:
        case rvCurrent:
          return current;
        case rvOriginal:
        case rvPrevious:
          return original;
        default:
          return nullptr;
      }
    case rsUnchanged:
      return aVersion == rvProposed ? nullptr : original;
    case rsEditing:
      switch (aVersion) {
        case rvDefault:
        case rvProposed:
          return proposed;
        case rvCurrent:
        case rvPrevious:
          return current != nullptr ? current : original;
        case rvOriginal:
          return FRowPriorState == rsDeleted || FRowPriorState == rsModified ||
                         FRowPriorState == rsUnchanged
                     ? original
                     : nullptr;
      }
      return nullptr;
    case rsImportingCurent:
      return current;
    case rsImportingOriginal:
      return original;
    case rsImportingProposed:
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
  TRowStoreBufferKind kind = bkCurrent;
  switch (FRowState) {
    case rsImportingOriginal:
      kind = bkOriginal;
      break;
    case rsImportingProposed:
    case rsEditing:
      kind = bkProposed;
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

std::optional<std::int64_t> TRowStoreColumn::NextAutoIncValue() {
  const std::int64_t step = AutoIncrementStep == 0 ? 1 : AutoIncrementStep;
  std::int64_t next = AutoIncrementSeed;
  if (FLastAutoInc && __builtin_add_overflow(*FLastAutoInc, step, &next)) return std::nullopt;
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
    if (text::EqualsIgnoringCase(FColumns[i]->Name, aName)) return static_cast<int>(i);
  }
  return -1;
}

TRowStoreRow& TRowStoreTable::NewRow(std::uint32_t aRowID) {
  TRowStoreRow* row = nullptr;
  if (!FFreeRows.empty()) {
    row = FFreeRows.back();
    FFreeRows.pop_back();
  } else {
    if (FBlocksUsed == 0 || FLastBlockUsed == FRowBlocks[FBlocksUsed - 1].Size) {
      if (FBlocksUsed == FRowBlocks.size()) {
        const std::size_t size = FRowBlocks.empty()
                                     ? kFirstRowBlock
                                     : std::min(2 * FRowBlocks.back().Size, kMaxRowBlock);
        FRowBlocks.push_back({std::make_unique<TRowStoreRow[]>(size), size});
      }
      ++FBlocksUsed;
      FLastBlockUsed = 0;
    }
    row = &FRowBlocks[FBlocksUsed - 1].Rows[FLastBlockUsed++];
  }
  row->SetRowID(aRowID);
  FRows.push_back(row);
  return *row;
}

void TRowStoreTable::ReleaseRow(TRowStoreRow& aRow) {
  FFreeRows.push_back(&aRow);
  aRow = TRowStoreRow();
}

void TRowStoreTable::ResetRowBlocks() {
  assert(FRows.empty());
  const auto full = std::find_if(FRowBlocks.begin(), FRowBlocks.end(),
                                 [](const TRowBlock& block) { return block.Size == kMaxRowBlock; });
  const std::size_t kept = full == FRowBlocks.end()
                               ? FRowBlocks.size()
                               : static_cast<std::size_t>(full - FRowBlocks.begin()) + 1;
  for (std::size_t b = 0; b < std::min(FBlocksUsed, kept); ++b) {
    const std::size_t used = b + 1 == FBlocksUsed ? FLastBlockUsed : FRowBlocks[b].Size;
    for (std::size_t r = 0; r < used; ++r) FRowBlocks[b].Rows[r] = TRowStoreRow();
  }
  FRowBlocks.erase(FRowBlocks.begin() + static_cast<std::ptrdiff_t>(kept), FRowBlocks.end());
  FFreeRows.clear();
  FBlocksUsed = 0;
  FLastBlockUsed = 0;
}

TRowStoreRow& TRowStoreTable::AppendRow() {
  TRowStoreRow& row = NewRow(FNextRowID);
  if (FNextRowID != std::numeric_limits<std::uint32_t>::max()) ++FNextRowID;
  return row;
}

TRowStoreRow& TRowStoreTable::AppendLoadedRow() {
  return NewRow(std::numeric_limits<std::uint32_t>::max());
}

bool TRowStoreTable::RemoveRow(const TRowStoreRow& aRow) {
  const auto it = std::find(FRows.begin(), FRows.end(), &aRow);
  if (it == FRows.end()) return false;
  TRowStoreRow& row = **it;
  FRows.erase(it);
  ReleaseRow(row);
  if (FRows.empty()) ResetRowBlocks();
  return true;
}

std::size_t TRowStoreTable::RemoveRowsIf(
    const std::function<bool(const TRowStoreRow&)>& aPredicate) {
  // Kept rows move up over the removed ones, which are emptied as they are
  // met. Should aPredicate throw, the rows it has not seen stay after the
  // ones kept so far.
  std::size_t kept = 0;
  std::size_t next = 0;
  try {
    for (; next < FRows.size(); ++next) {
      TRowStoreRow* const row = FRows[next];
      if (aPredicate(*row)) {
        ReleaseRow(*row);
      } else {
        FRows[kept++] = row;
      }
    }
  } catch (...) {
    FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(kept),
                FRows.begin() + static_cast<std::ptrdiff_t>(next));
    throw;
  }
  FRows.resize(kept);
  if (FRows.empty()) ResetRowBlocks();
  return next - kept;
}

void TRowStoreTable::ClearRows() {
  FRows.clear();
  ResetRowBlocks();
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
    if (text::EqualsIgnoringCase(table->Name, aName)) return table.get();
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
          return text::EqualsIgnoringCase(relation.ChildTable, table->Name);
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
