#include "memtable/storage/stream_tree.h"

#include <array>
#include <limits>
#include <unordered_map>

#include "memtable/errors.h"
#include "memtable/storage/internal/value_codec.h"
#include "text/case_fold.h"

namespace tandemize::memtable::storage {

namespace {

using enum TColumnDataType;

constexpr std::array<std::string_view, 16> kAttributeNames = {
    "Searchable", "AllowNull", "FixedLen",   "BlobData", "ReadOnly", "AutoInc", "ROWID", "Default",
    "RowVersion", "Internal",  "Calculated", "Volatile", "Unnamed",  "Virtual", "Base",  "Expr"};

constexpr std::array<std::string_view, 8> kOptionNames = {
    "OAllowNull", "OUnique", "OReadOnly",        "OInUpdate",
    "OInWhere",   "OInKey",  "OAfterInsChanged", "OAfterUpdChanged"};

constexpr std::array<std::string_view, 8> kSortOptionNames = {
    "NoCase", "NullFirst", "DescNullLast", "Descending",
    "Unique", "Primary",   "NoSymbols",    "DigitsAsNumbers"};

constexpr std::array<std::string_view, 3> kVersionNames = {"Original", "Current", "Proposed"};

// A column index is 16 bits in the stream.
constexpr std::size_t kMaxColumns = 65535;

constexpr std::string_view kTrue = "True";

// Boolean properties, one per bit: bit i is named aNames[i].
std::uint32_t ReadFlags(TBinStorage& aStorage, std::span<const std::string_view> aNames) {
  std::uint32_t flags = 0;
  for (std::size_t i = 0; i < aNames.size(); ++i) {
    if (aStorage.ReadBoolean(aNames[i], false)) flags |= 1U << i;
  }
  return flags;
}

void WriteFlags(TBinStorage& aStorage, std::span<const std::string_view> aNames,
                std::uint64_t aFlags) {
  for (std::size_t i = 0; i < aNames.size(); ++i) {
    aStorage.WriteBoolean(aNames[i], ((aFlags >> i) & 1U) != 0, false);
  }
}

// A Boolean setting that acts on data not yet complete: true is applied when
// the whole manager has been read.
void ReadDeferredFlag(TBinStorage& aStorage, std::string_view aName, bool aDefault, bool& aTarget) {
  const bool value = aStorage.ReadBoolean(aName, aDefault);
  if (!value) {
    aTarget = false;
    return;
  }
  aTarget = false;
  aStorage.DeferAction(std::string(aName), std::string(kTrue),
                       [&aTarget](const std::string&, const std::string&) { aTarget = true; });
}

// A name that refers to another object (a table, constraint or relation),
// resolved once everything it may refer to has been read.
void ReadDeferredName(TBinStorage& aStorage, std::string_view aName, std::string& aTarget) {
  std::string value = aStorage.ReadString(aName, "");
  aTarget.clear();
  if (value.empty()) return;
  aStorage.DeferAction(
      std::string(aName), std::move(value),
      [&aTarget](const std::string&, const std::string& aValue) { aTarget = aValue; });
}

template <class T>
std::unique_ptr<T> LoadObjectAs(TBinStorage& aStorage) {
  std::unique_ptr<TStorableObject> object = TStorageManager::Instance().LoadObject(aStorage);
  if (auto* typed = dynamic_cast<T*>(object.get())) {
    object.release();
    return std::unique_ptr<T>(typed);
  }
  RaiseCannotReadObject(object->StreamName());
}

// Reads a list object: its begin, `aBody` inside its own object level, its
// end. On failure the level is left without running deferred actions.
template <class F>
void LoadListObject(TBinStorage& aStorage, std::string_view aName, F&& aBody) {
  aStorage.ReadObjectBegin(aName);
  aStorage.EnterObjectLevel();
  try {
    aBody();
  } catch (...) {
    aStorage.LeaveObjectLevel(false);
    throw;
  }
  aStorage.LeaveObjectLevel();
  aStorage.ReadObjectEnd();
}

bool InRange(TColumnDataType aType, TColumnDataType aLow, TColumnDataType aHigh) {
  return aType >= aLow && aType <= aHigh;
}

// The three passes over a table's columns that every row version follows.
std::vector<std::uint16_t> ComputeValueOrder(const TStreamTable& aTable, int aVersion) {
  const auto& columns = aTable.Columns;
  bool hasNested = false, hasLarge = false;
  for (const auto& column : columns) {
    hasNested = hasNested || InRange(column->DataType, dtRowSetRef, dtParentRowRef);
    hasLarge = hasLarge || InRange(column->DataType, dtByteString, dtHBFile);
  }
  std::vector<std::uint16_t> order;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const TColumnDataType type = columns[i]->DataType;
    if (InRange(type, dtBoolean, dtWideString) || type == dtGUID || type == dtObject) {
      order.push_back(static_cast<std::uint16_t>(i));
    }
  }
  if (aVersion >= 15 && hasNested) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i]->DataType == dtParentRowRef) order.push_back(static_cast<std::uint16_t>(i));
    }
  }
  if (hasLarge) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (InRange(columns[i]->DataType, dtByteString, dtHBFile)) {
        order.push_back(static_cast<std::uint16_t>(i));
      }
    }
  }
  return order;
}

std::string_view RowObjectName(int aVersion) {
  return (aVersion == 3 || aVersion == 4) ? "DatSRow" : "Row";
}

std::string_view RowListName(int aVersion) {
  return aVersion >= 10 ? "RowList" : "TableRowList";
}

bool IsEngineErrorName(std::string_view aName) {
  return !text::EqualsIgnoringCase(aName, "Exception");
}

// A list object whose items are loaded by name from the registry; stands
// for the list names when they occur where any object may stand.
class TStreamPlainList : public TStorableObject {
 public:
  explicit TStreamPlainList(std::string aName) : FName(std::move(aName)) {}
  std::string_view StreamName() const override { return FName; }
  void LoadBody(TBinStorage& aStorage) override {
    while (!aStorage.IsObjectEnd()) {
      Items.push_back(TStorageManager::Instance().LoadObject(aStorage));
    }
  }
  void SaveBody(TBinStorage& aStorage) const override {
    for (const auto& item : Items) TStorageManager::SaveObject(aStorage, *item);
  }
  std::vector<std::unique_ptr<TStorableObject>> Items;

 private:
  std::string FName;
};

