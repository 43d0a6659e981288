#pragma once
// The object tree a binary dataset stream carries: a manager with its
// tables (columns, constraints, views, rows), relations and updates journal.
// Each class reads and writes itself through TBinStorage, honouring the
// layout differences between stream versions 1 to 15. The reader fills this
// tree (or, with a row sink, the tree without its rows) and hands it to the
// row store; the writer serializes it, so tests and client tooling can
// describe a dataset here and get a stream of any version.
//
// What the row store keeps of an object the tree holds in the row store's
// own type (a TStreamColumn is a TRowStoreColumnInfo, a TStreamConstraint a
// TRowStoreConstraint, ...), so the two convert by plain assignment. Row
// values differ: the tree holds them as stream payloads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/row_store.h"
#include "memtable/storage/internal/storage_manager.h"
#include "memtable/variant.h"

namespace tandemize::memtable::storage {

class TStorageManager;
class TStreamTable;
class TStreamError;

// Takes a table's rows as the stream is read, in place of the table's Rows,
// so that the rows of a large stream are not held twice on their way to the
// row store. The tree still reads the row list object and its ends.
class TStreamRowSink {
 public:
  virtual ~TStreamRowSink() = default;
  // The row list of `aTable` begins (again, after DiscardRows).
  virtual void BeginRows(const TStreamTable& aTable) = 0;
  // Reads one row of `aTable`: its begin has been read; the body and the end
  // are the sink's, inside an object level of their own.
  virtual void LoadRow(TBinStorage& aStorage, const TStreamTable& aTable) = 0;
  // Forgets every row taken for `aTable`: its row list is read again.
  virtual void DiscardRows(const TStreamTable& aTable) = 0;
  // A journal entry: the first row of `aTable` with `aRowID`, if any, takes
  // `aChangeNumber`.
  virtual void SetChangeNumber(const TStreamTable& aTable, std::uint32_t aRowID,
                               std::uint32_t aChangeNumber) = 0;
};

// One payload per column, in the memory layout ReadValue gives; none: null.
using TStreamValues = std::vector<std::optional<std::string>>;

// Unlike the row store, which leaves Caption empty while the column shows
// its name, the stream's Caption holds the name itself then.
class TStreamColumn : public TStorableObject, public TRowStoreColumnInfo {
 public:
  TStreamColumn() = default;
  // A column as a table would create it: Caption follows the name.
  TStreamColumn(std::string aName, TColumnDataType aType, std::int32_t aSize = 0);

  std::string_view StreamName() const override { return "Column"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;
};

// "UniqueConstraint", "ForeignKeyConstraint", "CheckConstraint" (and the
// abstract "ConstraintBase").
class TStreamConstraint : public TStorableObject, public TRowStoreConstraint {
 public:
  explicit TStreamConstraint(TConstraintKind aKind = TConstraintKind::ckUnique) { Kind = aKind; }
  explicit TStreamConstraint(const TRowStoreConstraint& aConstraint)
      : TRowStoreConstraint(aConstraint) {}

  std::string_view StreamName() const override;
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  // An abstract "ConstraintBase": only the properties every constraint has,
  // and no place in the row store.
  bool Base = false;
};

// View mechanisms ("MechSort", "MechRowState", ...; "MechBase").
class TStreamMech : public TStorableObject, public TRowStoreViewMech {
 public:
  explicit TStreamMech(TViewMechKind aKind = TViewMechKind::mkSort) { Kind = aKind; }
  explicit TStreamMech(const TRowStoreViewMech& aMech) : TRowStoreViewMech(aMech) {}

  std::string_view StreamName() const override;
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  // An abstract "MechBase": only the properties every mechanism has, and no
  // place in the row store.
  bool Base = false;
};

class TStreamAggregate : public TStorableObject, public TRowStoreAggregate {
 public:
  TStreamAggregate() = default;
  explicit TStreamAggregate(const TRowStoreAggregate& aAggregate)
      : TRowStoreAggregate(aAggregate) {}

  std::string_view StreamName() const override { return "Aggregate"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;
};

// The mechanisms and aggregates are objects of their own here: a load sets
// some of their properties only once the whole stream has been read.
class TStreamView : public TStorableObject, public TRowStoreViewInfo {
 public:
  std::string_view StreamName() const override { return "View"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  std::vector<std::unique_ptr<TStreamMech>> Mechanisms;
  std::vector<std::unique_ptr<TStreamAggregate>> Aggregates;
};

class TStreamRelation : public TStorableObject, public TRowStoreRelation {
 public:
  TStreamRelation() = default;
  explicit TStreamRelation(const TRowStoreRelation& aRelation) : TRowStoreRelation(aRelation) {}

  std::string_view StreamName() const override { return "Relation"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;
};

// An error attached to a row: "Exception", or an engine exception
// ("DBEngineException", "PgNativeException", ...) with its DBError list.
// ClassName is the object's name in the stream.
class TStreamError : public TStorableObject, public TRowStoreRowError {
 public:
  explicit TStreamError(std::string aClassName = "Exception") { ClassName = std::move(aClassName); }
  // An empty class name is written as "Exception".
  explicit TStreamError(const TRowStoreRowError& aError);

