#pragma once
// The row store under every in-memory table: a manager owning tables (columns
// and rows with their value versions), relations and an updates journal.
//
// Values held in a row buffer are `TVariant`s in the layout of their column's
// data type (see TColumnDataType below); a std::monostate is null. Text is
// UTF-8 whether the column holds 8-bit or wide text.

#include <array>
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/enum_set.h"
#include "memtable/variant.h"
#include "text/calendar.h"

namespace tandemize::memtable {

// Value type of a column and the TVariant alternative a row buffer holds:
//   dtBoolean            std::uint16_t (nonzero is true)
//   dtSByte..dtUInt64    std::int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t,
//                        uint32_t, uint64_t
//   dtSingle             float
//   dtDouble, dtExtended double
//   dtCurrency           TCurrency
//   dtBCD, dtFmtBCD      TBcdValue (the 34-byte packed decimal TBcd, in its own block)
//   dtDateTime           double: day number * 86400000 + milliseconds since midnight
//   dtTime               std::int32_t milliseconds since midnight
//   dtDate               std::int32_t day number (0001-01-01 is day 1)
//   dtDateTimeStamp      TSQLTimeStamp
//   dtTimeInterval*      TInterval (kept as stored)
//   dtAnsiString, dtWideString, dtMemo, dtWideMemo, dtXML, dtHMemo, dtWideHMemo
//                        std::string (UTF-8)
//   dtByteString, dtBlob, dtHBlob, dtHBFile
//                        TBytes
//   dtGUID               TBytes of 16 bytes (the GUID's memory layout)
//   dtParentRowRef       std::uint32_t, the RowID of the parent row a nested row
//                        belongs to (in the internal column of a nested table)
//   other references, dtObject
//                        no value (null)
enum class TColumnDataType : std::uint8_t {
  dtUnknown,
  dtBoolean,
  dtSByte,
  dtInt16,
  dtInt32,
  dtInt64,
  dtByte,
  dtUInt16,
  dtUInt32,
  dtUInt64,
  dtSingle,
  dtDouble,
  dtExtended,
  dtCurrency,
  dtBCD,
  dtFmtBCD,
  dtDateTime,
  dtTime,
  dtDate,
  dtDateTimeStamp,
  dtTimeIntervalFull,
  dtTimeIntervalYM,
  dtTimeIntervalDS,
  dtAnsiString,
  dtWideString,
  dtByteString,
  dtBlob,
  dtMemo,
  dtWideMemo,
  dtXML,
  dtHBlob,
  dtHMemo,
  dtWideHMemo,
  dtHBFile,
  dtRowSetRef,
  dtCursorRef,
  dtRowRef,
  dtArrayRef,
  dtParentRowRef,
  dtGUID,
  dtObject
};
inline constexpr int kColumnDataTypeCount = static_cast<int>(TColumnDataType::dtObject) + 1;

// Day number of 1899-12-30 (days counted from 0001-01-01 as day 1).
inline constexpr std::int32_t kDateDelta = 1 - text::DaysFromCivil(1, 1, 1);
using text::kMSecsPerDay;

enum class TColumnAttribute : std::uint8_t {
  caSearchable,
  caAllowNull,
  caFixedLen,
  caBlobData,
  caReadOnly,
  caAutoInc,
  caROWID,
  caDefault,
  caRowVersion,
  caInternal,
  caCalculated,
  caVolatile,
  caUnnamed,
  caVirtual,
  caBase,
  caExpr
};
using TColumnAttributes = TEnumSet<TColumnAttribute>;

enum class TColumnOption : std::uint8_t {
  coAllowNull,
  coUnique,
  coReadOnly,
  coInUpdate,
  coInWhere,
  coInKey,
  coAfterInsChanged,
  coAfterUpdChanged
};
using TColumnOptions = TEnumSet<TColumnOption>;

enum class TRowStoreRowState : std::uint8_t {
  rsInitializing,
  rsDetached,
  rsInserted,
  rsDeleted,
  rsModified,
  rsUnchanged,
  rsEditing,
  rsCalculating,
  rsChecking,
  rsDestroying,
  rsForceWrite,
  rsImportingCurent,
  rsImportingOriginal,
  rsImportingProposed
};

enum class TRowStoreRowVersion : std::uint8_t {
  rvDefault,
  rvCurrent,
  rvOriginal,
  rvPrevious,
  rvProposed
};

// The three value buffers a row may have.
enum class TRowStoreBufferKind : std::uint8_t { bkOriginal, bkCurrent, bkProposed };

class TRowStoreTable;

// One value (or null) per column, indexed by the column's position. A row
// holds its buffers inline, so a buffer is kept to the values' block and two
// counts: the slots between Count() and the block's end are null. The block
// is exactly its values (no array header), one heap block per buffer.
class TRowStoreRowBuffer {
 public:
  TRowStoreRowBuffer() noexcept = default;
  explicit TRowStoreRowBuffer(std::size_t aColumnCount);
  TRowStoreRowBuffer(const TRowStoreRowBuffer& aOther);
  TRowStoreRowBuffer(TRowStoreRowBuffer&& aOther) noexcept;
  TRowStoreRowBuffer& operator=(const TRowStoreRowBuffer& aOther);
  // A moved-from buffer is empty (Count() is 0).
  TRowStoreRowBuffer& operator=(TRowStoreRowBuffer&& aOther) noexcept;
  ~TRowStoreRowBuffer() {
    if (FValues != nullptr) Free();
  }