// "Object" and "NamedObject": bases without a body of their own.
class TStreamBaseObject : public TStorableObject {
 public:
  explicit TStreamBaseObject(std::string aName) : FName(std::move(aName)) {}
  std::string_view StreamName() const override { return FName; }
  void LoadBody(TBinStorage& aStorage) override {
    if (text::EqualsIgnoringCase(FName, "NamedObject")) Name = aStorage.ReadString("Name", "");
  }
  std::string Name;

 private:
  std::string FName;
};

}  // namespace

// ================================================================ Column

TStreamColumn::TStreamColumn(std::string aName, TColumnDataType aType, std::int32_t aSize) {
  Name = std::move(aName);
  DataType = aType;
  Size = aSize;
  Caption = Name;
}

void TStreamColumn::LoadBody(TBinStorage& aStorage) {
  Name = aStorage.ReadString("Name", "");
  SourceName = aStorage.ReadString("SourceName", "");
  SourceID = aStorage.ReadInteger("SourceID", 0);
  DataType = static_cast<TColumnDataType>(
      aStorage.ReadEnum("DataType", kColumnDataTypeEnum, static_cast<int>(dtUnknown)));
  Precision = aStorage.ReadInteger("Precision", 0);
  Scale = aStorage.ReadInteger("Scale", 0);
  Size = aStorage.ReadInteger("Size", 0);
  Attributes = TColumnAttributes::FromBits(ReadFlags(aStorage, kAttributeNames));
  AutoIncrement =
      aStorage.ReadBoolean("AutoIncrement", Attributes.Contains(TColumnAttribute::caAutoInc));
  AutoIncrementSeed = aStorage.ReadInteger("AutoIncrementSeed", 1);
  AutoIncrementStep = aStorage.ReadInteger("AutoIncrementStep", 1);
  // A column's caption follows its name until set.
  Caption = aStorage.ReadString("Caption", Name);
  Expression = aStorage.ReadString("Expression", "");
  Options = TColumnOptions::FromBits(ReadFlags(aStorage, kOptionNames));
  if (aStorage.TestProperty("OriginName")) {
    OriginTabName.clear();
    OriginColName = aStorage.ReadString("OriginName", "");
  } else {
    OriginTabName = aStorage.ReadString("OriginTabName", "");
    OriginColName = aStorage.ReadString("OriginColName", "");
  }
  if (aStorage.TestProperty("SourceDataType")) {
    SourceDataType = static_cast<TColumnDataType>(
        aStorage.ReadEnum("SourceDataType", kColumnDataTypeEnum, static_cast<int>(dtUnknown)));
  }
  SourcePrecision = aStorage.ReadInteger("SourcePrecision", 0);
  SourceScale = aStorage.ReadInteger("SourceScale", 0);
  SourceSize = aStorage.ReadInteger("SourceSize", 0);
  SourceDataTypeName = aStorage.ReadString("SourceDataTypeName", "");
  SourceDirectory = aStorage.ReadString("SourceDirectory", "");
  SourceGenerator = aStorage.ReadString("SourceGenerator", "");
}

void TStreamColumn::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteString("SourceName", SourceName, "");
  aStorage.WriteInteger("SourceID", SourceID, 0);
  aStorage.WriteEnum("DataType", kColumnDataTypeEnum, static_cast<int>(DataType),
                     static_cast<int>(dtUnknown));
  aStorage.WriteInteger("Precision", Precision, 0);
  aStorage.WriteInteger("Scale", Scale, 0);
  aStorage.WriteInteger("Size", Size, 0);
  WriteFlags(aStorage, kAttributeNames, Attributes.Bits());
  aStorage.WriteBoolean("AutoIncrement", AutoIncrement,
                        Attributes.Contains(TColumnAttribute::caAutoInc));
  aStorage.WriteInteger("AutoIncrementSeed", AutoIncrementSeed, 1);
  aStorage.WriteInteger("AutoIncrementStep", AutoIncrementStep, 1);
  aStorage.WriteString("Caption", Caption, Name);
  aStorage.WriteString("Expression", Expression, "");
  WriteFlags(aStorage, kOptionNames, Options.Bits());
  aStorage.WriteString("OriginTabName", OriginTabName, "");
  aStorage.WriteString("OriginColName", OriginColName, "");
  aStorage.WriteEnum("SourceDataType", kColumnDataTypeEnum, static_cast<int>(SourceDataType),
                     static_cast<int>(dtUnknown));
  aStorage.WriteInteger("SourcePrecision", SourcePrecision, 0);
  aStorage.WriteInteger("SourceScale", SourceScale, 0);
  aStorage.WriteInteger("SourceSize", SourceSize, 0);
  aStorage.WriteString("SourceDataTypeName", SourceDataTypeName, "");
  aStorage.WriteString("SourceDirectory", SourceDirectory, "");
  aStorage.WriteString("SourceGenerator", SourceGenerator, "");
}

// ================================================================ Constraints

std::string_view TStreamConstraint::StreamName() const {
  if (Base) return "ConstraintBase";
  switch (Kind) {
    case TConstraintKind::ckUnique:
      return "UniqueConstraint";
    case TConstraintKind::ckForeignKey:
      return "ForeignKeyConstraint";
    case TConstraintKind::ckCheck:
      return "CheckConstraint";
  }
  return "ConstraintBase";
}

void TStreamConstraint::LoadBody(TBinStorage& aStorage) {
  Name = aStorage.ReadString("Name", "");
  ReadDeferredFlag(aStorage, "Enforce", true, Enforce);
  Rely = aStorage.ReadBoolean("Rely", true);
  CheckTime = aStorage.ReadEnum("CheckTime", kCheckTimeEnum, 0);
  Message = aStorage.ReadString("Message", "");
  if (Base) return;
  switch (Kind) {
    case TConstraintKind::ckUnique:
      ColumnNames = aStorage.ReadString("ColumnNames", "");
      SortOptions = static_cast<std::uint8_t>(ReadFlags(aStorage, kSortOptionNames));
      break;
    case TConstraintKind::ckForeignKey:
      ColumnNames = aStorage.ReadString("ColumnNames", "");
      RelatedColumnNames = aStorage.ReadString("RelatedColumnNames", "");
      RelatedTableName = aStorage.ReadString("RelatedTableName", "");
      DeleteRule = aStorage.ReadEnum("DeleteRule", kConstraintRuleEnum, 0);
      InsertRule = aStorage.ReadEnum("InsertRule", kConstraintRuleEnum, 0);
      UpdateRule = aStorage.ReadEnum("UpdateRule", kConstraintRuleEnum, 0);
      AcceptRejectRule = aStorage.ReadEnum("AcceptRejectRule", kAcceptRejectRuleEnum, 1);
      FieldValueRequired = aStorage.ReadBoolean("FieldValueRequired", false);
      ParentMessage = aStorage.ReadString("ParentMessage", "");
      break;
    case TConstraintKind::ckCheck:
      Expression = aStorage.ReadString("Expression", "");
      break;
  }
}