  std::string_view StreamName() const override { return ClassName; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;
  bool IsEngineError() const;
};

class TStreamRow : public TStorableObject {
 public:
  // Reads "DatSRow" in versions 3 and 4, "Row" otherwise.
  std::string_view StreamName() const override { return "Row"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  // The table whose columns the row's values follow (none: no values).
  void SetTable(const TStreamTable* aTable) { FTable = aTable; }
  void SaveWithTable(TBinStorage& aStorage, const TStreamTable& aTable) const;

  // The error object a row may carry after its states, or none.
  static std::unique_ptr<TStreamError> LoadError(TBinStorage& aStorage);

  std::uint32_t RowID = 0xFFFFFFFF;
  TRowStoreRowState RowState = TRowStoreRowState::rsUnchanged;
  TRowStoreRowState RowPriorState = TRowStoreRowState::rsDetached;
  std::uint32_t ChangeNumber = 0;
  std::unique_ptr<TStreamError> Error;
  std::optional<TStreamValues> Original, Current, Proposed;

  // Original, Current or Proposed.
  std::optional<TStreamValues>& Values(TRowStoreBufferKind aKind);
  const std::optional<TStreamValues>& Values(TRowStoreBufferKind aKind) const;

 private:
  const TStreamTable* FTable = nullptr;
};

struct TStreamChange {
  std::int32_t TabID = -1;
  std::uint32_t RowID = 0, ChangeNumber = 0;
  friend bool operator==(const TStreamChange&, const TStreamChange&) = default;
};

class TStreamJournal : public TStorableObject {
 public:
  explicit TStreamJournal(bool aOfManager = true) : FOfManager(aOfManager) {}
  std::string_view StreamName() const override { return "UpdatesJournal"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  std::uint32_t SavePoint = 0;
  std::vector<TStreamChange> Changes;

 private:
  bool FOfManager;
};

class TStreamTable : public TStorableObject, public TRowStoreTableInfo {
 public:
  std::string_view StreamName() const override { return "Table"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  TStreamColumn& AddColumn(std::string aName, TColumnDataType aType, std::int32_t aSize = 0);
  // A row with the next RowID; the values vectors are sized to the columns.
  TStreamRow& AddRow(TRowStoreRowState aState);
  TStreamRow* FindRow(std::uint32_t aRowID);
  // Column indexes in the order row versions carry their values.
  const std::vector<std::uint16_t>& ValueOrder(int aVersion) const;
  // Whether two columns have names equal ignoring case. Streams before
  // version 4 name every value by its column, read ignoring case; in such a
  // table only the exact name tells the two columns' values apart.
  bool HasColumnsNamedAlike() const;
  // Rows read from now on go to `aSink` (none: to Rows).
  void SetRowSink(TStreamRowSink* aSink) { FRowSink = aSink; }

  std::string Name;
  std::vector<std::unique_ptr<TStreamColumn>> Columns;
  std::vector<std::unique_ptr<TStreamConstraint>> Constraints;
  std::vector<std::unique_ptr<TStreamView>> Views;
  std::vector<std::unique_ptr<TStreamRow>> Rows;
  std::unique_ptr<TStreamJournal> Journal;  // the table's own, if it keeps one
  // The next RowID to give out: one more than the highest RowID loaded.
  std::uint32_t NextRowID = 0;
  // False once a loaded row's RowID was not above the one before it.
  bool RowsOrderedByID = true;

 private:
  void LoadColumnList(TBinStorage& aStorage);
  void LoadConstraintList(TBinStorage& aStorage);
  void LoadViewList(TBinStorage& aStorage);
  void LoadRows(TBinStorage& aStorage, std::string_view aListName);
  void DiscardRows(std::size_t aKeep);
  void SaveRows(TBinStorage& aStorage) const;

  TStreamRowSink* FRowSink = nullptr;

  // Cache of ValueOrder for one version and column count.
  mutable std::vector<std::uint16_t> FValueOrder;
  mutable int FValueOrderVersion = -1;
  mutable std::size_t FValueOrderColumns = 0;
  // Cache of HasColumnsNamedAlike for one column count.
  mutable bool FColumnsNamedAlike = false;
  mutable std::size_t FColumnsNamedAlikeColumns = static_cast<std::size_t>(-1);
};

class TStreamManager : public TStorableObject, public TRowStoreManagerInfo {
 public:
  std::string_view StreamName() const override { return "Manager"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  TStreamTable& AddTable(std::string aName);
  TStreamTable* FindTable(std::string_view aName);
  // The rows of the tables read from now on go to `aSink` (none: to Rows).
  void SetRowSink(TStreamRowSink* aSink) { FRowSink = aSink; }

  std::vector<std::unique_ptr<TStreamTable>> Tables;
  std::vector<std::unique_ptr<TStreamRelation>> Relations;
  std::unique_ptr<TStreamJournal> Journal;

 private:
  void ApplyJournal(const TStreamJournal& aJournal);

  TStreamRowSink* FRowSink = nullptr;
};

// Stores `aValue` (in the column's layout or a plain value, see EncodeValue)
// as column `aColumn` of a row version, creating the version when missing.
// A null value clears the column.
void SetStreamValue(const TStreamTable& aTable, TStreamRow& aRow, TRowStoreBufferKind aBuffer,
                    std::size_t aColumn, const TVariant& aValue);
// The value a row version holds for a column, as the row store would hold it.
TVariant GetStreamValue(const TStreamTable& aTable, const TStreamRow& aRow,
                        TRowStoreBufferKind aBuffer, std::size_t aColumn);

// Registers every stream object name with its class.
void RegisterStreamTreeClasses(TStorageManager& aManager);

}  // namespace tandemize::memtable::storage