  std::size_t Count() const { return FCount; }
  // Null for a column beyond the buffer's end.
  const TVariant& GetValue(std::size_t aColumn) const;
  // Grows the buffer as needed.
  void SetValue(std::size_t aColumn, TVariant aValue);
  bool IsNull(std::size_t aColumn) const { return VarIsNull(GetValue(aColumn)); }
  // The value of a column inside the buffer, for a loader that builds it in
  // place; `aColumn` is below Count().
  TVariant& Slot(std::size_t aColumn) {
    assert(aColumn < FCount);
    return FValues[aColumn];
  }
  void Clear();

 private:
  // Makes Count() aCount, moving the values to a larger block when needed.
  void Grow(std::size_t aCount);
  void Free() noexcept;

  TVariant* FValues = nullptr;
  std::uint32_t FCount = 0;
  std::uint32_t FCapacity = 0;
};

// A DBError inside an engine exception attached to a row.
struct TRowStoreDBError {
  std::int32_t ErrorCode = 0;
  std::int32_t Kind = 0;
  std::int32_t Level = 0;
  std::string Message;
  std::string ObjName;
  std::int32_t CommandTextOffset = 0;
  std::int32_t RowIndex = 0;
  friend bool operator==(const TRowStoreDBError&, const TRowStoreDBError&) = default;
};

// The error object of a row ("Exception", "DBEngineException", ...).
struct TRowStoreRowError {
  std::string ClassName;  // object name as streamed, e.g. "Exception"
  std::int32_t FDCode = 0;
  std::string Message;
  std::string FDObjName;
  std::vector<TRowStoreDBError> DBErrors;
};

// A bit per TRowStoreBufferKind says which buffers a row has. Most rows only
// ever have one (Original once loaded or posted, Current when inserted), and
// it lives inside the row; a row given a second one keeps all three in a
// block of its own from then on. Buffer and CreateBuffer hand out addresses
// that stay valid until the row gets another buffer or is emptied. Rows of a
// table live in the table's row blocks.
class TRowStoreRow {
 public:
  explicit TRowStoreRow(std::uint32_t aRowID = 0) : FRowID(aRowID) {}

  std::uint32_t RowID() const { return FRowID; }
  void SetRowID(std::uint32_t aValue) { FRowID = aValue; }
  TRowStoreRowState RowState() const { return FRowState; }
  void SetRowState(TRowStoreRowState aValue) { FRowState = aValue; }
  TRowStoreRowState RowPriorState() const { return FRowPriorState; }
  void SetRowPriorState(TRowStoreRowState aValue) { FRowPriorState = aValue; }
  std::uint32_t ChangeNumber() const { return FChangeNumber; }
  void SetChangeNumber(std::uint32_t aValue) { FChangeNumber = aValue; }

  // The buffer of that kind, or null when the row lacks it.
  TRowStoreRowBuffer* Buffer(TRowStoreBufferKind aKind) const;
  // Makes sure the row has that buffer, emptied, sized for aColumnCount values.
  TRowStoreRowBuffer& CreateBuffer(TRowStoreBufferKind aKind, std::size_t aColumnCount = 0);
  void FreeBuffer(TRowStoreBufferKind aKind);