void TStreamConstraint::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteBoolean("Enforce", Enforce, true);
  aStorage.WriteBoolean("Rely", Rely, true);
  aStorage.WriteEnum("CheckTime", kCheckTimeEnum, CheckTime, 0);
  aStorage.WriteString("Message", Message, "");
  if (Base) return;
  switch (Kind) {
    case TConstraintKind::ckUnique:
      aStorage.WriteString("ColumnNames", ColumnNames, "");
      WriteFlags(aStorage, kSortOptionNames, SortOptions);
      break;
    case TConstraintKind::ckForeignKey:
      aStorage.WriteString("ColumnNames", ColumnNames, "");
      aStorage.WriteString("RelatedColumnNames", RelatedColumnNames, "");
      aStorage.WriteString("RelatedTableName", RelatedTableName, "");
      aStorage.WriteEnum("DeleteRule", kConstraintRuleEnum, DeleteRule, 0);
      aStorage.WriteEnum("InsertRule", kConstraintRuleEnum, InsertRule, 0);
      aStorage.WriteEnum("UpdateRule", kConstraintRuleEnum, UpdateRule, 0);
      aStorage.WriteEnum("AcceptRejectRule", kAcceptRejectRuleEnum, AcceptRejectRule, 1);
      aStorage.WriteBoolean("FieldValueRequired", FieldValueRequired, false);
      aStorage.WriteString("ParentMessage", ParentMessage, "");
      break;
    case TConstraintKind::ckCheck:
      aStorage.WriteString("Expression", Expression, "");
      break;
  }
}

// ================================================================ Views

std::string_view TStreamMech::StreamName() const {
  if (Base) return "MechBase";
  switch (Kind) {
    case TViewMechKind::mkSort:
      return "MechSort";
    case TViewMechKind::mkRowState:
      return "MechRowState";
    case TViewMechKind::mkRange:
      return "MechRange";
    case TViewMechKind::mkFilter:
      return "MechFilter";
    case TViewMechKind::mkError:
      return "MechError";
    case TViewMechKind::mkDetails:
      return "MechDetails";
    case TViewMechKind::mkChilds:
      return "MechChilds";
    case TViewMechKind::mkMaster:
      return "MechMaster";
    case TViewMechKind::mkParent:
      return "MechParent";
  }
  return "MechBase";
}

void TStreamMech::LoadBody(TBinStorage& aStorage) {
  ReadDeferredFlag(aStorage, "Active", false, Active);
  Locator = aStorage.ReadBoolean("Locator", false);
  if (Base) return;
  const auto readRange = [&] {
    BottomExclusive = aStorage.ReadBoolean("BottomExclusive", false);
    TopExclusive = aStorage.ReadBoolean("TopExclusive", false);
    BottomColumnCount = aStorage.ReadInteger("BottomColumnCount", -1);
    TopColumnCount = aStorage.ReadInteger("TopColumnCount", -1);
  };
  switch (Kind) {
    case TViewMechKind::mkSort:
      Expression = aStorage.ReadString("Expression", "");
      Columns = aStorage.ReadString("Columns", "");
      DescendingColumns = aStorage.ReadString("DescendingColumns", "");
      CaseInsensitiveColumns = aStorage.ReadString("CaseInsensitiveColumns", "");
      SortOptions = static_cast<std::uint8_t>(ReadFlags(aStorage, kSortOptionNames));
      break;
    case TViewMechKind::mkRowState:
      RowStates = {};
      for (std::size_t i = 0; i < kRowStateEnum.Names.size(); ++i) {
        if (aStorage.ReadBoolean(kRowStateEnum.Names[i].substr(2), false)) {
          RowStates.Include(static_cast<TRowStoreRowState>(i));
        }
      }
      break;
    case TViewMechKind::mkRange:
      readRange();
      break;
    case TViewMechKind::mkFilter:
      Expression = aStorage.ReadString("Expression", "");
      NoCase = aStorage.ReadBoolean("NoCase", false);
      Partial = aStorage.ReadBoolean("Partial", false);
      break;
    case TViewMechKind::mkDetails:
      readRange();
      ReadDeferredName(aStorage, "ParentRelation", Relation);
      break;
    case TViewMechKind::mkMaster:
      readRange();
      ReadDeferredName(aStorage, "ChildRelation", Relation);
      break;
    case TViewMechKind::mkError:
    case TViewMechKind::mkChilds:
    case TViewMechKind::mkParent:
      break;
  }
}

void TStreamMech::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteBoolean("Active", Active, false);
  aStorage.WriteBoolean("Locator", Locator, false);
  if (Base) return;
  const auto writeRange = [&] {
    aStorage.WriteBoolean("BottomExclusive", BottomExclusive, false);
    aStorage.WriteBoolean("TopExclusive", TopExclusive, false);
    aStorage.WriteInteger("BottomColumnCount", BottomColumnCount, -1);
    aStorage.WriteInteger("TopColumnCount", TopColumnCount, -1);
  };
  switch (Kind) {
    case TViewMechKind::mkSort:
      aStorage.WriteString("Expression", Expression, "");
      aStorage.WriteString("Columns", Columns, "");
      aStorage.WriteString("DescendingColumns", DescendingColumns, "");
      aStorage.WriteString("CaseInsensitiveColumns", CaseInsensitiveColumns, "");
      WriteFlags(aStorage, kSortOptionNames, SortOptions);
      break;
    case TViewMechKind::mkRowState:
      for (std::size_t i = 0; i < kRowStateEnum.Names.size(); ++i) {
        aStorage.WriteBoolean(kRowStateEnum.Names[i].substr(2),
                              RowStates.Contains(static_cast<TRowStoreRowState>(i)), false);
      }
      break;
    case TViewMechKind::mkRange:
      writeRange();
      break;
    case TViewMechKind::mkFilter:
      aStorage.WriteString("Expression", Expression, "");
      aStorage.WriteBoolean("NoCase", NoCase, false);
      aStorage.WriteBoolean("Partial", Partial, false);
      break;
    case TViewMechKind::mkDetails:
      writeRange();
      aStorage.WriteString("ParentRelation", Relation, "");
      break;
    case TViewMechKind::mkMaster:
      writeRange();
      aStorage.WriteString("ChildRelation", Relation, "");
      break;
    case TViewMechKind::mkError:
    case TViewMechKind::mkChilds:
    case TViewMechKind::mkParent:
      break;
  }
}

