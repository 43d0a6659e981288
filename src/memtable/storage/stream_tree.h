#pragma once
// The object tree a binary dataset stream carries: a manager with its
// tables (columns, constraints, views, rows), relations and updates journal.
// Each class reads and writes itself through TBinStorage, honouring the
// layout differences between stream versions 1 to 15. The reader fills this
// tree (or, with a row sink, the tree without its rows) and hands it to the
// row store; the writer serializes it, so tests and client tooling can
// describe a dataset here and get a stream of any version.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memtable/storage/storage_manager.h"

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

constexpr std::uint16_t AttributeBit(TColumnAttribute aAttribute) {
  return static_cast<std::uint16_t>(1U << static_cast<unsigned>(aAttribute));
}
constexpr std::uint8_t OptionBit(TColumnOption aOption) {
  return static_cast<std::uint8_t>(1U << static_cast<unsigned>(aOption));
}

// One payload per column, in the memory layout ReadValue gives; none: null.
using TStreamValues = std::vector<std::optional<std::string>>;

class TStreamColumn : public TStorableObject {
 public:
  TStreamColumn() = default;
  // A column as a table would create it: Caption follows the name.
  TStreamColumn(std::string aName, TColumnDataType aType, std::int32_t aSize = 0);

  std::string_view StreamName() const override { return "Column"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  bool HasAttribute(TColumnAttribute aAttribute) const {
    return (Attributes & AttributeBit(aAttribute)) != 0;
  }
  void SetAttribute(TColumnAttribute aAttribute, bool aOn = true);

  std::string Name, SourceName;
  std::int32_t SourceID = 0;
  TColumnDataType DataType = TColumnDataType::dtUnknown;
  std::int32_t Precision = 0, Scale = 0, Size = 0;
  std::uint16_t Attributes = 0;
  bool AutoIncrement = false;
  std::int32_t AutoIncrementSeed = 1, AutoIncrementStep = 1;
  std::string Caption, Expression;
  std::uint8_t Options = 0;
  std::string OriginTabName, OriginColName;
  TColumnDataType SourceDataType = TColumnDataType::dtUnknown;
  std::int32_t SourcePrecision = 0, SourceScale = 0, SourceSize = 0;
  std::string SourceDataTypeName, SourceDirectory, SourceGenerator;
};

// "UniqueConstraint", "ForeignKeyConstraint", "CheckConstraint" (and the
// abstract "ConstraintBase").
class TStreamConstraint : public TStorableObject {
 public:
  enum class TKind : std::uint8_t { ckBase, ckUnique, ckForeignKey, ckCheck };
  explicit TStreamConstraint(TKind aKind = TKind::ckUnique) : Kind(aKind) {}

  std::string_view StreamName() const override;
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  TKind Kind;
  std::string Name;
  bool Enforce = true, Rely = true;
  int CheckTime = 0;  // ctAtEditEnd
  std::string Message;
  std::string ColumnNames;
  std::uint8_t SortOptions = 0;  // NoCase .. DigitsAsNumbers, bits 0..7
  std::string RelatedColumnNames, RelatedTableName;
  int DeleteRule = 0, InsertRule = 0, UpdateRule = 0;  // crCascade
  int AcceptRejectRule = 1;                            // arCascade
  bool FieldValueRequired = false;
  std::string ParentMessage;
  std::string Expression;
};

// View mechanisms ("MechSort", "MechRowState", ...; "MechBase").
class TStreamMech : public TStorableObject {
 public:
  enum class TKind : std::uint8_t {
    mkBase,
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
  explicit TStreamMech(TKind aKind = TKind::mkSort) : Kind(aKind) {}

  std::string_view StreamName() const override;
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  TKind Kind;
  bool Active = false, Locator = false;
  std::string Expression, Columns, DescendingColumns, CaseInsensitiveColumns;
  std::uint8_t SortOptions = 0;
  std::uint16_t RowStates = 0;  // bit n: TRowStoreRowState n
  bool BottomExclusive = false, TopExclusive = false;
  std::int32_t BottomColumnCount = -1, TopColumnCount = -1;
  bool NoCase = false, Partial = false;
  std::string RelationName;  // ParentRelation (details) or ChildRelation (master)
};

class TStreamAggregate : public TStorableObject {
 public:
  std::string_view StreamName() const override { return "Aggregate"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  std::string Name;
  bool Active = false;
  std::string Expression;
  std::int32_t GroupingLevel = 0;
};

class TStreamView : public TStorableObject {
 public:
  std::string_view StreamName() const override { return "View"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  std::string Name;
  bool Active = false;
  std::string SourceView;
  std::vector<std::unique_ptr<TStreamMech>> Mechanisms;
  std::vector<std::unique_ptr<TStreamAggregate>> Aggregates;
};

class TStreamRelation : public TStorableObject {
 public:
  std::string_view StreamName() const override { return "Relation"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  std::string Name, ChildTable, ChildKeyConstraint, ChildColumnNames;
  bool Nested = false;
  std::string ParentTable, ParentKeyConstraint, ParentColumnNames;
};

struct TStreamDBError {
  std::int32_t ErrorCode = 0, Kind = 0, Level = 0;
  std::string Message, ObjName;
  std::int32_t CommandTextOffset = 0, RowIndex = 0;
  friend bool operator==(const TStreamDBError&, const TStreamDBError&) = default;
};

// An error attached to a row: "Exception", or an engine exception
// ("DBEngineException", "PgNativeException", ...) with its DBError list.
class TStreamError : public TStorableObject {
 public:
  explicit TStreamError(std::string aClassName = "Exception");

  std::string_view StreamName() const override { return FClassName; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;
  bool IsEngineError() const;

  std::int32_t FDCode = 0;
  std::string Message, FDObjName;
  std::vector<TStreamDBError> Errors;

 private:
  std::string FClassName;
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

class TStreamTable : public TStorableObject {
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

  std::string Name, SourceName;
  std::int32_t SourceID = 0;
  bool CaseSensitive = true, EnforceConstraints = true;
  std::uint32_t Locale = 1024;
  std::int32_t MinimumCapacity = 0;
  bool Nested = false, Round2Scale = false, CheckPrecision = false, StrsTrim2Len = false;
  bool CheckNotNull = true, CheckReadOnly = true;
  std::int32_t InlineDataSize = 1000;
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

class TStreamManager : public TStorableObject {
 public:
  std::string_view StreamName() const override { return "Manager"; }
  void LoadBody(TBinStorage& aStorage) override;
  void SaveBody(TBinStorage& aStorage) const override;

  TStreamTable& AddTable(std::string aName);
  TStreamTable* FindTable(std::string_view aName);
  // The rows of the tables read from now on go to `aSink` (none: to Rows).
  void SetRowSink(TStreamRowSink* aSink) { FRowSink = aSink; }

  std::string Name;
  bool CaseSensitive = true, EnforceConstraints = true;
  std::uint32_t Locale = 1024;
  bool UpdatesRegistry = false, Round2Scale = false, CheckPrecision = false;
  bool StrsTrim2Len = false, CheckNotNull = true, CheckReadOnly = true;
  std::vector<std::unique_ptr<TStreamTable>> Tables;
  std::vector<std::unique_ptr<TStreamRelation>> Relations;
  std::unique_ptr<TStreamJournal> Journal;

 private:
  void ApplyJournal(const TStreamJournal& aJournal);

  TStreamRowSink* FRowSink = nullptr;
};

// Registers every stream object name with its class.
void RegisterStreamTreeClasses(TStorageManager& aManager);

}  // namespace tandemize::memtable::storage