  // The buffer a read of aVersion uses in the row's state, or null (reads as null).
  TRowStoreRowBuffer* ReadBuffer(TRowStoreRowVersion aVersion) const;
  // A column's value as aVersion sees it; null when the buffer or value is missing.
  const TVariant& GetValue(std::size_t aColumn,
                           TRowStoreRowVersion aVersion = TRowStoreRowVersion::rvDefault) const;
  // Writes go to Current, or, while the row is importing, to the buffer being
  // imported; while editing, to Proposed. The buffer is created when missing.
  void SetValue(std::size_t aColumn, TVariant aValue);

  const TRowStoreRowError* Error() const { return FError.get(); }
  void SetError(std::unique_ptr<TRowStoreRowError> aError) { FError = std::move(aError); }

 private:
  static std::uint8_t BufferBit(TRowStoreBufferKind aKind) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(aKind));
  }

  // Where the buffer of that kind is, or goes once created.
  TRowStoreRowBuffer& Slot(TRowStoreBufferKind aKind) const;

  // Mutable: a row lends its buffers out for writing even through a const
  // reference, as it did when they were objects of their own.
  mutable TRowStoreRowBuffer FInline;  // the one buffer, of FInlineKind, while FAll is null
  std::unique_ptr<std::array<TRowStoreRowBuffer, 3>> FAll;  // by kind, once a row has had two
  std::unique_ptr<TRowStoreRowError> FError;
  std::uint32_t FRowID;
  std::uint32_t FChangeNumber = 0;
  TRowStoreRowState FRowState = TRowStoreRowState::rsDetached;
  TRowStoreRowState FRowPriorState = TRowStoreRowState::rsDetached;
  std::uint8_t FBufferBits = 0;
  TRowStoreBufferKind FInlineKind = TRowStoreBufferKind::bkOriginal;
};

// What describes a column, as a stream carries it.
struct TRowStoreColumnInfo {
  std::string Name;
  std::string SourceName;
  std::int32_t SourceID = 0;
  TColumnDataType DataType = TColumnDataType::dtUnknown;
  std::int32_t Precision = 0;
  std::int32_t Scale = 0;
  std::int32_t Size = 0;
  TColumnAttributes Attributes;
  bool AutoIncrement = false;  // a loader sets it from caAutoInc unless streamed
  std::int32_t AutoIncrementSeed = 1;
  std::int32_t AutoIncrementStep = 1;
  std::string Caption;  // empty shows the column name (DisplayCaption)
  std::string Expression;
  TColumnOptions Options;
  std::string OriginTabName;
  std::string OriginColName;
  TColumnDataType SourceDataType = TColumnDataType::dtUnknown;
  std::int32_t SourcePrecision = 0;
  std::int32_t SourceScale = 0;
  std::int32_t SourceSize = 0;
  std::string SourceDataTypeName;
  std::string SourceDirectory;
  std::string SourceGenerator;
};

class TRowStoreColumn : public TRowStoreColumnInfo {
 public:
  explicit TRowStoreColumn(std::string aName = {},
                           TColumnDataType aDataType = TColumnDataType::dtUnknown) {
    Name = std::move(aName);
    DataType = aDataType;
  }

  // The nested table of a reference column (dtRowSetRef..dtArrayRef), not owned.
  TRowStoreTable* NestedTable = nullptr;

  const std::string& DisplayCaption() const { return Caption.empty() ? Name : Caption; }

  // Auto-increment: the next value an appended row gets (none once it would
  // pass the 64-bit range), and accounting for a value a row already holds so
  // that later values do not repeat it.
  std::optional<std::int64_t> NextAutoIncValue();
  void AccountAutoIncValue(std::int64_t aValue);

 private:
  std::optional<std::int64_t> FLastAutoInc;
};

enum class TConstraintKind : std::uint8_t { ckUnique, ckForeignKey, ckCheck };

// A constraint as loaded; only its description is kept.
struct TRowStoreConstraint {
  TConstraintKind Kind = TConstraintKind::ckUnique;
  std::string Name;
  bool Enforce = true;
  bool Rely = true;
  std::int32_t CheckTime = 0;  // ctAtEditEnd 0, ctAtColumnChange 1
  std::string Message;
  // ckUnique
  std::string ColumnNames;
  std::uint8_t SortOptions = 0;  // NoCase .. DigitsAsNumbers as bits 0..7
  // ckForeignKey
  std::string RelatedColumnNames;
  std::string RelatedTableName;
  std::int32_t DeleteRule = 0, InsertRule = 0, UpdateRule = 0;  // crCascade 0
  std::int32_t AcceptRejectRule = 1;                            // arCascade 1
  bool FieldValueRequired = false;
  std::string ParentMessage;
  // ckCheck
  std::string Expression;
};