void TStreamAggregate::LoadBody(TBinStorage& aStorage) {
  Name = aStorage.ReadString("Name", "");
  ReadDeferredFlag(aStorage, "Active", false, Active);
  Expression = aStorage.ReadString("Expression", "");
  GroupingLevel = aStorage.ReadInteger("GroupingLevel", 0);
}

void TStreamAggregate::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteBoolean("Active", Active, false);
  aStorage.WriteString("Expression", Expression, "");
  aStorage.WriteInteger("GroupingLevel", GroupingLevel, 0);
}

void TStreamView::LoadBody(TBinStorage& aStorage) {
  Name = aStorage.ReadString("Name", "");
  ReadDeferredFlag(aStorage, "Active", false, Active);
  SourceView = aStorage.ReadString("SourceView", "");
  LoadListObject(aStorage, "ViewMechList", [&] {
    while (!aStorage.IsObjectEnd()) Mechanisms.push_back(LoadObjectAs<TStreamMech>(aStorage));
  });
  LoadListObject(aStorage, "AggregateList", [&] {
    while (!aStorage.IsObjectEnd()) {
      Aggregates.push_back(std::make_unique<TStreamAggregate>());
      Aggregates.back()->LoadFromStorage(aStorage);
    }
  });
}

void TStreamView::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteBoolean("Active", Active, false);
  aStorage.WriteString("SourceView", SourceView, "");
  aStorage.WriteObjectBegin("ViewMechList");
  for (const auto& mech : Mechanisms) TStorageManager::SaveObject(aStorage, *mech);
  aStorage.WriteObjectEnd();
  aStorage.WriteObjectBegin("AggregateList");
  for (const auto& aggregate : Aggregates) aggregate->SaveToStorage(aStorage);
  aStorage.WriteObjectEnd();
}

// ================================================================ Relations

void TStreamRelation::LoadBody(TBinStorage& aStorage) {
  Name = aStorage.ReadString("Name", "");
  ReadDeferredName(aStorage, "ChildTable", ChildTable);
  ReadDeferredName(aStorage, "ChildKeyConstraint", ChildKeyConstraint);
  ReadDeferredName(aStorage, "ChildColumnNames", ChildColumnNames);
  Nested = aStorage.ReadBoolean("Nested", false);
  ReadDeferredName(aStorage, "ParentTable", ParentTable);
  ReadDeferredName(aStorage, "ParentKeyConstraint", ParentKeyConstraint);
  ReadDeferredName(aStorage, "ParentColumnNames", ParentColumnNames);
}

void TStreamRelation::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteString("ChildTable", ChildTable, "");
  aStorage.WriteString("ChildKeyConstraint", ChildKeyConstraint, "");
  aStorage.WriteString("ChildColumnNames", ChildColumnNames, "");
  aStorage.WriteBoolean("Nested", Nested, false);
  aStorage.WriteString("ParentTable", ParentTable, "");
  aStorage.WriteString("ParentKeyConstraint", ParentKeyConstraint, "");
  aStorage.WriteString("ParentColumnNames", ParentColumnNames, "");
}

// ================================================================ Errors

TStreamError::TStreamError(const TRowStoreRowError& aError) : TRowStoreRowError(aError) {
  if (ClassName.empty()) ClassName = "Exception";
}

bool TStreamError::IsEngineError() const {
  return IsEngineErrorName(ClassName);
}

void TStreamError::LoadBody(TBinStorage& aStorage) {
  FDCode = aStorage.ReadInteger("FDCode", 0);
  Message = aStorage.ReadString("Message", "");
  if (aStorage.StreamVersion() > 7) FDObjName = aStorage.ReadString("FDObjName", "");
  if (!IsEngineError()) return;

  const auto readErrors = [&] {
    while (!aStorage.IsObjectEnd()) {
      aStorage.ReadObjectBegin("DBError");
      TRowStoreDBError error;
      error.ErrorCode = aStorage.ReadInteger("ErrorCode", 0);
      error.Kind = aStorage.ReadInteger("Kind", 0);
      error.Level = aStorage.ReadInteger("Level", 0);
      error.Message = aStorage.ReadString("Message", "");
      error.ObjName = aStorage.ReadString("ObjName", "");
      error.CommandTextOffset = aStorage.ReadInteger("CommandTextOffset", 0);
      error.RowIndex = aStorage.ReadInteger("RowIndex", 0);
      aStorage.ReadObjectEnd();
      DBErrors.push_back(std::move(error));
    }
  };
  if (aStorage.StreamVersion() > 10) {
    aStorage.ReadObjectBegin("DBErrors");
    readErrors();
    aStorage.ReadObjectEnd();
  } else {
    readErrors();
  }
}

void TStreamError::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteInteger("FDCode", FDCode, 0);
  aStorage.WriteString("Message", Message, "");
  if (aStorage.StreamVersion() > 7) aStorage.WriteString("FDObjName", FDObjName, "");
  if (!IsEngineError()) return;
  const bool wrapped = aStorage.StreamVersion() > 10;
  if (wrapped) aStorage.WriteObjectBegin("DBErrors");
  for (const TRowStoreDBError& error : DBErrors) {
    aStorage.WriteObjectBegin("DBError");
    aStorage.WriteInteger("ErrorCode", error.ErrorCode, 0);
    aStorage.WriteInteger("Kind", error.Kind, 0);
    aStorage.WriteInteger("Level", error.Level, 0);
    aStorage.WriteString("Message", error.Message, "");
    aStorage.WriteString("ObjName", error.ObjName, "");
    aStorage.WriteInteger("CommandTextOffset", error.CommandTextOffset, 0);
    aStorage.WriteInteger("RowIndex", error.RowIndex, 0);
    aStorage.WriteObjectEnd();
  }
  if (wrapped) aStorage.WriteObjectEnd();
}

// ================================================================ Rows

void TStreamRow::LoadBody(TBinStorage& aStorage) {
  RowID = aStorage.ReadLongWord("RowID", 0xFFFFFFFF);
  RowState = static_cast<TRowStoreRowState>(aStorage.ReadEnum(
      "RowState", kRowStateEnum, static_cast<int>(TRowStoreRowState::rsUnchanged)));
  RowPriorState = static_cast<TRowStoreRowState>(aStorage.ReadEnum(
      "RowPriorState", kRowStateEnum, static_cast<int>(TRowStoreRowState::rsDetached)));
  Error = LoadError(aStorage);

  const std::size_t columnCount = FTable ? FTable->Columns.size() : 0;
  static const std::vector<std::uint16_t> kNoColumns;
  const std::vector<std::uint16_t>& order =
      FTable ? FTable->ValueOrder(aStorage.StreamVersion()) : kNoColumns;
  std::optional<TStreamValues>* buffers[] = {&Original, &Current, &Proposed};
  for (std::size_t v = 0; v < kVersionNames.size(); ++v) {
    std::optional<TStreamValues>& buffer = *buffers[v];
    if (!aStorage.TestAndReadObjectBegin(kVersionNames[v])) {
      buffer.reset();
      continue;
    }
    buffer.emplace(columnCount);
    TStorageValue value;
    const TValueNaming naming =
        FTable->HasColumnsNamedAlike() ? TValueNaming::ExactName : TValueNaming::NameIgnoringCase;
    for (const std::uint16_t index : order) {
      const TStreamColumn& column = *FTable->Columns[index];
      if (aStorage.ReadValue(column.Name, naming, index, column.DataType, value)) {
        (*buffer)[index].emplace(value.Bytes);
      }
    }
    aStorage.ReadObjectEnd();
  }
}

std::optional<TStreamValues>& TStreamRow::Values(TRowStoreBufferKind aKind) {
  switch (aKind) {
    case TRowStoreBufferKind::bkOriginal:
      return Original;
    case TRowStoreBufferKind::bkCurrent:
      return Current;
    case TRowStoreBufferKind::bkProposed:
      return Proposed;
  }
  return Current;
}

const std::optional<TStreamValues>& TStreamRow::Values(TRowStoreBufferKind aKind) const {
  return const_cast<TStreamRow&>(*this).Values(aKind);
}

std::unique_ptr<TStreamError> TStreamRow::LoadError(TBinStorage& aStorage) {
  if (!aStorage.TestAndReadObjectBegin("Exception")) return nullptr;
  std::unique_ptr<TStreamError> error = LoadObjectAs<TStreamError>(aStorage);
  aStorage.ReadObjectEnd();
  return error;
}

void TStreamRow::SaveBody(TBinStorage& aStorage) const {
  if (FTable) {
    SaveWithTable(aStorage, *FTable);
    return;
  }
  const TStreamTable noColumns;
  SaveWithTable(aStorage, noColumns);
}

void TStreamRow::SaveWithTable(TBinStorage& aStorage, const TStreamTable& aTable) const {
  aStorage.WriteLongWord("RowID", RowID, 0xFFFFFFFF);
  aStorage.WriteEnum("RowState", kRowStateEnum, static_cast<int>(RowState),
                     static_cast<int>(TRowStoreRowState::rsUnchanged));
  aStorage.WriteEnum("RowPriorState", kRowStateEnum, static_cast<int>(RowPriorState),
                     static_cast<int>(TRowStoreRowState::rsDetached));
  if (Error) {
    aStorage.WriteObjectBegin("Exception");
    TStorageManager::SaveObject(aStorage, *Error);
    aStorage.WriteObjectEnd();
  }
  const std::vector<std::uint16_t>& order = aTable.ValueOrder(aStorage.StreamVersion());
  const std::optional<TStreamValues>* buffers[] = {&Original, &Current, &Proposed};
  for (std::size_t v = 0; v < kVersionNames.size(); ++v) {
    const std::optional<TStreamValues>& buffer = *buffers[v];
    if (!buffer) continue;
    aStorage.WriteObjectBegin(kVersionNames[v]);
    for (const std::uint16_t index : order) {
      if (index >= buffer->size() || !(*buffer)[index]) continue;
      const TStreamColumn& column = *aTable.Columns[index];
      aStorage.WriteValue(column.Name, index, column.DataType, *(*buffer)[index]);
    }
    aStorage.WriteObjectEnd();
  }
}

// ================================================================ Journal

void TStreamJournal::LoadBody(TBinStorage& aStorage) {
  SavePoint = aStorage.ReadLongWord("SavePoint", 0);
  const bool wrapped = aStorage.StreamVersion() > 10;
  if (wrapped) aStorage.ReadObjectBegin("Changes");
  while (!aStorage.IsObjectEnd()) {
    aStorage.ReadObjectBegin("Change");
    TStreamChange change;
    if (FOfManager) change.TabID = aStorage.ReadInteger("TabID", -1);
    change.RowID = aStorage.ReadLongWord("RowID", 0);
    change.ChangeNumber = aStorage.ReadLongWord("ChangeNumber", 0);
    aStorage.ReadObjectEnd();
    Changes.push_back(change);
  }
  if (wrapped) aStorage.ReadObjectEnd();
}

void TStreamJournal::SaveBody(TBinStorage& aStorage) const {
  aStorage.WriteLongWord("SavePoint", SavePoint, 0);
  const bool wrapped = aStorage.StreamVersion() > 10;
  if (wrapped) aStorage.WriteObjectBegin("Changes");
  for (const TStreamChange& change : Changes) {
    aStorage.WriteObjectBegin("Change");
    if (FOfManager) aStorage.WriteInteger("TabID", change.TabID, -1);
    aStorage.WriteLongWord("RowID", change.RowID, 0);
    aStorage.WriteLongWord("ChangeNumber", change.ChangeNumber, 0);
    aStorage.WriteObjectEnd();
  }
  if (wrapped) aStorage.WriteObjectEnd();
}

// ================================================================ Table

const std::vector<std::uint16_t>& TStreamTable::ValueOrder(int aVersion) const {
  if (FValueOrderVersion != aVersion || FValueOrderColumns != Columns.size()) {
    FValueOrder = ComputeValueOrder(*this, aVersion);
    FValueOrderVersion = aVersion;
    FValueOrderColumns = Columns.size();
  }
  return FValueOrder;
}

bool TStreamTable::HasColumnsNamedAlike() const {
  if (FColumnsNamedAlikeColumns != Columns.size()) {
    FColumnsNamedAlike = false;
    for (std::size_t i = 0; i < Columns.size() && !FColumnsNamedAlike; ++i) {
      for (std::size_t j = i + 1; j < Columns.size(); ++j) {
        if (text::EqualsIgnoringCase(Columns[i]->Name, Columns[j]->Name)) {
          FColumnsNamedAlike = true;
          break;
        }
      }
    }
    FColumnsNamedAlikeColumns = Columns.size();
  }
  return FColumnsNamedAlike;
}