enum class TViewMechKind : std::uint8_t {
  mkSort,
  mkRowState,
  mkRange,
  mkFilter,
  mkError,
  mkDetails,
  mkChilds,
  mkMaster,
  mkParent
};

struct TRowStoreViewMech {
  TViewMechKind Kind = TViewMechKind::mkSort;
  bool Active = false;
  bool Locator = false;
  std::string Expression, Columns, DescendingColumns, CaseInsensitiveColumns;
  std::uint8_t SortOptions = 0;
  TEnumSet<TRowStoreRowState> RowStates;
  bool BottomExclusive = false, TopExclusive = false;
  std::int32_t BottomColumnCount = -1, TopColumnCount = -1;
  bool NoCase = false, Partial = false;
  std::string Relation;  // ParentRelation (details) or ChildRelation (master)
};

struct TRowStoreAggregate {
  std::string Name;
  bool Active = false;
  std::string Expression;
  std::int32_t GroupingLevel = 0;
};

// What describes a view besides its mechanisms and aggregates.
struct TRowStoreViewInfo {
  std::string Name;
  bool Active = false;
  std::string SourceView;
};

struct TRowStoreView : TRowStoreViewInfo {
  std::vector<TRowStoreViewMech> Mechanisms;
  std::vector<TRowStoreAggregate> Aggregates;
};

struct TRowStoreRelation {
  std::string Name;
  std::string ChildTable, ChildKeyConstraint, ChildColumnNames;
  bool Nested = false;
  std::string ParentTable, ParentKeyConstraint, ParentColumnNames;
};

// One pending change: a row of a table and its position in the journal.
struct TRowStoreChange {
  TRowStoreTable* Table = nullptr;
  TRowStoreRow* Row = nullptr;
  std::uint32_t ChangeNumber = 0;
};

class TRowStoreUpdatesJournal {
 public:
  std::uint32_t SavePoint = 0;
  std::vector<TRowStoreChange> Changes;

  bool HasChangesFor(const TRowStoreTable& aTable) const;
};

// The settings a manager and each of its tables carry.
struct TRowStoreSettings {
  bool CaseSensitive = true;
  bool EnforceConstraints = true;
  std::uint32_t Locale = 1024;
  bool Round2Scale = false;
  bool CheckPrecision = false;
  bool StrsTrim2Len = false;
  bool CheckNotNull = true;
  bool CheckReadOnly = true;
};

// What describes a table besides its name, columns, constraints, views,
// rows and journal.
struct TRowStoreTableInfo : TRowStoreSettings {
  std::string SourceName;
  std::int32_t SourceID = 0;
  std::int32_t MinimumCapacity = 0;
  bool Nested = false;
  std::int32_t InlineDataSize = 1000;
};

class TRowStoreTable : public TRowStoreTableInfo {
 public:
  explicit TRowStoreTable(std::string aName = {}) : Name(std::move(aName)) {}
  TRowStoreTable(const TRowStoreTable&) = delete;
  TRowStoreTable& operator=(const TRowStoreTable&) = delete;

  std::string Name;
  std::vector<TRowStoreConstraint> Constraints;
  std::vector<TRowStoreView> Views;
  std::unique_ptr<TRowStoreUpdatesJournal> UpdatesJournal;  // a table's own journal

  // Columns, in order.
  std::size_t ColumnCount() const { return FColumns.size(); }
  TRowStoreColumn& Column(std::size_t aIndex) const { return *FColumns.at(aIndex); }
  TRowStoreColumn& AddColumn(std::string aName, TColumnDataType aDataType);
  // Index of the column of that name (ignoring case), or -1.
  int IndexOfColumn(std::string_view aName) const;