TStreamColumn& TStreamTable::AddColumn(std::string aName, TColumnDataType aType,
                                       std::int32_t aSize) {
  Columns.push_back(std::make_unique<TStreamColumn>(std::move(aName), aType, aSize));
  return *Columns.back();
}

TStreamRow& TStreamTable::AddRow(TRowStoreRowState aState) {
  auto row = std::make_unique<TStreamRow>();
  row->SetTable(this);
  row->RowID = NextRowID++;
  row->RowState = aState;
  Rows.push_back(std::move(row));
  return *Rows.back();
}

TStreamRow* TStreamTable::FindRow(std::uint32_t aRowID) {
  for (const auto& row : Rows) {
    if (row->RowID == aRowID) return row.get();
  }
  return nullptr;
}

void TStreamTable::LoadColumnList(TBinStorage& aStorage) {
  LoadListObject(aStorage, "ColumnList", [&] {
    if (aStorage.StreamVersion() < 12) {
      InlineDataSize = aStorage.ReadInteger("InlineDataSize", 1000);
    }
    while (!aStorage.IsObjectEnd()) {
      if (Columns.size() >= kMaxColumns) RaiseInvalidFormat();
      Columns.push_back(std::make_unique<TStreamColumn>());
      Columns.back()->LoadFromStorage(aStorage);
    }
  });
}

void TStreamTable::LoadConstraintList(TBinStorage& aStorage) {
  LoadListObject(aStorage, "ConstraintList", [&] {
    if (aStorage.StreamVersion() < 12) {
      EnforceConstraints = aStorage.ReadBoolean("Enforce", true);
    }
    while (!aStorage.IsObjectEnd()) {
      Constraints.push_back(LoadObjectAs<TStreamConstraint>(aStorage));
    }
  });
}

void TStreamTable::LoadViewList(TBinStorage& aStorage) {
  LoadListObject(aStorage, "ViewList", [&] {
    while (!aStorage.IsObjectEnd()) {
      Views.push_back(std::make_unique<TStreamView>());
      Views.back()->LoadFromStorage(aStorage);
    }
  });
}

void TStreamTable::LoadRows(TBinStorage& aStorage, std::string_view aListName) {
  const std::string_view rowName = RowObjectName(aStorage.StreamVersion());
  std::uint32_t previousID = 0;
  bool first = Rows.empty();
  if (FRowSink != nullptr) FRowSink->BeginRows(*this);
  LoadListObject(aStorage, aListName, [&] {
    if (FRowSink != nullptr) {
      while (!aStorage.IsObjectEnd()) {
        aStorage.ReadObjectBegin(rowName);
        FRowSink->LoadRow(aStorage, *this);
      }
      return;
    }
    while (!aStorage.IsObjectEnd()) {
      auto row = std::make_unique<TStreamRow>();
      row->SetTable(this);
      TStreamRow& loaded = *row;
      Rows.push_back(std::move(row));
      aStorage.ReadObjectBegin(rowName);
      loaded.LoadAfterBegin(aStorage);
      if (static_cast<std::uint64_t>(loaded.RowID) + 1 > NextRowID) {
        NextRowID = loaded.RowID == std::numeric_limits<std::uint32_t>::max() ? loaded.RowID
                                                                              : loaded.RowID + 1;
      }
      if (!first && loaded.RowID <= previousID) RowsOrderedByID = false;
      previousID = loaded.RowID;
      first = false;
    }
  });
}

void TStreamTable::DiscardRows(std::size_t aKeep) {
  if (FRowSink != nullptr) {
    FRowSink->DiscardRows(*this);
  } else {
    Rows.resize(aKeep);
  }
}

void TStreamTable::LoadBody(TBinStorage& aStorage) {
  const int version = aStorage.StreamVersion();
  const bool meta = aStorage.IsStored(TStoreItem::siMeta);
  Name = aStorage.ReadString("Name", "");
  SourceName = aStorage.ReadString("SourceName", "");
  SourceID = aStorage.ReadInteger("SourceID", 0);
  if (meta) {
    aStorage.ReadInteger("TabID", -1);
    CaseSensitive = aStorage.ReadBoolean("CaseSensitive", true);
    if (version >= 12) {
      ReadDeferredFlag(aStorage, "EnforceConstraints", true, EnforceConstraints);
    } else {
      EnforceConstraints = aStorage.ReadBoolean("EnforceConstraints", true);
    }
    Locale = aStorage.ReadLongWord("Locale", 1024);
    MinimumCapacity = aStorage.ReadInteger("MinimumCapacity", 0);
    Nested = aStorage.ReadBoolean("Nested", false);
    Round2Scale = aStorage.ReadBoolean("Round2Scale", false);
    if (version > 13) CheckPrecision = aStorage.ReadBoolean("CheckPrecision", false);
    if (version > 6) StrsTrim2Len = aStorage.ReadBoolean("StrsTrim2Len", false);
    CheckNotNull = aStorage.ReadBoolean("CheckNotNull", true);
    if (version > 5) CheckReadOnly = aStorage.ReadBoolean("CheckReadOnly", true);
    if (version > 11) InlineDataSize = aStorage.ReadInteger("InlineDataSize", 1000);
    LoadColumnList(aStorage);
    LoadConstraintList(aStorage);
    LoadViewList(aStorage);
  }
  if (aStorage.IsStored(TStoreItem::siData) || aStorage.IsStored(TStoreItem::siDelta)) {
    const std::size_t start = aStorage.GetBookmark();
    const std::size_t rowsBefore = Rows.size();
    try {
      LoadRows(aStorage, RowListName(version));
    } catch (const EDALException& error) {
      if (version != 9 || error.Code() != kErrCannotReadObject) throw;
      // Version 9 writers also named the rows object this way.
      DiscardRows(rowsBefore);
      aStorage.GotoBookmark(start);
      LoadRows(aStorage, "TableRowList_Updates");
    }
  }
  if (aStorage.IsStored(TStoreItem::siDelta) && aStorage.TestObject("UpdatesJournal")) {
    Journal = std::make_unique<TStreamJournal>(false);
    Journal->LoadFromStorage(aStorage);
    if (FRowSink != nullptr) {
      for (const TStreamChange& change : Journal->Changes) {
        FRowSink->SetChangeNumber(*this, change.RowID, change.ChangeNumber);
      }
      return;
    }
    std::unordered_map<std::uint32_t, TStreamRow*> byID;
    for (const auto& row : Rows) byID.emplace(row->RowID, row.get());
    for (const TStreamChange& change : Journal->Changes) {
      if (const auto found = byID.find(change.RowID); found != byID.end()) {
        found->second->ChangeNumber = change.ChangeNumber;
      }
    }
  }
}

void TStreamTable::SaveRows(TBinStorage& aStorage) const {
  const bool data = aStorage.IsStored(TStoreItem::siData);
  const bool visibleOnly = aStorage.IsStored(TStoreItem::siVisible);
  const std::string_view rowName = RowObjectName(aStorage.StreamVersion());
  aStorage.WriteObjectBegin(RowListName(aStorage.StreamVersion()));
  for (const auto& row : Rows) {
    const TRowStoreRowState state = row->RowState;
    const bool changed = state == TRowStoreRowState::rsInserted ||
                         state == TRowStoreRowState::rsDeleted ||
                         state == TRowStoreRowState::rsModified;
    // Only delta: just the pending changes.
    if (!data && !changed) continue;
    // The rows a table shows: deleted ones are hidden.
    if (visibleOnly && state == TRowStoreRowState::rsDeleted) continue;
    aStorage.WriteObjectBegin(rowName);
    row->SaveWithTable(aStorage, *this);
    aStorage.WriteObjectEnd();
  }
  aStorage.WriteObjectEnd();
}

void TStreamTable::SaveBody(TBinStorage& aStorage) const {
  const int version = aStorage.StreamVersion();
  const bool meta = aStorage.IsStored(TStoreItem::siMeta);
  aStorage.WriteString("Name", Name, "");
  aStorage.WriteString("SourceName", SourceName, "");
  aStorage.WriteInteger("SourceID", SourceID, 0);
  if (meta) {
    aStorage.WriteBoolean("CaseSensitive", CaseSensitive, true);
    aStorage.WriteBoolean("EnforceConstraints", EnforceConstraints, true);
    aStorage.WriteLongWord("Locale", Locale, 1024);
    aStorage.WriteInteger("MinimumCapacity", MinimumCapacity, 0);
    aStorage.WriteBoolean("Nested", Nested, false);
    aStorage.WriteBoolean("Round2Scale", Round2Scale, false);
    if (version > 13) aStorage.WriteBoolean("CheckPrecision", CheckPrecision, false);
    if (version > 6) aStorage.WriteBoolean("StrsTrim2Len", StrsTrim2Len, false);
    aStorage.WriteBoolean("CheckNotNull", CheckNotNull, true);
    if (version > 5) aStorage.WriteBoolean("CheckReadOnly", CheckReadOnly, true);
    if (version > 11) aStorage.WriteInteger("InlineDataSize", InlineDataSize, 1000);

    aStorage.WriteObjectBegin("ColumnList");
    if (version < 12) aStorage.WriteInteger("InlineDataSize", InlineDataSize, 1000);
    for (const auto& column : Columns) column->SaveToStorage(aStorage);
    aStorage.WriteObjectEnd();

    aStorage.WriteObjectBegin("ConstraintList");
    if (version < 12) aStorage.WriteBoolean("Enforce", EnforceConstraints, true);
    for (const auto& constraint : Constraints) TStorageManager::SaveObject(aStorage, *constraint);
    aStorage.WriteObjectEnd();

    aStorage.WriteObjectBegin("ViewList");
    for (const auto& view : Views) view->SaveToStorage(aStorage);
    aStorage.WriteObjectEnd();
  }
  if (aStorage.IsStored(TStoreItem::siData) || aStorage.IsStored(TStoreItem::siDelta)) {
    SaveRows(aStorage);
  }
  if (Journal && aStorage.IsStored(TStoreItem::siDelta)) Journal->SaveToStorage(aStorage);
}

// ================================================================ Manager

TStreamTable& TStreamManager::AddTable(std::string aName) {
  Tables.push_back(std::make_unique<TStreamTable>());
  Tables.back()->Name = std::move(aName);
  return *Tables.back();
}

TStreamTable* TStreamManager::FindTable(std::string_view aName) {
  for (const auto& table : Tables) {
    if (text::EqualsIgnoringCase(table->Name, aName)) return table.get();
  }
  return nullptr;
}

void TStreamManager::LoadBody(TBinStorage& aStorage) {
  const int version = aStorage.StreamVersion();
  const bool meta = aStorage.IsStored(TStoreItem::siMeta);
  Name = aStorage.ReadString("Name", "");
  if (meta) {
    CaseSensitive = aStorage.ReadBoolean("CaseSensitive", true);
    EnforceConstraints = aStorage.ReadBoolean("EnforceConstraints", true);
    Locale = aStorage.ReadLongWord("Locale", 1024);
    UpdatesRegistry = aStorage.ReadBoolean("UpdatesRegistry", false);
    Round2Scale = aStorage.ReadBoolean("Round2Scale", false);
    if (version > 13) CheckPrecision = aStorage.ReadBoolean("CheckPrecision", false);
    if (version > 6) StrsTrim2Len = aStorage.ReadBoolean("StrsTrim2Len", false);
    CheckNotNull = aStorage.ReadBoolean("CheckNotNull", true);
    if (version > 5) CheckReadOnly = aStorage.ReadBoolean("CheckReadOnly", true);
  }

  LoadListObject(aStorage, "TableList", [&] {
    while (!aStorage.IsObjectEnd()) {
      Tables.push_back(std::make_unique<TStreamTable>());
      Tables.back()->SetRowSink(FRowSink);
      Tables.back()->LoadFromStorage(aStorage);
    }
  });

  if (meta) {
    LoadListObject(aStorage, "RelationList", [&] {
      while (!aStorage.IsObjectEnd()) {
        Relations.push_back(std::make_unique<TStreamRelation>());
        Relations.back()->LoadFromStorage(aStorage);
      }
    });
  }

  if (UpdatesRegistry && aStorage.IsStored(TStoreItem::siDelta) &&
      aStorage.TestObject("UpdatesJournal")) {
    Journal = std::make_unique<TStreamJournal>(true);
    Journal->LoadFromStorage(aStorage);
    ApplyJournal(*Journal);
  }
}