  // Rows, in insertion (or load) order.
  std::size_t RowCount() const { return FRows.size(); }
  TRowStoreRow& Row(std::size_t aIndex) const { return *FRows.at(aIndex); }
  // Appends a detached row with the next RowID (which then advances).
  TRowStoreRow& AppendRow();
  // Appends a row for a loader, which sets its RowID from the stream and then
  // calls AccountRowID; the next RowID does not advance here.
  TRowStoreRow& AppendLoadedRow();
  // Removes a row from the list; false when it is not in this table.
  bool RemoveRow(const TRowStoreRow& aRow);
  // Removes every row aPredicate accepts, in one pass; returns how many.
  std::size_t RemoveRowsIf(const std::function<bool(const TRowStoreRow&)>& aPredicate);
  void ClearRows();
  // A loaded row keeps its RowID: makes the next RowID exceed it, and notes
  // when rows stop arriving in RowID order.
  void AccountRowID(std::uint32_t aRowID);
  // Lets every auto-increment column account for the values of aRow.
  void AccountAutoIncValues(const TRowStoreRow& aRow);
  std::uint32_t NextRowID() const { return FNextRowID; }
  void SetNextRowID(std::uint32_t aValue) { FNextRowID = aValue; }
  bool RowsOrdered() const { return FRowsOrdered; }

 private:
  // Rows are made in blocks the table owns, a block holding twice the rows of
  // the one before up to kMaxRowBlock: an appended row is no heap block of its
  // own. A removed row is emptied at once and its place goes to a later
  // append. Once no row is left, the table keeps its blocks up to the first of
  // full size (496 rows), so that a table emptied and filled again batch by
  // batch makes no new ones, and frees the others.
  struct TRowBlock {
    std::unique_ptr<TRowStoreRow[]> Rows;
    std::size_t Size = 0;
  };
  static constexpr std::size_t kFirstRowBlock = 16;
  static constexpr std::size_t kMaxRowBlock = 256;

  // A fresh row with that RowID, appended to FRows.
  TRowStoreRow& NewRow(std::uint32_t aRowID);
  // Empties a row that has left FRows and keeps its place for reuse.
  void ReleaseRow(TRowStoreRow& aRow);
  // Empties the rows handed out and hands out from the first block again,
  // freeing the blocks past the first of full size; FRows is empty.
  void ResetRowBlocks();

  std::vector<std::unique_ptr<TRowStoreColumn>> FColumns;
  std::vector<TRowBlock> FRowBlocks;
  std::size_t FBlocksUsed = 0;     // blocks handed out from, the last one in part
  std::size_t FLastBlockUsed = 0;  // rows handed out from that last one
  std::vector<TRowStoreRow*> FFreeRows;
  std::vector<TRowStoreRow*> FRows;  // in the blocks, in row order
  std::uint32_t FNextRowID = 0;
  std::optional<std::uint32_t> FLastLoadedRowID;
  bool FRowsOrdered = true;
};

// What describes a manager besides its tables, relations and journal.
struct TRowStoreManagerInfo : TRowStoreSettings {
  std::string Name;
  bool UpdatesRegistry = false;
};

class TRowStoreManager : public TRowStoreManagerInfo {
 public:
  TRowStoreManager() = default;
  TRowStoreManager(const TRowStoreManager&) = delete;
  TRowStoreManager& operator=(const TRowStoreManager&) = delete;

  std::vector<TRowStoreRelation> Relations;
  std::unique_ptr<TRowStoreUpdatesJournal> UpdatesJournal;

  // Tables, in order; names are unique within the manager (ignoring case).
  std::size_t TableCount() const { return FTables.size(); }
  TRowStoreTable& Table(std::size_t aIndex) const { return *FTables.at(aIndex); }
  TRowStoreTable* FindTable(std::string_view aName) const;
  int IndexOfTable(const TRowStoreTable& aTable) const;
  // Adds a table named aName, or, when that name is taken, aName followed by
  // the first free number ("_MEM_TAB" then "_MEM_TAB1", ...).
  TRowStoreTable& AddTable(std::string_view aName);
  void RemoveTable(const TRowStoreTable& aTable);

  // Whether the manager's or the table's journal holds changes of aTable.
  bool HasChangesFor(const TRowStoreTable& aTable) const;

  // The table a dataset attaches: a table named aName when aName is not empty;
  // otherwise the first root table (not the child of any relation), ordered
  // by positive SourceID, else by list position plus 1000. Null when none.
  TRowStoreTable* RootTable(std::string_view aName = {}) const;

  // Removes every table, relation and journal entry; settings keep their values.
  void Reset();

 private:
  std::vector<std::unique_ptr<TRowStoreTable>> FTables;
};

}  // namespace tandemize::memtable