void TStreamManager::ApplyJournal(const TStreamJournal& aJournal) {
  std::vector<std::unordered_map<std::uint32_t, TStreamRow*>> byID(Tables.size());
  std::vector<bool> indexed(Tables.size(), false);
  for (const TStreamChange& change : aJournal.Changes) {
    // A change must name one of the tables just read.
    if (change.TabID < 0 || static_cast<std::size_t>(change.TabID) >= Tables.size()) {
      RaiseInvalidFormat();
    }
    const auto tab = static_cast<std::size_t>(change.TabID);
    if (FRowSink != nullptr) {
      FRowSink->SetChangeNumber(*Tables[tab], change.RowID, change.ChangeNumber);
      continue;
    }
    if (!indexed[tab]) {
      for (const auto& row : Tables[tab]->Rows) byID[tab].emplace(row->RowID, row.get());
      indexed[tab] = true;
    }
    if (const auto found = byID[tab].find(change.RowID); found != byID[tab].end()) {
      found->second->ChangeNumber = change.ChangeNumber;
    }
  }
}

void TStreamManager::SaveBody(TBinStorage& aStorage) const {
  const int version = aStorage.StreamVersion();
  const bool meta = aStorage.IsStored(TStoreItem::siMeta);
  aStorage.WriteString("Name", Name, "");
  if (meta) {
    aStorage.WriteBoolean("CaseSensitive", CaseSensitive, true);
    aStorage.WriteBoolean("EnforceConstraints", EnforceConstraints, true);
    aStorage.WriteLongWord("Locale", Locale, 1024);
    aStorage.WriteBoolean("UpdatesRegistry", UpdatesRegistry, false);
    aStorage.WriteBoolean("Round2Scale", Round2Scale, false);
    if (version > 13) aStorage.WriteBoolean("CheckPrecision", CheckPrecision, false);
    if (version > 6) aStorage.WriteBoolean("StrsTrim2Len", StrsTrim2Len, false);
    aStorage.WriteBoolean("CheckNotNull", CheckNotNull, true);
    if (version > 5) aStorage.WriteBoolean("CheckReadOnly", CheckReadOnly, true);
  }
  aStorage.WriteObjectBegin("TableList");
  for (const auto& table : Tables) table->SaveToStorage(aStorage);
  aStorage.WriteObjectEnd();
  if (meta) {
    aStorage.WriteObjectBegin("RelationList");
    for (const auto& relation : Relations) relation->SaveToStorage(aStorage);
    aStorage.WriteObjectEnd();
  }
  if (UpdatesRegistry && Journal && aStorage.IsStored(TStoreItem::siDelta)) {
    Journal->SaveToStorage(aStorage);
  }
}

// ================================================================ Registry

void RegisterStreamTreeClasses(TStorageManager& aManager) {
  const auto plain = [&](std::string_view aName) {
    const std::string name(aName);
    aManager.RegisterClass(name, [name] { return std::make_unique<TStreamPlainList>(name); });
  };
  const auto base = [&](std::string_view aName) {
    const std::string name(aName);
    aManager.RegisterClass(name, [name] { return std::make_unique<TStreamBaseObject>(name); });
  };
  base("Object");
  base("NamedObject");
  for (const std::string_view name :
       {"List", "NamedList", "TableList", "ColumnList", "ConstraintList", "ViewList",
        "ViewMechList", "AggregateList", "RelationList", "RowList", "TableRowList",
        "TableRowList_Updates"}) {
    plain(name);
  }
  aManager.RegisterClass("Manager", [] { return std::make_unique<TStreamManager>(); });
  aManager.RegisterClass("Table", [] { return std::make_unique<TStreamTable>(); });
  aManager.RegisterClass("Column", [] { return std::make_unique<TStreamColumn>(); });
  aManager.RegisterClass("ConstraintBase", [] {
    auto constraint = std::make_unique<TStreamConstraint>();
    constraint->Base = true;
    return constraint;
  });
  for (const TConstraintKind kind :
       {TConstraintKind::ckUnique, TConstraintKind::ckForeignKey, TConstraintKind::ckCheck}) {
    const TStreamConstraint probe(kind);
    aManager.RegisterClass(probe.StreamName(),
                           [kind] { return std::make_unique<TStreamConstraint>(kind); });
  }
  aManager.RegisterClass("View", [] { return std::make_unique<TStreamView>(); });
  aManager.RegisterClass("Aggregate", [] { return std::make_unique<TStreamAggregate>(); });
  aManager.RegisterClass("MechBase", [] {
    auto mech = std::make_unique<TStreamMech>();
    mech->Base = true;
    return mech;
  });
  using enum TViewMechKind;
  for (const TViewMechKind kind :
       {mkSort, mkRowState, mkRange, mkFilter, mkError, mkDetails, mkChilds, mkMaster, mkParent}) {
    const TStreamMech probe(kind);
    aManager.RegisterClass(probe.StreamName(),
                           [kind] { return std::make_unique<TStreamMech>(kind); });
  }
  aManager.RegisterClass("Relation", [] { return std::make_unique<TStreamRelation>(); });
  aManager.RegisterClass("Row", [] { return std::make_unique<TStreamRow>(); });
  aManager.RegisterClass("DatSRow", [] { return std::make_unique<TStreamRow>(); });
  aManager.RegisterClass("UpdatesJournal", [] { return std::make_unique<TStreamJournal>(); });
  for (const std::string_view name :
       {"Exception", "DBEngineException", "IBNativeException", "PgNativeException",
        "MySQLNativeException", "SQLiteNativeException", "ODBCNativeException",
        "MSSQLNativeException"}) {
    const std::string className(name);
    aManager.RegisterClass(className,
                           [className] { return std::make_unique<TStreamError>(className); });
  }
}

// ================================================================ Values

void SetStreamValue(const TStreamTable& aTable, TStreamRow& aRow, TRowStoreBufferKind aBuffer,
                    std::size_t aColumn, const TVariant& aValue) {
  const TColumnDataType type = aTable.Columns.at(aColumn)->DataType;
  std::optional<TStreamValues>& values = aRow.Values(aBuffer);
  if (!values) values.emplace(aTable.Columns.size());
  if (values->size() <= aColumn) values->resize(aTable.Columns.size());
  (*values)[aColumn] = EncodeValue(type, aValue);
}

TVariant GetStreamValue(const TStreamTable& aTable, const TStreamRow& aRow,
                        TRowStoreBufferKind aBuffer, std::size_t aColumn) {
  const std::optional<TStreamValues>& values = aRow.Values(aBuffer);
  if (!values || aColumn >= values->size() || !(*values)[aColumn]) return TVariant{};
  return DecodeValue(aTable.Columns.at(aColumn)->DataType, *(*values)[aColumn]);
}

}  // namespace tandemize::memtable::storage
